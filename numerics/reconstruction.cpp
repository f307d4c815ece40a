#include "reconstruction.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "fft.h"
#include "fft_through.h"

// Both reconstructions are written for speed while keeping the arithmetic of
// the plain per-sample formulas to rounding:
// - exp(i s (x^2 + y^2)) = exp(i s x^2) exp(i s y^2): the quadratic phase
//   factors and the image-plane factor cost 2n trig calls, not n^2;
// - the impulse response depends on x^2 + y^2 only, so one octant of it is
//   computed and mirrored, and its columns transformed only once per
//   mirrored pair;
// - the products before a transform are formed while its columns are
//   gathered, and the centring shift, the image-plane factor and the outputs
//   while its last rows are scattered, saving passes over the field;
// - the working fields are kept per thread from one call to the next (see
//   Scratch).

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 6.283185307179586;

std::size_t index(int i) { return static_cast<std::size_t>(i); }

Complex times(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

void sinCos(double x, double* s, double* c) {
#if defined(__GLIBC__)
  ::sincos(x, s, c);
#else
  *s = std::sin(x);
  *c = std::cos(x);
#endif
}

Complex unitPhase(double phi) {
  Complex value;
  sinCos(phi, &value.im, &value.re);
  return value;
}

struct Optics {
  double wavelength;
  double angle;
  double zDistance;
  double pitch;
};

// exp(i s x_j^2) for the centred hologram-plane coordinates
// x_j = j * pitch - (n - 1) / 2 * pitch, j = 0 .. n - 1.
std::vector<Complex> hologramPlaneAxis(int n, double pitch, double s) {
  const double x0 = -0.5 * (n - 1) * pitch;
  std::vector<Complex> axis(index(n));
  for (int j = 0; j < n; ++j) {
    const double x = j * pitch + x0;
    axis[index(j)] = unitPhase(x * x * s);
  }
  return axis;
}

// exp(i m (k_j / length)^2) for the integer image-plane indices
// k_j = j + k0 with k0 = -((n - 1) / 2). Example: n = 4 gives k0 = -1 and
// indices -1, 0, 1, 2, so the factor is centred on column 1 = n / 2 - 1.
std::vector<Complex> imagePlaneAxis(int n, double length, double m) {
  const int k0 = -((n - 1) / 2);
  std::vector<Complex> axis(index(n));
  for (int j = 0; j < n; ++j) {
    const double k = (j + k0) / length;
    axis[index(j)] = unitPhase(k * k * m);
  }
  return axis;
}

// Writes one output row from the reconstructed samples u.
void writeRow(const Complex* u, int n, double* intensity, double* phase,
              PhaseOutput kind) {
  if (intensity != nullptr) {
    for (int c = 0; c < n; ++c) {
      intensity[c] = u[c].im * u[c].im + u[c].re * u[c].re;
    }
  }
  if (kind == PhaseOutput::tangent) {
    for (int c = 0; c < n; ++c) phase[c] = u[c].im / u[c].re;
  } else {
    for (int c = 0; c < n; ++c) phase[c] = std::atan2(u[c].im, u[c].re);
  }
}

// Takes the finished rows of the last transform, centres them (shift by
// n / 2 in both directions), multiplies them by the image-plane factor when
// there is one and writes the outputs. Field row r becomes output row
// (r + n / 2) mod n, field column c output column (c + n / 2) mod n.
// Example: n = 5 shifts by 2, so output row 0 comes from field row 3 and its
// columns from field columns 3, 4, 0, 1, 2.
struct OutputSink {
  int n;
  double* const* intensity;
  double* const* phase;
  PhaseOutput kind;
  // Image-plane factor rowFactor[r] * columnFactor[c]; both empty for none.
  std::vector<Complex> rowFactor;
  std::vector<Complex> columnFactor;
  std::vector<Complex> u;  // one centred output row

  static void store(void* context, int r, const Complex* row) {
    static_cast<OutputSink*>(context)->storeRow(r, row);
  }

  void storeRow(int r, const Complex* row) {
    const int shift = n / 2;
    const int out = (r + shift) % n;
    Complex* centred = u.data();
    std::memcpy(centred, row + (n - shift), index(shift) * sizeof(Complex));
    std::memcpy(centred + shift, row, index(n - shift) * sizeof(Complex));
    if (!rowFactor.empty()) {
      const Complex f = rowFactor[index(out)];
      for (int c = 0; c < n; ++c) {
        centred[c] = times(centred[c], times(f, columnFactor[index(c)]));
      }
    }
    writeRow(centred, n, intensity ? intensity[out] : nullptr, phase[out],
             kind);
  }
};

// Filtered hologram times the reference wave, the start of both methods.
// Returns the reference wave's row values.
std::vector<Complex> prepare(const double* const* hologram, int n,
                             RealField& filtered, const Optics& optics) {
  const double sum = subtractLocalMean(hologram, n, filtered.rows());
  return referenceWaveRows(n, optics.angle, optics.wavelength,
                           referenceAmplitude(sum, n), optics.pitch);
}

// Input of the Fresnel transform, formed as the columns are gathered:
// reference wave times hologram-plane factor times filtered hologram.
struct FresnelInput {
  const double* const* filtered;
  std::vector<Complex> rowFactor;  // reference(r) * exp(i s y_r^2)
  std::vector<Complex> axis;       // exp(i s x_c^2)

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const FresnelInput*>(context);
    if (index(r + kPrefetchRows) < in.rowFactor.size()) {
      prefetchSpan(in.filtered[r + kPrefetchRows] + c0,
                   index(count) * sizeof(double));
    }
    const Complex f = in.rowFactor[index(r)];
    const double* b = in.filtered[r];
    for (int j = 0; j < count; ++j) {
      const Complex factor = times(f, in.axis[index(c0 + j)]);
      out[j] = {factor.re * b[c0 + j], factor.im * b[c0 + j]};
    }
  }
};

