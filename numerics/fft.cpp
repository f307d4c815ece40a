#include "fft.h"

#include <alglibinternal.h>
#include <ap.h>

#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "fft_through.h"

namespace {

// Columns are gathered this many at a time: one pass over the rows then reads
// whole cache lines instead of one sample per row and line.
constexpr int kColumnBlock = 32;

constexpr const char* kForwardError =
    "FFTC1D: A contains infinite or NAN values!";
constexpr const char* kInverseError =
    "FFTC1DInv: A contains infinite or NAN values!";

std::size_t index(int i) { return static_cast<std::size_t>(i); }

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

  // Copies count samples into a line (conjugated for the inverse).
  void load(const Complex* from, std::size_t count, Complex* to) const {
    if (forward) {
      std::memcpy(to, from, count * sizeof(Complex));
    } else {
      for (std::size_t i = 0; i < count; ++i) to[i] = {from[i].re, -from[i].im};
    }
  }

  // Finishes count transformed samples in place (conjugated and divided by
  // the length for the inverse).
  void finish(Complex* values, std::size_t count) const {
    if (forward) return;
    const double length = static_cast<double>(n);
    if (exactReciprocal) {
      const double scale = 1.0 / length;
      for (std::size_t i = 0; i < count; ++i) {
        values[i] = {values[i].re * scale, -values[i].im * scale};
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        values[i] = {values[i].re / length, -values[i].im / length};
      }
    }
  }

  void transform(int lines) const {
    if (n > 1) alglib_impl::ftapplyplan(plan, buffer, 0, lines, state);
    finish(line(0), index(lines) * index(n));
  }
};

// Columns in blocks, then rows in blocks. The columns come from the source
// when it has one, else from the field; the column results go into the
// field. The finished rows go to the sink when it has one, else back into
// the field. With mirrored set, columns c and n - 1 - c are equal on entry,
// so only the first (n + 1) / 2 are transformed and each result is written
// to both places.
//
// Returns false when the column results hold a non-finite value, which is
// the case when the input does (a NaN or an infinity spreads over its whole
// line) or when the column pass overflowed; fftc1d would refuse the input,
// or the rows, with the same message. The check comes before the row pass,
// so the sink's outputs stay untouched on failure.
bool transformField(const LinePass& pass, Complex* const* field, bool mirrored,
                    const ColumnSource& source, const RowSink& sink) {
  const int n = pass.n;
  const int columns = mirrored ? (n + 1) / 2 : n;
  Complex gathered[kColumnBlock];
  bool finite = true;
  for (int c0 = 0; c0 < columns; c0 += kColumnBlock) {
    const int width =
        c0 + kColumnBlock <= columns ? kColumnBlock : columns - c0;
    const std::size_t spanBytes = index(width) * sizeof(Complex);
    for (int r = 0; r < n; ++r) {
      if (source.load != nullptr) {
        source.load(source.context, r, c0, width, gathered);
      } else {
        if (r + kPrefetchRows < n) {
          prefetchSpan(field[r + kPrefetchRows] + c0, spanBytes);
        }
        std::memcpy(gathered, field[r] + c0, index(width) * sizeof(Complex));
      }
      for (int j = 0; j < width; ++j) {
        pass.line(j)[r] = {gathered[j].re,
                           pass.forward ? gathered[j].im : -gathered[j].im};
      }
    }
    pass.transform(width);
    finite = finite && allFinite(pass.line(0), index(width) * index(n));
    for (int r = 0; r < n; ++r) {
      if (r + kPrefetchRows < n) {
        prefetchSpan(field[r + kPrefetchRows] + c0, spanBytes);
      }
      Complex* row = field[r];
      for (int j = 0; j < width; ++j) row[c0 + j] = pass.line(j)[r];
      if (mirrored) {
        for (int j = 0; j < width; ++j) row[n - 1 - c0 - j] = row[c0 + j];
      }
    }
  }
  if (!finite) return false;
  for (int r0 = 0; r0 < n; r0 += kColumnBlock) {
    const int height = r0 + kColumnBlock <= n ? kColumnBlock : n - r0;
    for (int j = 0; j < height; ++j) {
      pass.load(field[r0 + j], index(n), pass.line(j));
    }
    pass.transform(height);
    for (int j = 0; j < height; ++j) {
      if (sink.store != nullptr) {
        sink.store(sink.context, r0 + j, pass.line(j));
      } else {
        std::memcpy(field[r0 + j], pass.line(j), index(n) * sizeof(Complex));
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
  double sum = 0.0;
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
    // Summed row by row while the row is in cache, in row-major order as a
    // running sum over the filter would add.
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
