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

// Columns in blocks, then rows one by one. Returns false at the first block
// or row holding a non-finite sample; earlier lines stay transformed.
bool transformField(const LinePass& pass, Complex* const* field) {
  const int n = pass.n;
  for (int c0 = 0; c0 < n; c0 += kColumnBlock) {
    const int width = c0 + kColumnBlock <= n ? kColumnBlock : n - c0;
    for (int r = 0; r < n; ++r) {
      const Complex* row = field[r] + c0;
      for (int j = 0; j < width; ++j) pass.line(j)[r] = row[j];
    }
    if (!pass.transform(width)) return false;
    for (int r = 0; r < n; ++r) {
      Complex* row = field[r] + c0;
      for (int j = 0; j < width; ++j) row[j] = pass.line(j)[r];
    }
  }
  const std::size_t rowBytes = index(n) * sizeof(Complex);
  for (int r = 0; r < n; ++r) {
    std::memcpy(pass.line(0), field[r], rowBytes);
    if (!pass.transform(1)) return false;
    std::memcpy(field[r], pass.line(0), rowBytes);
  }
  return true;
}

// Builds ALGLIB's plan once for all 2n lines. ALGLIB signals its own
// failures (allocation) by longjmp to the break jump; nothing with a
// destructor lives in this frame, so the jump skips no cleanup. Returns null
// on success, else the message to raise.
const char* runTransform(Complex* const* field, int n, bool forward) {
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
  const bool finite = transformField(pass, field);
  alglib_impl::ae_state_clear(&state);
  if (finite) return nullptr;
  return forward ? kForwardError : kInverseError;
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  const char* error = runTransform(field, n, forward);
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

double subtractLocalMean(const double* const* hologram, int n,
                         double* const* filtered) {
  double sum = 0.0;
  for (int r = 0; r < n; ++r) {
    const int rFirst = r > 0 ? r - 1 : 0;
    const int rLast = r + 1 < n ? r + 1 : n - 1;
    for (int c = 0; c < n; ++c) {
      const int cFirst = c > 0 ? c - 1 : 0;
      const int cLast = c + 1 < n ? c + 1 : n - 1;
      double neighbourhood = 0.0;
      for (int i = rFirst; i <= rLast; ++i) {
        for (int j = cFirst; j <= cLast; ++j) neighbourhood += hologram[i][j];
      }
      // Divided by 9 on edges and corners too: the missing neighbours count
      // as zeros.
      const double value = hologram[r][c] - neighbourhood / 9.0;
      filtered[r][c] = value;
      sum += value;
    }
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