// The working fields of the reconstructions on this thread, kept from one
// call to the next for the same edge: a fresh field costs more than the
// transform (at 1024, faulting in and zeroing 24 MB took 16 ms against 8 ms
// for the 2-D transform on this virtual machine), and a sweep calls with one
// edge thousands of times. Every call overwrites every sample it reads. A
// new edge releases the old fields before allocating, so the peak is that
// of the larger edge, never the sum.
struct Scratch {
  ComplexField work;
  ComplexField kernel;  // Convolution only
  RealField filtered;
  RealField phase;  // interferometry only: the first hologram's phases

  static Scratch& of(int n) {
    thread_local Scratch scratch;
    if (!scratch.work || scratch.work.size() != n) {
      scratch = Scratch();
      scratch.work = ComplexField(n);
      scratch.filtered = RealField(n);
    }
    return scratch;
  }

  // The field, allocated at edge n on first use.
  template <typename T>
  static Field<T>& ensure(Field<T>& field, int n) {
    if (!field || field.size() != n) field = Field<T>(n);
    return field;
  }
};

void runFresnel(const double* const* hologram, int n, double* const* intensity,
                double* const* phase, PhaseOutput kind, const Optics& optics) {
  Scratch& scratch = Scratch::of(n);
  ComplexField& work = scratch.work;
  RealField& filtered = scratch.filtered;
  const std::vector<Complex> reference = prepare(hologram, n, filtered, optics);

  const double lz = optics.wavelength * optics.zDistance;
  FresnelInput input{
      filtered.rows(), {}, hologramPlaneAxis(n, optics.pitch, -kPi / lz)};
  for (int r = 0; r < n; ++r) {
    input.rowFactor.push_back(times(reference[index(r)], input.axis[index(r)]));
  }

  // F = (i / (lambda z)) exp(-i t0) exp(i psi) with t0 = -(2 pi / lambda) z;
  // the constant goes into the row factor.
  const double length = (n - 1) * optics.pitch + optics.pitch;
  const double t0 = -(2.0 * kPi / optics.wavelength) * optics.zDistance;
  const double g = 1.0 / lz;
  const Complex constant = {std::sin(t0) * g, std::cos(t0) * g};
  OutputSink output{n,
                    intensity,
                    phase,
                    kind,
                    {},
                    imagePlaneAxis(n, length, -kPi * lz),
                    std::vector<Complex>(index(n))};
  for (int r = 0; r < n; ++r) {
    output.rowFactor.push_back(times(constant, output.columnFactor[index(r)]));
  }

  fft2dThrough(work.rows(), n, false, {FresnelInput::load, &input},
               {OutputSink::store, &output});
}

