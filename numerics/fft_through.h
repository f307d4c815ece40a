#pragma once

#include <cstddef>
#include <limits>

#include "field.h"

namespace numerics {

// The 2-D transform with its input and output passes open to the caller, so
// that a reconstruction can form its input while the columns are gathered
// and write its outputs while the rows are scattered, instead of making a
// pass over the whole field before and after the transform.

/// Asks the processor to fetch the bytes [begin, begin + bytes) into the
/// cache ahead of use. The column passes walk across separately allocated
/// rows, a pattern the hardware does not predict.
inline void prefetchSpan(const void* begin, std::size_t bytes) {
  const char* first = static_cast<const char*>(begin);
  for (std::size_t offset = 0; offset < bytes; offset += 64) {
    __builtin_prefetch(first + offset);
  }
  __builtin_prefetch(first + bytes - 1);
}

/// Rows ahead of the current one that a column pass prefetches.
constexpr int kPrefetchRows = 8;

/// Supplies input samples (r, c0) to (r, c0 + count - 1) to a transform.
struct ColumnSource {
  void (*load)(const void* context, int r, int c0, int count,
               Complex* out) = nullptr;
  const void* context = nullptr;
};

/// Receives the finished row r of a transform (n samples).
struct RowSink {
  void (*store)(void* context, int r, const Complex* row) = nullptr;
  void* context = nullptr;
};

/// The columns of a transform's input that may hold anything but zeros: 0
/// to low - 1 and n - high to n - 1, the frequencies below a band limit when
/// the input is a spectrum. Every other column is taken as zeros, so its
/// transform is zeros too and neither is computed. The default is the whole
/// field.
struct ColumnBand {
  int low = std::numeric_limits<int>::max();
  int high = 0;
};

/// fft2d of the field that source supplies (of field itself when source has
/// no load function). field receives the column pass; the finished rows go
/// to sink (back into field when sink has no store function). Non-finite
/// data, on entry or after the column pass, raises NonFiniteData before the
/// sink has seen any row.
///
/// With a band, only its columns are loaded and transformed, and only those
/// of field receive the column pass. Zeros that a transform of the whole
/// field would have computed with a sign may then come out as +0; every
/// other result is the same to the last bit (a zero term leaves a non-zero
/// sum as it is), so only samples that are exactly zero can differ, in their
/// sign.
void fft2dThrough(Complex* const* field, int n, bool forward,
                  const ColumnSource& source, const RowSink& sink,
                  const ColumnBand& band = {});

}  // namespace numerics
