#include "numerics/fft.h"

#include <alglibinternal.h>
#include <ap.h>

#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

// Columns are gathered this many at a time: one pass over the rows then reads
// whole cache lines instead of one sample per row and line.
constexpr int kColumnBlock = 8;

constexpr const char* kForwardError =
    "FFTC1D: A contains infinite or NAN values!";
constexpr const char* kInverseError =
    "FFTC1DInv: A contains infinite or NAN values!";

std::size_t index(int i) { return static_cast<std::size_t>(i); }

// One pass of 1-D transforms over lines that have been gathered into
// ALGLIB's buffer back to back. The inverse is done the way ALGLIB's own
// fftc1dinv does it (conjugate, forward transform, conjugate and divide by
// the length), so the results agree with fftc1dinv to the last bit.
struct LinePass {
  alglib_impl::fasttransformplan* plan;
  alglib_impl::ae_vector* buffer;
  alglib_impl::ae_state* state;
  int n;
  bool forward;

  Complex* line(int k) const {
    return reinterpret_cast<Complex*>(buffer->ptr.p_double) +
           index(k) * index(n);
  }

  // The finiteness check comes before the transform, as in fftc1d, and
  // reports through the return value so that no C++ exception crosses
  // ALGLIB's setjmp frame.
  bool transform(int lines) const {
    const Complex* data = line(0);
    const std::size_t count = index(lines) * index(n);
    bool finite = true;
    for (std::size_t i = 0; i < count; ++i) {
      finite &= std::isfinite(data[i].re) & std::isfinite(data[i].im);
    }
    if (!finite) return false;
    if (n == 1) return true;
    Complex* values = line(0);
    if (!forward) {
      for (std::size_t i = 0; i < count; ++i) values[i].im = -values[i].im;
    }
    alglib_impl::ftapplyplan(plan, buffer, 0, lines, state);
    if (!forward) {
      const double length = static_cast<double>(n);
      for (std::size_t i = 0; i < count; ++i) {
        values[i].re = values[i].re / length;
        values[i].im = -values[i].im / length;
      }
    }
    return true;
  }
};

// Columns in blocks, then rows in blocks. With mirrored set, columns c and
// n - 1 - c are equal on entry, so only the first (n + 1) / 2 are transformed
// and each result is written to both places. Returns false at the first
// block holding a non-finite sample; earlier lines stay transformed.
bool transformField(const LinePass& pass, Complex* const* field,
                    bool mirrored) {
  const int n = pass.n;
  const int columns = mirrored ? (n + 1) / 2 : n;
  for (int c0 = 0; c0 < columns; c0 += kColumnBlock) {
    const int width =
        c0 + kColumnBlock <= columns ? kColumnBlock : columns - c0;
    for (int r = 0; r < n; ++r) {
      const Complex* row = field[r] + c0;
      for (int j = 0; j < width; ++j) pass.line(j)[r] = row[j];
    }
    if (!pass.transform(width)) return false;
    for (int r = 0; r < n; ++r) {
      Complex* row = field[r];
      for (int j = 0; j < width; ++j) row[c0 + j] = pass.line(j)[r];
      if (mirrored) {
        for (int j = 0; j < width; ++j) row[n - 1 - c0 - j] = row[c0 + j];
      }
    }
  }
  const std::size_t rowBytes = index(n) * sizeof(Complex);
  for (int r0 = 0; r0 < n; r0 += kColumnBlock) {
    const int height = r0 + kColumnBlock <= n ? kColumnBlock : n - r0;
    for (int j = 0; j < height; ++j) {
      std::memcpy(pass.line(j), field[r0 + j], rowBytes);
    }
    if (!pass.transform(height)) return false;
    for (int j = 0; j < height; ++j) {
      std::memcpy(field[r0 + j], pass.line(j), rowBytes);
    }
  }
  return true;
}

