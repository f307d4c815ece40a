#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace numerics {

/// One complex sample: real part first, then imaginary part, as two doubles.
///
/// A plain record rather than std::complex: the reconstructions spell out
/// every product themselves, and std::complex's NaN-aware multiplication
/// costs a library call per sample.
struct Complex {
  double re = 0.0;
  double im = 0.0;
};

/// Square N x N array of samples held as a table of N row pointers, each row
/// its own allocation of N zero-initialised samples.
///
/// Owns the table and the rows; move-only. The row table is what the
/// numerics and the image functions take (`T* const*`), so callers never
/// see the owner and the owner never sees them.
template <typename T>
class Field {
 public:
  /// An empty field: no table, size 0.
  Field() = default;

  /// Allocates the row table, then rows 0 to n - 1 in order, zero-filled.
  /// Throws std::bad_alloc when n is negative or the field's byte count
  /// does not fit the address range, so an impossible size fails instead of
  /// wrapping round to a small allocation.
  explicit Field(int n) {
    if (n < 0) throw std::bad_alloc();
    // The whole field must fit the address range, not only each part:
    // 2^31 - 1 rows of 2^31 - 1 doubles would otherwise start zero-filling
    // a 16 GiB row table before the first row failed.
    if (bytesFor(n) == std::numeric_limits<std::size_t>::max()) {
      throw std::bad_alloc();
    }
    const auto count = static_cast<std::size_t>(n);
    table_ = std::make_unique<T*[]>(count);
    try {
      for (; size_ < n; ++size_) {
        table_[static_cast<std::size_t>(size_)] = new T[count]();
      }
    } catch (...) {
      // The destructor does not run for a half-built object.
      release();
      throw;
    }
  }

  /// Like Field(n), but an allocation that fails gives an empty field
  /// instead of an exception, for callers that report it themselves.
  static Field tryCreate(int n) noexcept {
    try {
      return Field(n);
    } catch (const std::bad_alloc&) {
      return Field();
    }
  }

  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;
  Field(Field&& other) noexcept
      : table_(std::move(other.table_)), size_(std::exchange(other.size_, 0)) {}
  Field& operator=(Field&& other) noexcept {
    if (this != &other) {
      release();
      table_ = std::move(other.table_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Field() { release(); }

  /// Edge length N; 0 for an empty field.
  int size() const { return size_; }
  /// True when the field holds a table (N >= 1, or an allocated 0 x 0).
  explicit operator bool() const { return table_ != nullptr; }

  /// The row table the numerics work on; null for an empty field.
  T* const* rows() const { return table_.get(); }
  /// Row r.
  T* operator[](int r) const { return table_[static_cast<std::size_t>(r)]; }

  /// Releases the rows one by one, then the table; the field becomes empty.
  void release() noexcept {
    if (!table_) return;
    for (int r = size_ - 1; r >= 0; --r) {
      delete[] table_[static_cast<std::size_t>(r)];
    }
    table_.reset();
    size_ = 0;
  }

  /// Bytes a field of edge n occupies (table and rows), saturating at the
  /// largest size_t instead of wrapping.
  static std::size_t bytesFor(int n) {
    if (n <= 0) return 0;
    const auto count = static_cast<std::size_t>(n);
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    if (count > max / sizeof(T) / count) return max;
    const std::size_t rows = count * count * sizeof(T);
    const std::size_t table = count * sizeof(T*);
    return rows > max - table ? max : rows + table;
  }

 private:
  std::unique_ptr<T*[]> table_;
  int size_ = 0;
};

/// Real samples: holograms, intensities, phase tangents, phase differences.
using RealField = Field<double>;
/// Complex samples; used only inside the numerics.
using ComplexField = Field<Complex>;

}  // namespace numerics
