#include "fft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "failure.h"
#include "fft_through.h"

namespace numerics {

namespace {

// Columns are gathered this many at a time into contiguous lines, so that one
// pass over the rows reads whole cache lines. Eight measured fastest at
// edges from 1023 to 2000; 16 and 32 were slower by up to a tenth.
constexpr int kColumnBlock = 8;

constexpr const char* kForwardError =
    "FFTC1D: A contains infinite or NAN values!";
constexpr const char* kInverseError =
    "FFTC1DInv: A contains infinite or NAN values!";

std::size_t index(int i) { return static_cast<std::size_t>(i); }

fftw_complex* asFftw(Complex* samples) {
  // Complex is two doubles, real part first: FFTW's own layout.
  return reinterpret_cast<fftw_complex*>(samples);
}

// FFTW's planner keeps global state and must not run on two threads at
// once, while executing a finished plan on other arrays may. Plans are
// therefore made under a lock, once per line length, direction and the
// alignment classes of the arrays (a plan may only run on arrays aligned as
// those it was made for), and kept until the program ends. FFTW_ESTIMATE
// plans take well under a millisecond and leave the arrays untouched; a
// measured plan would cost a tenth of a second or more per length.
class PlanCache {
 public:
  PlanCache() = default;
  PlanCache(const PlanCache&) = delete;
  PlanCache& operator=(const PlanCache&) = delete;
  ~PlanCache() {
    for (const auto& entry : plans_) fftw_destroy_plan(entry.second);
    for (const auto& entry : realPlans_) fftw_destroy_plan(entry.second);
  }

  // An out-of-place plan of one line of n samples from in to out.
  fftw_plan get(int n, bool forward, Complex* in, Complex* out) {
    const Key key{n, forward, fftw_alignment_of(&in->re),
                  fftw_alignment_of(&out->re)};
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = plans_.find(key);
    if (found != plans_.end()) return found->second;
    const fftw_plan plan =
        fftw_plan_dft_1d(n, asFftw(in), asFftw(out),
                         forward ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
    if (plan == nullptr)
      throw std::runtime_error("FFTW cannot plan the transform");
    plans_.emplace(key, plan);
    return plan;
  }

  // An out-of-place forward plan of one real line of n samples from in to
  // the n / 2 + 1 complex frequencies at out.
  fftw_plan getReal(int n, double* in, Complex* out) {
    const Key key{n, true, fftw_alignment_of(in), fftw_alignment_of(&out->re)};
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = realPlans_.find(key);
    if (found != realPlans_.end()) return found->second;
    const fftw_plan plan =
        fftw_plan_dft_r2c_1d(n, in, asFftw(out), FFTW_ESTIMATE);
    if (plan == nullptr)
      throw std::runtime_error("FFTW cannot plan the transform");
    realPlans_.emplace(key, plan);
    return plan;
  }

 private:
  using Key = std::tuple<int, bool, int, int>;
  std::mutex mutex_;
  std::map<Key, fftw_plan> plans_;
  std::map<Key, fftw_plan> realPlans_;
};

PlanCache& plans() {
  static PlanCache cache;
  return cache;
}

// True when no part of the samples is an infinity or a NaN: x - x is 0 for
// a finite x and NaN otherwise, and a NaN survives the sums. Four sums keep
// the additions independent.
bool allFinite(const Complex* data, std::size_t count) {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
  double d = 0.0;
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    a += data[i].re - data[i].re;
    b += data[i].im - data[i].im;
    c += data[i + 1].re - data[i + 1].re;
    d += data[i + 1].im - data[i + 1].im;
  }
  for (; i < count; ++i) {
    a += data[i].re - data[i].re;
    b += data[i].im - data[i].im;
  }
  return a + b + c + d == 0.0;
}

// One direction of 1-D transforms of length n, out of place. FFTW leaves the
// inverse unscaled; the 1 / n of each line is applied as the results are
// copied out, which the passes do anyway.
class LinePass {
 public:
  LinePass(int n, bool forward)
      : n_(n),
        forward_(forward),
        scale_(forward ? 1.0 : 1.0 / n),
        gathered_(index(kColumnBlock) * index(n)),
        transformed_(gathered_.size()),
        row_(index(n)) {
    columnPlan_ =
        plans().get(n, forward, gathered_.data(), transformed_.data());
  }