// The free-space impulse response G = (i / (lambda rho)) exp(-i k rho),
// rho = sqrt(x_c^2 + y_r^2 + z^2), centred on index (n - 1) / 2. It depends
// on x^2 + y^2 only, so the octant 0 <= r <= c < h of the top-left quadrant
// is computed and mirrored. Example: n = 5, h = 3: (0, 1) is computed and
// copied to (1, 0), then across the centre column to (0, 3) and (1, 4), then
// across the centre row to rows 4 and 3.
void fillKernel(Complex* const* kernel, int n, const Optics& optics) {
  const int h = (n + 1) / 2;
  const double x0 = -0.5 * (n - 1) * optics.pitch;
  std::vector<double> square(index(h));
  for (int j = 0; j < h; ++j) {
    const double x = j * optics.pitch + x0;
    square[index(j)] = x * x;
  }
  const double k = 2.0 * kPi / optics.wavelength;
  const double z2 = optics.zDistance * optics.zDistance;
  for (int r = 0; r < h; ++r) {
    for (int c = r; c < h; ++c) {
      const double rho = std::sqrt(square[index(c)] + square[index(r)] + z2);
      const double scale = optics.wavelength * rho;
      double s = 0.0;
      double co = 0.0;
      sinCos(k * rho, &s, &co);
      kernel[r][c] = {s / scale, co / scale};
      kernel[c][r] = kernel[r][c];
    }
  }
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < n - h; ++c) kernel[r][n - 1 - c] = kernel[r][c];
  }
  for (int r = 0; r < n - h; ++r) {
    std::memcpy(kernel[n - 1 - r], kernel[r], index(n) * sizeof(Complex));
  }
}

// Input of the first transform: reference wave times filtered hologram.
struct ConvolutionInput {
  const double* const* filtered;
  const std::vector<Complex>& reference;

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const ConvolutionInput*>(context);
    if (index(r + kPrefetchRows) < in.reference.size()) {
      prefetchSpan(in.filtered[r + kPrefetchRows] + c0,
                   index(count) * sizeof(double));
    }
    const Complex wave = in.reference[index(r)];
    const double* b = in.filtered[r] + c0;
    for (int j = 0; j < count; ++j) out[j] = {wave.re * b[j], wave.im * b[j]};
  }
};

// Input of the inverse transform: the two spectra multiplied.
struct SpectrumProduct {
  const Complex* const* spectrum;
  const Complex* const* kernel;
  int n;

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const SpectrumProduct*>(context);
    if (r + kPrefetchRows < in.n) {
      const std::size_t bytes = index(count) * sizeof(Complex);
      prefetchSpan(in.spectrum[r + kPrefetchRows] + c0, bytes);
      prefetchSpan(in.kernel[r + kPrefetchRows] + c0, bytes);
    }
    const Complex* a = in.spectrum[r] + c0;
    const Complex* g = in.kernel[r] + c0;
    for (int j = 0; j < count; ++j) out[j] = times(a[j], g[j]);
  }
};

void runConvolution(const double* const* hologram, int n,
                    double* const* intensity, double* const* phase,
                    PhaseOutput kind, const Optics& optics) {
  Scratch& scratch = Scratch::of(n);
  ComplexField& work = scratch.work;
  ComplexField& kernel = Scratch::ensure(scratch.kernel, n);
  RealField& filtered = scratch.filtered;
  const std::vector<Complex> reference = prepare(hologram, n, filtered, optics);
  const ConvolutionInput input{filtered.rows(), reference};
  fft2dThrough(work.rows(), n, true, {ConvolutionInput::load, &input}, {});

  fillKernel(kernel.rows(), n, optics);
  fft2dMirrored(kernel.rows(), n);

  // The product is formed as the inverse gathers its columns; each column
  // block is gathered before it is overwritten, so work can take the
  // column results in place.
  const SpectrumProduct product{work.rows(), kernel.rows(), n};
  OutputSink output{
      n, intensity, phase, kind, {}, {}, std::vector<Complex>(index(n))};
  fft2dThrough(work.rows(), n, false, {SpectrumProduct::load, &product},
               {OutputSink::store, &output});
}

}  // namespace

