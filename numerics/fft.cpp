#include "numerics/fft.h"

#include <alglibinternal.h>
#include <ap.h>

#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "numerics/fft_through.h"

namespace {

// Columns are gathered this many at a time: one pass over the rows then reads
// whole cache lines instead of one sample per row and line.
constexpr int kColumnBlock = 32;

constexpr const char* kForwardError =
    "FFTC1D: A contains infinite or NAN values!";
constexpr const char* kInverseError =
    "FFTC1DInv: A contains infinite or NAN values!";

std::size_t index(int i) { return static_cast<std::size_t>(i); }

// True when no part of the samples is an infinity or a NaN (exponent bits
// all ones). Tested on the bit patterns, which lets the loop vectorise.
bool allFinite(const Complex* data, std::size_t count) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000;
  std::uint64_t nonFinite = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t re = 0;
    std::uint64_t im = 0;
    std::memcpy(&re, &data[i].re, sizeof(re));
    std::memcpy(&im, &data[i].im, sizeof(im));
    nonFinite |= static_cast<std::uint64_t>((re & kExponent) == kExponent) |
                 static_cast<std::uint64_t>((im & kExponent) == kExponent);
  }
  return nonFinite == 0;
}

// 1-D transforms of lines gathered back to back into ALGLIB's buffer. The
// inverse is done the way ALGLIB's fftc1dinv does it (conjugate, forward
// transform, conjugate and divide by the length), with the conjugations and
// the division folded into the gather and the scatter, so the results agree
// with fftc1dinv to the last bit.
struct LinePass {
  alglib_impl::fasttransformplan* plan;
  alglib_impl::ae_vector* buffer;
  alglib_impl::ae_state* state;
  int n;
  bool forward;
  // For a power-of-two length, times 1 / n rounds exactly as divided by n.
  bool exactReciprocal;

  Complex* line(int k) const {
    return reinterpret_cast<Complex*>(buffer->ptr.p_double) +
           index(k) * index(n);
  }

  Complex in(Complex v) const { return forward ? v : Complex{v.re, -v.im}; }

  Complex out(Complex v) const {
    if (forward) return v;
    const double length = static_cast<double>(n);
    if (exactReciprocal) return {v.re * (1.0 / length), -v.im * (1.0 / length)};
    return {v.re / length, -v.im / length};
  }

  // The finiteness check comes before the transform, as in fftc1d, and
  // reports through the return value so that no C++ exception crosses
  // ALGLIB's setjmp frame.
  bool transform(int lines) const {
    if (!allFinite(line(0), index(lines) * index(n))) return false;
    if (n > 1) alglib_impl::ftapplyplan(plan, buffer, 0, lines, state);
    return true;
  }
};

// Columns in blocks, then rows in blocks. The columns come from the source
// when it has one, else from the field; the column results go into the
// field. The finished rows go to the sink when it has one, else back into
// the field. With mirrored set, columns c and n - 1 - c are equal on entry,
// so only the first (n + 1) / 2 are transformed and each result is written
// to both places. Returns false when a column holds a non-finite sample on
// entry or after its transform, in which case no row has reached the sink.
bool transformField(const LinePass& pass, Complex* const* field, bool mirrored,
                    const ColumnSource& source, const RowSink& sink) {
  const int n = pass.n;
  const int columns = mirrored ? (n + 1) / 2 : n;
  Complex loaded[kColumnBlock];
  bool finite = true;
  for (int c0 = 0; c0 < columns; c0 += kColumnBlock) {
    const int width =
        c0 + kColumnBlock <= columns ? kColumnBlock : columns - c0;
    for (int r = 0; r < n; ++r) {
      const Complex* row = field[r] + c0;
      if (source.load != nullptr) {
        source.load(source.context, r, c0, width, loaded);
        row = loaded;
      }
      for (int j = 0; j < width; ++j) pass.line(j)[r] = pass.in(row[j]);
    }
    if (!pass.transform(width)) return false;
    for (int r = 0; r < n; ++r) {
      Complex* row = field[r];
      for (int j = 0; j < width; ++j) row[c0 + j] = pass.out(pass.line(j)[r]);
      finite &= allFinite(row + c0, index(width));
      if (mirrored) {
        for (int j = 0; j < width; ++j) row[n - 1 - c0 - j] = row[c0 + j];
      }
    }
  }
  // Overflow in the column pass is refused here, before any row is handed
  // on, so that a failed transform leaves the sink's outputs untouched.
  if (!finite) return false;
  for (int r0 = 0; r0 < n; r0 += kColumnBlock) {
    const int height = r0 + kColumnBlock <= n ? kColumnBlock : n - r0;
    for (int j = 0; j < height; ++j) {
      const Complex* row = field[r0 + j];
      Complex* line = pass.line(j);
      for (int c = 0; c < n; ++c) line[c] = pass.in(row[c]);
    }
    if (!pass.transform(height)) return false;
    for (int j = 0; j < height; ++j) {
      Complex* line = pass.line(j);
      for (int c = 0; c < n; ++c) line[c] = pass.out(line[c]);
      if (sink.store != nullptr) {
        sink.store(sink.context, r0 + j, line);
      } else {
        std::memcpy(field[r0 + j], line, index(n) * sizeof(Complex));
      }
    }
  }
  return true;
}

// Builds ALGLIB's plan once for all 2n lines. ALGLIB signals its own
// failures (allocation) by longjmp to the break jump; nothing with a
// destructor lives in this frame, so the jump skips no cleanup. Returns null
// on success, else the message to raise.
const char* runTransform(Complex* const* field, int n, bool forward,
                         bool mirrored, const ColumnSource& source,
                         const RowSink& sink) {
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

  const bool powerOfTwo = (n & (n - 1)) == 0;
  const LinePass pass{&plan, &buffer, &state, n, forward, powerOfTwo};
  const bool finite = transformField(pass, field, mirrored, source, sink);
  alglib_impl::ae_state_clear(&state);
  if (finite) return nullptr;
  return forward ? kForwardError : kInverseError;
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  fft2dThrough(field, n, forward, {}, {});
}

void fft2dMirrored(Complex* const* field, int n) {
  const char* error = runTransform(field, n, true, true, {}, {});
  if (error != nullptr) throw alglib::ap_error(error);
}

void fft2dThrough(Complex* const* field, int n, bool forward,
                  const ColumnSource& source, const RowSink& sink) {
  const char* error = runTransform(field, n, forward, false, source, sink);
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