  int n() const { return n_; }
  bool forward() const { return forward_; }

  // Line j of the gathered columns and of their transforms.
  Complex* gathered(int j) { return gathered_.data() + index(j) * index(n_); }
  Complex* transformed(int j) {
    return transformed_.data() + index(j) * index(n_);
  }

  // Transforms the first count gathered lines; false when a result is not
  // finite.
  bool transformColumns(int count) {
    for (int j = 0; j < count; ++j) {
      fftw_execute_dft(columnPlan_, asFftw(gathered(j)),
                       asFftw(transformed(j)));
    }
    return allFinite(transformed_.data(), index(count) * index(n_));
  }

  // Transforms one row of a field into the pass's row buffer, scaled.
  const Complex* transformRow(Complex* row) {
    const int alignment = fftw_alignment_of(&row->re);
    if (rowPlan_ == nullptr || alignment != rowAlignment_) {
      rowPlan_ = plans().get(n_, forward_, row, row_.data());
      rowAlignment_ = alignment;
    }
    fftw_execute_dft(rowPlan_, asFftw(row), asFftw(row_.data()));
    if (!forward_) {
      for (Complex& sample : row_) sample = scaled(sample);
    }
    return row_.data();
  }

  // transformRow of a row that is zero outside the columns 0 to low - 1
  // and n - high to n - 1, whose samples come from row: only those are
  // copied into a line that stays zero elsewhere.
  const Complex* transformBandRow(const Complex* row, int low, int high) {
    if (bandLine_.empty()) bandLine_.resize(index(n_));
    Complex* line = bandLine_.data();
    std::memcpy(line, row, index(low) * sizeof(Complex));
    std::memcpy(line + (n_ - high), row + (n_ - high),
                index(high) * sizeof(Complex));
    return transformRow(line);
  }

  Complex scaled(Complex sample) const {
    return {sample.re * scale_, sample.im * scale_};
  }

