#include "reconstruction.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <type_traits>
#include <vector>

#include "fft.h"
#include "fft_through.h"
#include "sizes.h"

namespace numerics {

// The reconstructions are written for speed while keeping the arithmetic of
// the plain per-sample formulas to rounding:
// - exp(i s (x^2 + y^2)) = exp(i s x^2) exp(i s y^2): the quadratic phase
//   factors and the image-plane factor cost 2n trig calls, not n^2;
// - the impulse response and the transfer function depend on x^2 + y^2
//   only, so one octant of each is computed and mirrored, and the impulse
//   response's columns transformed only once per mirrored pair;
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

// A complex factor times a prepared sample, real or complex.
Complex scaled(Complex factor, double sample) {
  return {factor.re * sample, factor.im * sample};
}
Complex scaled(Complex factor, Complex sample) { return times(factor, sample); }

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

// Signed frequency index of DFT bin j of n: 0, 1, ..., then the negative
// ones. Example, n = 4: bins 0 1 2 3 are frequencies 0 1 -2 -1.
int signedFrequency(int j, int n) { return j < (n + 1) / 2 ? j : j - n; }

// The prepared samples a reconstruction reads: exactly one of real and
// complex is set.
struct Samples {
  const double* const* real;
  const Complex* const* complex;
  double referenceAmplitude;
};

// Calls run with the row table of the samples, real or complex, so that the
// loops over them are compiled for each kind.
template <typename Run>
void withRows(const Samples& samples, Run run) {
  if (samples.complex != nullptr) {
    run(samples.complex);
  } else {
    run(samples.real);
  }
}

// The reference wave's row values.
std::vector<Complex> referenceRows(const Samples& samples, int n,
                                   const Optics& optics) {
  return referenceWaveRows(n, optics.angle, optics.wavelength,
                           samples.referenceAmplitude, optics.pitch);
}

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

// The image-plane factor of the field on the physical grid: the
// frequency of output column j is k = j - n / 2 (the centring shift puts the
// zero there), so the chirp exp(i m (k / length)^2) is centred on column
// n / 2, and exp(-i pi (n - 1) k / n) moves the transform's sum from sample
// indices to coordinates centred on (n - 1) / 2. imagePlaneAxis differs for
// even n by the centre (one column early) and for every n by the linear
// factor; neither shows in an intensity, and both cancel in the difference
// of two phases, so the intensities keep that axis.
std::vector<Complex> physicalImagePlaneAxis(int n, double length, double m) {
  std::vector<Complex> axis(index(n));
  for (int j = 0; j < n; ++j) {
    const int k = j - n / 2;
    const double f = k / length;
    // pi (n - 1) k / n as pi k - pi k / n keeps the phase exact for large n.
    axis[index(j)] = unitPhase(f * f * m - (kPi * k - kPi * k / n));
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
  if (phase == nullptr) return;
  if (kind == PhaseOutput::tangent) {
    for (int c = 0; c < n; ++c) phase[c] = u[c].im / u[c].re;
  } else {
    for (int c = 0; c < n; ++c) phase[c] = std::atan2(u[c].im, u[c].re);
  }
}

// Takes the finished rows of the last transform, shifts them circularly by
// `shift` in both directions (n / 2 centres a transform's zero), writes the
// field, multiplies by the image-plane factor when there is one and writes
// the other outputs. With shift n / 2, field row r becomes output row
// (r + n / 2) mod n, field column c output column (c + n / 2) mod n.
// Example: n = 5 shifts by 2, so output row 0 comes from field row 3 and its
// columns from field columns 3, 4, 0, 1, 2.
struct OutputSink {
  int n;
  int shift;
  const ReconstructionOutputs& outputs;
  // Image-plane factor rowFactor[r] * columnFactor[c]; both empty for none.
  std::vector<Complex> rowFactor;
  std::vector<Complex> columnFactor;
  // The same for the field on the physical grid; both empty for none.
  std::vector<Complex> fieldRowFactor;
  std::vector<Complex> fieldColumnFactor;
  std::vector<Complex> u;  // one shifted output row

  OutputSink(int edge, int rowShift, const ReconstructionOutputs& out)
      : n(edge), shift(rowShift), outputs(out), u(index(edge)) {}

  static void store(void* context, int r, const Complex* row) {
    static_cast<OutputSink*>(context)->storeRow(r, row);
  }

  void storeRow(int r, const Complex* row) {
    const int out = (r + shift) % n;
    Complex* centred = u.data();
    std::memcpy(centred, row + (n - shift), index(shift) * sizeof(Complex));
    std::memcpy(centred + shift, row, index(n - shift) * sizeof(Complex));
    if (outputs.field != nullptr) writeField(out, centred);
    if (!rowFactor.empty()) {
      const Complex f = rowFactor[index(out)];
      for (int c = 0; c < n; ++c) {
        centred[c] = times(centred[c], times(f, columnFactor[index(c)]));
      }
    }
    writeRow(centred, n, outputs.intensity ? outputs.intensity[out] : nullptr,
             outputs.phase ? outputs.phase[out] : nullptr, outputs.phaseKind);
  }

  void writeField(int out, const Complex* centred) const {
    Complex* field = outputs.field[out];
    if (fieldRowFactor.empty()) {
      std::memcpy(field, centred, index(n) * sizeof(Complex));
      return;
    }
    const Complex f = fieldRowFactor[index(out)];
    for (int c = 0; c < n; ++c) {
      field[c] = times(centred[c], times(f, fieldColumnFactor[index(c)]));
    }
  }
};

// Input of the Fresnel transform, formed as the columns are gathered:
// reference wave times hologram-plane factor times prepared sample.
template <typename Sample>
struct FresnelInput {
  const Sample* const* prepared;
  const std::vector<Complex>& rowFactor;  // reference(r) * exp(i s y_r^2)
  const std::vector<Complex>& axis;       // exp(i s x_c^2)

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const FresnelInput*>(context);
    if (index(r + kPrefetchRows) < in.rowFactor.size()) {
      prefetchSpan(in.prepared[r + kPrefetchRows] + c0,
                   index(count) * sizeof(Sample));
    }
    const Complex f = in.rowFactor[index(r)];
    const Sample* b = in.prepared[r];
    for (int j = 0; j < count; ++j) {
      out[j] = scaled(times(f, in.axis[index(c0 + j)]), b[c0 + j]);
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
  RealField phase;      // interferometry only: the first hologram's phases
  std::vector<Complex> transfer;  // angular spectrum only

  static Scratch& of(int n) {
    thread_local Scratch scratch;
    if (!scratch.work || scratch.work.size() != n) {
      scratch = Scratch();
      scratch.work = ComplexField(n);
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

void runFresnel(const Samples& samples, int n,
                const ReconstructionOutputs& outputs, const Optics& optics) {
  ComplexField& work = Scratch::of(n).work;
  const std::vector<Complex> reference = referenceRows(samples, n, optics);

  const double lz = optics.wavelength * optics.zDistance;
  std::vector<Complex> inputRows;
  const std::vector<Complex> inputAxis =
      hologramPlaneAxis(n, optics.pitch, -kPi / lz);
  for (int r = 0; r < n; ++r) {
    inputRows.push_back(times(reference[index(r)], inputAxis[index(r)]));
  }

  // F = (i / (lambda z)) exp(-i t0) exp(i psi) with t0 = -(2 pi / lambda) z;
  // the constant goes into the row factor.
  const double length = (n - 1) * optics.pitch + optics.pitch;
  const double t0 = -(2.0 * kPi / optics.wavelength) * optics.zDistance;
  const double g = 1.0 / lz;
  const Complex constant = {std::sin(t0) * g, std::cos(t0) * g};
  OutputSink output(n, n / 2, outputs);
  output.columnFactor = imagePlaneAxis(n, length, -kPi * lz);
  for (int r = 0; r < n; ++r) {
    output.rowFactor.push_back(times(constant, output.columnFactor[index(r)]));
  }
  if (outputs.field != nullptr) {
    output.fieldColumnFactor = physicalImagePlaneAxis(n, length, -kPi * lz);
    for (int r = 0; r < n; ++r) {
      output.fieldRowFactor.push_back(
          times(constant, output.fieldColumnFactor[index(r)]));
    }
  }

  withRows(samples, [&](auto rows) {
    using Sample = std::remove_cvref_t<decltype(**rows)>;
    const FresnelInput<Sample> input{rows, inputRows, inputAxis};
    fft2dThrough(work.rows(), n, false, {FresnelInput<Sample>::load, &input},
                 {OutputSink::store, &output});
  });
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

// Input of the first transform: reference wave times prepared sample.
template <typename Sample>
struct ConvolutionInput {
  const Sample* const* prepared;
  const std::vector<Complex>& reference;

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const ConvolutionInput*>(context);
    if (index(r + kPrefetchRows) < in.reference.size()) {
      prefetchSpan(in.prepared[r + kPrefetchRows] + c0,
                   index(count) * sizeof(Sample));
    }
    const Complex wave = in.reference[index(r)];
    const Sample* b = in.prepared[r] + c0;
    for (int j = 0; j < count; ++j) out[j] = scaled(wave, b[j]);
  }
};

// Forward transform of the reference wave times the prepared samples into
// work: the first step of Convolution and of the angular spectrum.
void transformPrepared(const Samples& samples, int n, const Optics& optics,
                       ComplexField& work) {
  const std::vector<Complex> reference = referenceRows(samples, n, optics);
  withRows(samples, [&](auto rows) {
    using Sample = std::remove_cvref_t<decltype(**rows)>;
    const ConvolutionInput<Sample> input{rows, reference};
    fft2dThrough(work.rows(), n, true, {ConvolutionInput<Sample>::load, &input},
                 {});
  });
}

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

void runConvolution(const Samples& samples, int n,
                    const ReconstructionOutputs& outputs,
                    const Optics& optics) {
  Scratch& scratch = Scratch::of(n);
  ComplexField& work = scratch.work;
  ComplexField& kernel = Scratch::ensure(scratch.kernel, n);
  transformPrepared(samples, n, optics, work);

  fillKernel(kernel.rows(), n, optics);
  fft2dMirrored(kernel.rows(), n);

  // The product is formed as the inverse gathers its columns; each column
  // block is gathered before it is overwritten, so work can take the
  // column results in place.
  const SpectrumProduct product{work.rows(), kernel.rows(), n};
  OutputSink output(n, n / 2, outputs);
  fft2dThrough(work.rows(), n, false, {SpectrumProduct::load, &product},
               {OutputSink::store, &output});
}

// The transfer function of propagation back over z, by the absolute
// frequency indices: table[a * h + b] for |ky| = a and |kx| = b, a and b
// from 0 to h - 1 = n / 2. It depends on kx^2 + ky^2 only, so the octant
// a <= b is computed and mirrored. Zero for evanescent waves and beyond the
// band limit: a plane wave of frequency f crosses the distance at the angle
// whose sine is wavelength f, and frequencies whose light would travel more
// than half the grid sideways over z wrap round the periodic grid; the
// limit keeps |fx| and |fy| below 1 / (wavelength sqrt((2 z / W)^2 + 1)),
// W = n pitch the grid's width.
void fillTransfer(std::vector<Complex>& table, int n, const Optics& optics) {
  const int h = n / 2 + 1;
  table.assign(index(h) * index(h), Complex{});
  const double width = n * optics.pitch;
  const double reach = 2.0 * std::abs(optics.zDistance) / width;
  // In frequency samples (units of 1 / W).
  const double limit =
      width / (optics.wavelength * std::sqrt(reach * reach + 1));
  // wavelength * f per frequency sample, and 2 pi z sqrt(1 / wavelength^2 -
  // f^2) = rate * sqrt(1 - (wavelength f)^2).
  const double sine = optics.wavelength / width;
  const double rate = -kTwoPi * optics.zDistance / optics.wavelength;
  for (int a = 0; a < h; ++a) {
    // Both the limit and the root only get worse as b grows.
    for (int b = a; b < h && b < limit; ++b) {
      const double sa = a * sine;
      const double sb = b * sine;
      const double cosine2 = 1.0 - sa * sa - sb * sb;
      if (!(cosine2 > 0.0)) break;
      const Complex t = unitPhase(rate * std::sqrt(cosine2));
      table[index(a) * index(h) + index(b)] = t;
      table[index(b) * index(h) + index(a)] = t;
    }
  }
}

// exp(2 pi i k shift / n) for the signed frequency k of each index, times
// scale: a shift of the result by `shift` samples towards lower indices.
std::vector<Complex> shiftAxis(int n, double shift, double scale) {
  std::vector<Complex> axis(index(n));
  for (int j = 0; j < n; ++j) {
    const Complex f = unitPhase(kTwoPi * signedFrequency(j, n) * shift / n);
    axis[index(j)] = {f.re * scale, f.im * scale};
  }
  return axis;
}

// Input of the angular spectrum's inverse transform: the spectrum times the
// transfer function times the shift factors.
struct TransferProduct {
  const Complex* const* spectrum;
  const Complex* table;
  int n;
  std::vector<int> magnitude;  // |signed frequency| of each index
  std::vector<Complex> rowFactor;
  std::vector<Complex> columnFactor;

  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const TransferProduct*>(context);
    if (r + kPrefetchRows < in.n) {
      prefetchSpan(in.spectrum[r + kPrefetchRows] + c0,
                   index(count) * sizeof(Complex));
    }
    const int h = in.n / 2 + 1;
    const Complex* t = in.table + index(in.magnitude[index(r)]) * index(h);
    const Complex f = in.rowFactor[index(r)];
    const Complex* a = in.spectrum[r];
    for (int j = c0; j < c0 + count; ++j) {
      const int m = in.magnitude[index(j)];
      out[j - c0] =
          times(times(a[j], t[m]), times(f, in.columnFactor[index(j)]));
    }
  }
};

void runAngularSpectrum(const Samples& samples, int n,
                        const ReconstructionOutputs& outputs,
                        const Optics& optics) {
  Scratch& scratch = Scratch::of(n);
  ComplexField& work = scratch.work;
  transformPrepared(samples, n, optics, work);
  fillTransfer(scratch.transfer, n, optics);

  // The Convolution method's kernel is centred on (n - 1) / 2 and its
  // result shifted by n / 2, so its sample p shows the field at p + 1/2
  // for even n and at p + 1 for odd n; its kernel, not multiplied by the
  // area of a sample, scales the field by 1 / pitch^2. The same shift (a
  // linear phase of the spectrum) and scale here keep the two methods'
  // pictures in place.
  const double shift = n % 2 == 0 ? 0.5 : 1.0;
  TransferProduct product{
      work.rows(),
      scratch.transfer.data(),
      n,
      std::vector<int>(index(n)),
      shiftAxis(n, shift, 1.0 / (optics.pitch * optics.pitch)),
      shiftAxis(n, shift, 1.0)};
  for (int j = 0; j < n; ++j) {
    product.magnitude[index(j)] = std::abs(signedFrequency(j, n));
  }
  OutputSink output(n, 0, outputs);
  fft2dThrough(work.rows(), n, false, {TransferProduct::load, &product},
               {OutputSink::store, &output});
}

using Runner = void (*)(const Samples&, int, const ReconstructionOutputs&,
                        const Optics&);

Runner runnerOf(Method method) {
  switch (method) {
    case Method::convolution:
      return runConvolution;
    case Method::angularSpectrum:
      return runAngularSpectrum;
    case Method::fresnel:
      break;
  }
  return runFresnel;
}

Samples samplesOf(const PreparedHologram& hologram) {
  return {hologram.real.rows(), hologram.complex.rows(),
          hologram.referenceAmplitude};
}

// Interferometry: reconstruct(k, outputs) reconstructs hologram k (0 or 1)
// into outputs; the interference phase is formed from the two wrapped
// phases. Full-quadrant phases, not tangents: a tangent cannot tell phi
// from phi + pi, which puts the difference off by pi wherever the two real
// parts differ in sign.
template <typename Reconstruct>
void runDhi(int n, const DhiOutputs& outputs, Reconstruct reconstructOne) {
  RealField& phase1 = Scratch::ensure(Scratch::of(n).phase, n);
  ReconstructionOutputs first;
  first.intensity = outputs.intensity1;
  first.phase = phase1.rows();
  first.field = outputs.field1;
  reconstructOne(0, first);
  // The second phase goes straight into the output and is replaced there.
  ReconstructionOutputs second;
  second.intensity = outputs.intensity2;
  second.phase = outputs.phaseDifference;
  second.field = outputs.field2;
  reconstructOne(1, second);
  double* const* difference = outputs.phaseDifference;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      difference[i][j] = interferencePhase(phase1[i][j], difference[i][j]);
    }
  }
}

// The line-sized buffers (transform block and plan, factor tables, one
// output row) stay below 64 rows of complex samples.
std::size_t lineBytes(int n) {
  return n <= 0 ? 0
                : ComplexField::bytesFor(1) * 64 * static_cast<std::size_t>(n);
}

}  // namespace

void reconstruct(Method method, const PreparedHologram& hologram,
                 const Optics& optics, const ReconstructionOutputs& outputs) {
  runnerOf(method)(samplesOf(hologram), hologram.size(), outputs, optics);
}

void reconstructDhi(Method method, const PreparedHologram& hologram1,
                    const PreparedHologram& hologram2, const Optics& optics,
                    const DhiOutputs& outputs) {
  const PreparedHologram* holograms[] = {&hologram1, &hologram2};
  runDhi(hologram1.size(), outputs,
         [&](int k, const ReconstructionOutputs& out) {
           reconstruct(method, *holograms[k], optics, out);
         });
}

namespace {

// The angular spectrum's band limit and the root's reach in frequency
// samples, as fillTransfer decides them: a frequency pair (a, b) of
// magnitudes is kept when both lie below the limit and the root
// 1 - (a s)^2 - (b s)^2, s = wavelength / (n pitch), is positive.
struct BandLimit {
  double limit;
  double sine;

  BandLimit(int n, const Optics& optics) {
    const double width = n * optics.pitch;
    const double reach = 2.0 * std::abs(optics.zDistance) / width;
    limit = width / (optics.wavelength * std::sqrt(reach * reach + 1));
    sine = optics.wavelength / width;
  }

  bool keeps(int a, int b) const {
    const double sa = a * sine;
    const double sb = b * sine;
    return a < limit && b < limit && 1.0 - sa * sa - sb * sb > 0.0;
  }

  // The largest b kept with a, or -1: the kept b form a run from 0.
  int highest(int a, int top) const {
    if (!keeps(a, 0)) return -1;
    int low = 0;         // kept
    int high = top + 1;  // not kept, or past the grid
    while (high - low > 1) {
      const int middle = low + (high - low) / 2;
      (keeps(a, middle) ? low : high) = middle;
    }
    return low;
  }
};

// How many signed frequencies of an n-sample axis have magnitude k: 0 and,
// for even n, n / 2 once, the others twice (n = 4: 0, 1, -2, -1).
std::size_t multiplicity(int k, int n) { return k == 0 || 2 * k == n ? 1 : 2; }

}  // namespace

std::size_t angularSpectrumKeptFrequencies(int n, const Optics& optics) {
  const BandLimit band(n, optics);
  const int top = n / 2;
  std::size_t kept = 0;
  for (int a = 0; a <= top; ++a) {
    const int last = band.highest(a, top);
    if (last < 0) break;
    // Magnitudes 0 .. last of b, with their multiplicities.
    const std::size_t b = static_cast<std::size_t>(last);
    std::size_t count = 2 * b + 1;
    if (2 * last == n) --count;  // the lone -n / 2
    kept += multiplicity(a, n) * count;
  }
  return kept;
}

int angularSpectrumHighestFrequency(int n, const Optics& optics) {
  return BandLimit(n, optics).highest(0, n / 2);
}

double samplingDistance(int n, double pitch, double wavelength) {
  return n * pitch * pitch / wavelength;
}

double interferencePhase(double phase1, double phase2) {
  double d = phase1 - phase2;
  if (d < 0.0) d += kTwoPi;
  // A tiny negative difference rounds up to 2 pi itself, which is 0.
  if (d >= kTwoPi) d = 0.0;
  return d;
}

std::size_t preparedHologramBytes(int n, bool filtered) {
  return filtered ? ComplexField::bytesFor(n) : RealField::bytesFor(n);
}

std::size_t reconstructionScratchBytes(int n, Method method, bool dhi) {
  const std::size_t h = n <= 0 ? 0 : static_cast<std::size_t>(n / 2 + 1);
  // The transfer table: h^2 complex samples, below an (h + 1)-edge field.
  const std::size_t transfer = method == Method::angularSpectrum
                                   ? ComplexField::bytesFor(static_cast<int>(h))
                                   : 0;
  return saturatingSum(
      {ComplexField::bytesFor(n),
       method == Method::convolution ? ComplexField::bytesFor(n) : 0, transfer,
       dhi ? RealField::bytesFor(n) : 0, lineBytes(n)});
}

}  // namespace numerics