// Builds ALGLIB's plan once for all 2n lines. ALGLIB signals its own
// failures (allocation) by longjmp to the break jump; nothing with a
// destructor lives in this frame, so the jump skips no cleanup. Returns null
// on success, else the message to raise.
const char* runTransform(Complex* const* field, int n, bool forward,
                         bool mirrored) {
  alglib_impl::ae_state state;
  alglib_impl::ae_state_init(&state);
  std::jmp_buf breakJump;
  if (setjmp(breakJump) != 0) {
    // ALGLIB has already released everything registered with the state.
    return state.error_msg;
  }
  alglib_impl::ae_state_set_break_jump(&state, &breakJump);

  alglib_impl::fasttransformplan plan;
  std::memset(&plan, 0, sizeof(plan));
  alglib_impl::_fasttransformplan_init(&plan, &state, true);
  alglib_impl::ae_vector buffer;
  std::memset(&buffer, 0, sizeof(buffer));
  alglib_impl::ae_vector_init(&buffer, 2 * kColumnBlock * n,
                              alglib_impl::DT_REAL, &state, true);
  if (n > 1) alglib_impl::ftcomplexfftplan(n, 1, &plan, &state);

  const LinePass pass{&plan, &buffer, &state, n, forward};
  const bool finite = transformField(pass, field, mirrored);
  alglib_impl::ae_state_clear(&state);
  if (finite) return nullptr;
  return forward ? kForwardError : kInverseError;
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  const char* error = runTransform(field, n, forward, false);
  if (error != nullptr) throw alglib::ap_error(error);
}

void fft2dMirrored(Complex* const* field, int n) {
  const char* error = runTransform(field, n, true, true);
  if (error != nullptr) throw alglib::ap_error(error);
}

void fftShift2d(Complex* const* field, int n, int rowShift, int columnShift) {
  std::vector<Complex> line(index(n));
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c)
      line[index((columnShift + c) % n)] = field[r][c];
    for (int c = 0; c < n; ++c) field[r][c] = line[index(c)];
  }
  for (int c = 0; c < n; ++c) {
    for (int r = 0; r < n; ++r) line[index((rowShift + r) % n)] = field[r][c];
    for (int r = 0; r < n; ++r) field[r][c] = line[index(r)];
  }
}

namespace {

// Sum of the in-field samples of the 3 x 3 neighbourhood of (r, c), rows
// outer, columns inner.
double neighbourhoodSum(const double* const* hologram, int n, int r, int c) {
  double sum = 0.0;
  for (int i = r - 1; i <= r + 1; ++i) {
    if (i < 0 || i >= n) continue;
    for (int j = c - 1; j <= c + 1; ++j) {
      if (j >= 0 && j < n) sum += hologram[i][j];
    }
  }
  return sum;
}

// Filters row r, whose first and last samples have been filtered already.
// Adds in the same order as neighbourhoodSum, so the results are the same to
// the last bit; without the bounds checks the loop vectorises.
void filterInteriorRow(const double* above, const double* row,
                       const double* below, int n, double* out) {
  for (int c = 1; c < n - 1; ++c) {
    double sum = 0.0;
    sum += above[c - 1];
    sum += above[c];
    sum += above[c + 1];
    sum += row[c - 1];
    sum += row[c];
    sum += row[c + 1];
    sum += below[c - 1];
    sum += below[c];
    sum += below[c + 1];
    out[c] = row[c] - sum / 9.0;
  }
}

}  // namespace

double subtractLocalMean(const double* const* hologram, int n,
                         double* const* filtered) {
  for (int r = 0; r < n; ++r) {
    const bool edgeRow = r == 0 || r == n - 1;
    for (int c = 0; c < n; ++c) {
      if (edgeRow || c == 0 || c == n - 1) {
        // Divided by 9 on edges and corners too: the missing neighbours
        // count as zeros.
        filtered[r][c] =
            hologram[r][c] - neighbourhoodSum(hologram, n, r, c) / 9.0;
      }
    }
    if (!edgeRow) {
      filterInteriorRow(hologram[r - 1], hologram[r], hologram[r + 1], n,
                        filtered[r]);
    }
  }
  // Summed in row-major order after filtering, as the filter would sum while
  // it goes.
  double sum = 0.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) sum += filtered[r][c];
  }
  return sum;
}

double referenceAmplitude(double sum, int n) {
  const long long count = static_cast<long long>(n) * n;
  return std::sqrt(sum / static_cast<double>(count));
}

std::vector<Complex> referenceWaveRows(int n, double angle, double wavelength,
                                       double amplitude, double pitch) {
  const double k = 2.0 * std::numbers::pi / wavelength;
  const double q = k * std::sin(angle);
  std::vector<Complex> rows(index(n));
  double y = -0.5 * (n - 1) * pitch;
  for (int r = 0; r < n; ++r) {
    const double p = -(q * y);
    rows[index(r)] = {amplitude * std::cos(p), amplitude * std::sin(p)};
    y += pitch;
  }
  return rows;
}

void fillReferenceWave(int n, Complex* const* field, double angle,
                       double wavelength, double amplitude, double pitch) {
  const std::vector<Complex> rows =
      referenceWaveRows(n, angle, wavelength, amplitude, pitch);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = rows[index(r)];
  }
}