void reconstructFresnel(const double* const* hologram, int n,
                        double* const* intensity, double* const* phase,
                        PhaseOutput kind, double wavelength, double angle,
                        double zDistance, double ccdPixelDistance) {
  runFresnel(hologram, n, intensity, phase, kind,
             {wavelength, angle, zDistance, ccdPixelDistance});
}

void reconstructFresnel(const double* const* hologram, int n,
                        double* const* intensity, double* const* phaseTangent,
                        double wavelength, double angle, double zDistance,
                        double ccdPixelDistance) {
  runFresnel(hologram, n, intensity, phaseTangent, PhaseOutput::tangent,
             {wavelength, angle, zDistance, ccdPixelDistance});
}

void reconstructConvolution(const double* const* hologram, int n,
                            double* const* intensity, double* const* phase,
                            PhaseOutput kind, double wavelength, double angle,
                            double zDistance, double ccdPixelDistance) {
  runConvolution(hologram, n, intensity, phase, kind,
                 {wavelength, angle, zDistance, ccdPixelDistance});
}

void reconstructConvolution(const double* const* hologram, int n,
                            double* const* intensity,
                            double* const* phaseTangent, double wavelength,
                            double angle, double zDistance,
                            double ccdPixelDistance) {
  runConvolution(hologram, n, intensity, phaseTangent, PhaseOutput::tangent,
                 {wavelength, angle, zDistance, ccdPixelDistance});
}

double interferencePhase(double phase1, double phase2) {
  double d = phase1 - phase2;
  if (d < 0.0) d += kTwoPi;
  // A tiny negative difference rounds up to 2 pi itself, which is 0.
  if (d >= kTwoPi) d = 0.0;
  return d;
}

void reconstructDhi(bool convolution, const double* const* hologram1,
                    const double* const* hologram2, int n,
                    double* const* intensity1, double* const* intensity2,
                    double* const* phaseDifference, double wavelength,
                    double angle, double zDistance, double ccdPixelDistance) {
  // Full-quadrant phases, not tangents: a tangent cannot tell phi from
  // phi + pi, which puts the difference off by pi wherever the two real
  // parts differ in sign.
  RealField& phase1 = Scratch::ensure(Scratch::of(n).phase, n);
  const Optics optics{wavelength, angle, zDistance, ccdPixelDistance};
  const auto reconstruct = convolution ? runConvolution : runFresnel;
  reconstruct(hologram1, n, intensity1, phase1.rows(), PhaseOutput::wrapped,
              optics);
  // The second phase goes straight into the output and is replaced there.
  reconstruct(hologram2, n, intensity2, phaseDifference, PhaseOutput::wrapped,
              optics);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      phaseDifference[i][j] =
          interferencePhase(phase1[i][j], phaseDifference[i][j]);
    }
  }
}

std::size_t reconstructionScratchBytes(int n, bool convolution, bool dhi) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const std::size_t complexField = ComplexField::bytesFor(n);
  const std::size_t realField = RealField::bytesFor(n);
  // Fresnel: a working field and the filtered hologram; Convolution adds
  // the kernel field; interferometry keeps the first phase besides. The
  // line-sized buffers (transform block and plan, factor tables, one output
  // row) stay below 64 rows of complex samples.
  const std::size_t lines =
      n <= 0 ? 0 : ComplexField::bytesFor(1) * 64 * static_cast<std::size_t>(n);
  std::size_t fields[] = {complexField, realField,
                          convolution ? complexField : 0, dhi ? realField : 0,
                          lines};
  std::size_t total = 0;
  for (const std::size_t bytes : fields) {
    total = bytes > kMax - total ? kMax : total + bytes;
  }
  return total;
}