 private:
  int n_;
  bool forward_;
  double scale_;
  std::vector<Complex> gathered_;
  std::vector<Complex> transformed_;
  std::vector<Complex> row_;
  std::vector<Complex> bandLine_;  // zero outside the band's columns
  fftw_plan columnPlan_ = nullptr;
  fftw_plan rowPlan_ = nullptr;
  int rowAlignment_ = 0;
};

// Transforms the columns c0 to c0 + width - 1 into the field, gathered from
// the source when it has one, else from the field; false when a result is
// not finite. With mirrored set, each result also goes to column
// n - 1 - c.
bool transformColumns(LinePass& pass, Complex* const* field, bool mirrored,
                      const ColumnSource& source, int c0, int width) {
  const int n = pass.n();
  const std::size_t spanBytes = index(width) * sizeof(Complex);
  Complex segment[kColumnBlock];
  for (int r = 0; r < n; ++r) {
    if (source.load != nullptr) {
      source.load(source.context, r, c0, width, segment);
    } else {
      if (r + kPrefetchRows < n) {
        prefetchSpan(field[r + kPrefetchRows] + c0, spanBytes);
      }
      std::memcpy(segment, field[r] + c0, spanBytes);
    }
    for (int j = 0; j < width; ++j) pass.gathered(j)[r] = segment[j];
  }
  const bool finite = pass.transformColumns(width);
  for (int r = 0; r < n; ++r) {
    if (r + kPrefetchRows < n) {
      prefetchSpan(field[r + kPrefetchRows] + c0, spanBytes);
    }
    Complex* row = field[r];
    for (int j = 0; j < width; ++j) {
      row[c0 + j] = pass.scaled(pass.transformed(j)[r]);
    }
    if (mirrored) {
      for (int j = 0; j < width; ++j) row[n - 1 - c0 - j] = row[c0 + j];
    }
  }
  return finite;
}

// Columns in blocks, then rows. The columns come from the source when it
// has one, else from the field; the column results go into the field. The
// finished rows go to the sink when it has one, else back into the field.
// With mirrored set, columns c and n - 1 - c are equal on entry, so only the
// first (n + 1) / 2 are transformed and each result is written to both
// places. Only the band's columns are transformed; a row that has columns
// outside the band is transformed from a line holding zeros there.
//
// A non-finite value in the input spreads over the transform of its whole
// column (FFTs only add and multiply by non-zero factors), so checking the
// column results catches it, and also an overflow in the column pass. The
// check comes before the row pass, so the sink's outputs stay untouched on
// failure.
void transformField(LinePass& pass, Complex* const* field, bool mirrored,
                    const ColumnSource& source, const RowSink& sink,
                    const ColumnBand& band) {
  const int n = pass.n();
  const int low = std::min(band.low, mirrored ? (n + 1) / 2 : n);
  const int high = std::clamp(band.high, 0, n - low);
  bool finite = true;
  for (const auto& [begin, end] : {std::pair{0, low}, {n - high, n}}) {
    for (int c0 = begin; c0 < end; c0 += kColumnBlock) {
      const int width = std::min(kColumnBlock, end - c0);
      finite =
          transformColumns(pass, field, mirrored, source, c0, width) && finite;
    }
  }
  if (!finite) {
    throw NonFiniteData(pass.forward() ? kForwardError : kInverseError);
  }
  const bool whole = mirrored || low + high == n;
  for (int r = 0; r < n; ++r) {
    const Complex* finished = whole
                                  ? pass.transformRow(field[r])
                                  : pass.transformBandRow(field[r], low, high);
    if (sink.store != nullptr) {
      sink.store(sink.context, r, finished);
    } else {
      std::memcpy(field[r], finished, index(n) * sizeof(Complex));
    }
  }
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  fft2dThrough(field, n, forward, {}, {});
}

void fft2dMirrored(Complex* const* field, int n) {
  if (n < 1) return;
  LinePass pass(n, true);
  transformField(pass, field, true, {}, {}, {});
}

void fft2dThrough(Complex* const* field, int n, bool forward,
                  const ColumnSource& source, const RowSink& sink,
                  const ColumnBand& band) {
  if (n < 1) return;
  LinePass pass(n, forward);
  transformField(pass, field, false, source, sink, band);
}

ComplexField spectrumBlock(const double* const* field, int n, int firstRow,
                           int firstColumn, int m) {
  const auto wrapped = [n](long long f) {
    return static_cast<int>(((f % n) + n) % n);
  };
  // The rows' transforms at the block's columns, column by column: a real
  // row's frequency c above n / 2 is the conjugate of its n - c.
  std::vector<double> line(index(n));
  std::vector<Complex> half(index(n / 2 + 1));
  std::vector<Complex> columns(index(m) * index(n));
  const fftw_plan rowPlan = plans().getReal(n, line.data(), half.data());
  for (int r = 0; r < n; ++r) {
    std::memcpy(line.data(), field[r], index(n) * sizeof(double));
    fftw_execute_dft_r2c(rowPlan, line.data(), asFftw(half.data()));
    for (int j = 0; j < m; ++j) {
      const int c = wrapped(static_cast<long long>(firstColumn) + j);
      const Complex v =
          c <= n / 2 ? half[index(c)]
                     : Complex{half[index(n - c)].re, -half[index(n - c)].im};
      columns[index(j) * index(n) + index(r)] = v;
    }
  }
  // A non-finite sample spreads over its row's every frequency.
  if (!allFinite(columns.data(), columns.size())) {
    throw NonFiniteData(kForwardError);
  }
  std::vector<Complex> transformed(index(n));
  const fftw_plan columnPlan =
      plans().get(n, true, columns.data(), transformed.data());
  ComplexField block(m);
  for (int j = 0; j < m; ++j) {
    Complex* column = columns.data() + index(j) * index(n);
    // Every column starts n samples on: aligned as the first one is only
    // when n is even; the plan is made for the alignment it meets.
    const fftw_plan plan =
        fftw_alignment_of(&column->re) == fftw_alignment_of(&columns[0].re)
            ? columnPlan
            : plans().get(n, true, column, transformed.data());
    fftw_execute_dft(plan, asFftw(column), asFftw(transformed.data()));
    if (!allFinite(transformed.data(), transformed.size())) {
      throw NonFiniteData(kForwardError);
    }
    for (int i = 0; i < m; ++i) {
      block[i][j] =
          transformed[index(wrapped(static_cast<long long>(firstRow) + i))];
    }
  }
  return block;
}

}  // namespace numerics
