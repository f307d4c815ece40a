#include "reconstruction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <stdexcept>
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
//   gathered, and the centring shift, the image-plane factor, the outputs
//   and an interference phase while its last rows are scattered, saving
//   passes over the field;
// - the hologram's spectrum does not depend on z, so sets that share it
//   (HologramSpectrum) transform it once, and both holograms of an
//   interferometric set share one impulse response or transfer function;
// - the angular spectrum's band limit leaves most of the spectrum zero at
//   distances beyond samplingDistance: its inverse transforms only the
//   columns the band holds, and the transfer function is computed there
//   only;
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

// Where a reconstruction's outputs go. For the second hologram of an
// interferometric pair, firstPhase holds the first one's phases, and the
// phase output receives the interference phase as its rows are written.
struct Destination {
  ReconstructionOutputs outputs;
  const double* const* firstPhase = nullptr;
};

// Writes one output row from the reconstructed samples u; the phase is the
// interference phase with firstPhase when that is given.
void writeRow(const Complex* u, int n, double* intensity, double* phase,
              PhaseOutput kind, const double* firstPhase) {
  if (intensity != nullptr) {
    for (int c = 0; c < n; ++c) {
      intensity[c] = u[c].im * u[c].im + u[c].re * u[c].re;
    }
  }
  if (phase == nullptr) return;
  if (firstPhase != nullptr) {
    for (int c = 0; c < n; ++c) {
      phase[c] = interferencePhase(firstPhase[c], std::atan2(u[c].im, u[c].re));
    }
  } else if (kind == PhaseOutput::tangent) {
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
  const double* const* firstPhase;
  // Image-plane factor rowFactor[r] * columnFactor[c]; both empty for none.
  std::vector<Complex> rowFactor;
  std::vector<Complex> columnFactor;
  // The same for the field on the physical grid; both empty for none.
  std::vector<Complex> fieldRowFactor;
  std::vector<Complex> fieldColumnFactor;
  std::vector<Complex> u;  // one shifted output row

  OutputSink(int edge, int rowShift, const Destination& destination)
      : n(edge),
        shift(rowShift),
        outputs(destination.outputs),
        firstPhase(destination.firstPhase),
        u(index(edge)) {}

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
             outputs.phase ? outputs.phase[out] : nullptr, outputs.phaseKind,
             firstPhase ? firstPhase[out] : nullptr);
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
// The working fields of the reconstructions on this thread, kept from one
// call to the next for the same edge: a fresh field costs more than the
// transform (at 1024, faulting in and zeroing 24 MB took 16 ms against 8 ms
// for the 2-D transform on this virtual machine), and a sweep calls with one
// edge thousands of times. Every call overwrites every sample it reads. A
// new edge releases the old fields before allocating, so the peak is that
// of the larger edge, never the sum.
struct Scratch {
  ComplexField work;
  ComplexField kernel;  // Convolution of a hologram or of a pair only
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

void runFresnel(const Samples& samples, int n, const Destination& destination,
                const Optics& optics) {
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
  OutputSink output(n, n / 2, destination);
  output.columnFactor = imagePlaneAxis(n, length, -kPi * lz);
  for (int r = 0; r < n; ++r) {
    output.rowFactor.push_back(times(constant, output.columnFactor[index(r)]));
  }
  if (destination.outputs.field != nullptr) {
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

// The impulse response's spectrum for the optics, in kernel.
void transformKernel(Complex* const* kernel, int n, const Optics& optics) {
  fillKernel(kernel, n, optics);
  fft2dMirrored(kernel, n);
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
// spectrum: the first step of Convolution and of the angular spectrum.
void transformPrepared(const Samples& samples, int n, const Optics& optics,
                       Complex* const* spectrum) {
  const std::vector<Complex> reference = referenceRows(samples, n, optics);
  withRows(samples, [&](auto rows) {
    using Sample = std::remove_cvref_t<decltype(**rows)>;
    const ConvolutionInput<Sample> input{rows, reference};
    fft2dThrough(spectrum, n, true, {ConvolutionInput<Sample>::load, &input},
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

// The Convolution method's last step: the hologram's spectrum times the
// impulse response's, transformed back into work and the outputs. The
// product is formed as the inverse gathers its columns; each column block
// is gathered before it is overwritten, so work may hold either spectrum.
void convolve(const Complex* const* spectrum, const Complex* const* kernel,
              ComplexField& work, const Destination& destination) {
  const int n = work.size();
  const SpectrumProduct product{spectrum, kernel, n};
  OutputSink output(n, n / 2, destination);
  fft2dThrough(work.rows(), n, false, {SpectrumProduct::load, &product},
               {OutputSink::store, &output});
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

// The angular spectrum's transfer function for one set and the factors its
// inverse transform applies, formed as that transform gathers its columns:
// the spectrum times the transfer function times the shift factors.
//
// The transfer function exp(-i 2 pi z sqrt(1 / wavelength^2 - fx^2 - fy^2))
// depends on kx^2 + ky^2 only. It is zero for evanescent waves and beyond
// the band limit: a plane wave of frequency f crosses the distance at the
// angle whose sine is wavelength f, and frequencies whose light would travel
// more than half the grid sideways over z wrap round the periodic grid; the
// limit keeps |fx| and |fy| below 1 / (wavelength sqrt((2 z / W)^2 + 1)),
// W = n pitch the grid's width. So it is held by the absolute frequency
// indices a = |ky|, b = |kx| below `band`, the first index at which it is
// zero along an axis, as table[a * band + b]; only the octant a <= b is
// computed, and mirrored.
//
// Outside the band square the product is zero, and the inverse transforms
// only the band's columns (see ColumnBand): beyond samplingDistance that is
// a small part of them. The zeros it leaves out would carry signs, which
// can only reach output samples that are exactly zero; those arise when
// nothing in the band is non-zero (a hologram of zeros), and then the whole
// spectrum is multiplied and transformed as the product defines it, so
// that even their signs stay as they were.
class Transfer {
 public:
  Transfer(int n, const Optics& optics, std::vector<Complex>& table)
      : n_(n), table_(table), magnitude_(index(n)) {
    for (int j = 0; j < n; ++j) {
      magnitude_[index(j)] = std::abs(signedFrequency(j, n));
    }
    fill(optics);
    // The Convolution method's kernel is centred on (n - 1) / 2 and its
    // result shifted by n / 2, so its sample p shows the field at p + 1/2
    // for even n and at p + 1 for odd n; its kernel, not multiplied by the
    // area of a sample, scales the field by 1 / pitch^2. The same shift (a
    // linear phase of the spectrum) and scale here keep the two methods'
    // pictures in place.
    const double shift = n % 2 == 0 ? 0.5 : 1.0;
    rowFactor_ = shiftAxis(n, shift, 1.0 / (optics.pitch * optics.pitch));
    columnFactor_ = shiftAxis(n, shift, 1.0);
  }

  // What the inverse transform reads: the spectrum, and whether it takes the
  // whole of it or the band only.
  struct Input {
    const Transfer* transfer;
    const Complex* const* spectrum;
    bool whole;
  };

  Input inputFor(const Complex* const* spectrum) const {
    return {this, spectrum, !holdsProduct(spectrum)};
  }

  // The inverse's columns that may be non-zero: signed frequencies from
  // -(band - 1) to band - 1. Example: n = 8, band 3: columns 0 1 2 and 6 7.
  ColumnBand columns(const Input& input) const {
    if (input.whole) return {};
    return {std::min(band_, (n_ + 1) / 2),
            std::max(0, std::min(band_ - 1, n_ / 2))};
  }

  // The inverse transform's input samples (r, c0) to (r, c0 + count - 1).
  static void load(const void* context, int r, int c0, int count,
                   Complex* out) {
    const auto& in = *static_cast<const Input*>(context);
    in.transfer->product(in, r, c0, count, out);
  }

 private:
  void fill(const Optics& optics) {
    const int h = n_ / 2 + 1;
    const double width = n_ * optics.pitch;
    const double reach = 2.0 * std::abs(optics.zDistance) / width;
    // In frequency samples (units of 1 / W).
    const double limit =
        width / (optics.wavelength * std::sqrt(reach * reach + 1));
    // wavelength * f per frequency sample, and 2 pi z sqrt(1 / wavelength^2
    // - f^2) = rate * sqrt(1 - (wavelength f)^2).
    const double sine = optics.wavelength / width;
    const double rate = -kTwoPi * optics.zDistance / optics.wavelength;
    auto cosine2 = [sine](int a, int b) {
      const double sa = a * sine;
      const double sb = b * sine;
      return 1.0 - sa * sa - sb * sb;
    };
    // Along an axis (a = 0) the limit and the root end the band; both only
    // get worse as a or b grows.
    band_ = 0;
    while (band_ < h && band_ < limit && cosine2(0, band_) > 0.0) ++band_;
    const std::size_t band = index(band_);
    table_.assign(band * band, Complex{});
    for (int a = 0; a < band_; ++a) {
      for (int b = a; b < band_; ++b) {
        const double c2 = cosine2(a, b);
        if (!(c2 > 0.0)) break;
        const Complex t = unitPhase(rate * std::sqrt(c2));
        table_[index(a) * band + index(b)] = t;
        table_[index(b) * band + index(a)] = t;
      }
    }
  }

  // The transfer function at row r, column j; zero outside the band.
  Complex at(int r, int j) const {
    const int a = magnitude_[index(r)];
    const int b = magnitude_[index(j)];
    if (a >= band_ || b >= band_) return {};
    return table_[index(a) * index(band_) + index(b)];
  }

  // True when some sample of the spectrum meets a non-zero transfer
  // function. On a recording the zero frequency does, the first looked at.
  bool holdsProduct(const Complex* const* spectrum) const {
    for (int r = 0; r < n_; ++r) {
      if (magnitude_[index(r)] >= band_) continue;
      for (int j = 0; j < n_; ++j) {
        const Complex t = at(r, j);
        const Complex a = spectrum[r][j];
        if ((t.re != 0.0 || t.im != 0.0) && (a.re != 0.0 || a.im != 0.0)) {
          return true;
        }
      }
    }
    return false;
  }

  void product(const Input& in, int r, int c0, int count, Complex* out) const {
    if (!in.whole && magnitude_[index(r)] >= band_) {
      std::fill(out, out + count, Complex{});
      return;
    }
    if (r + kPrefetchRows < n_) {
      prefetchSpan(in.spectrum[r + kPrefetchRows] + c0,
                   index(count) * sizeof(Complex));
    }
    const Complex f = rowFactor_[index(r)];
    const Complex* a = in.spectrum[r];
    for (int j = c0; j < c0 + count; ++j) {
      out[j - c0] =
          times(times(a[j], at(r, j)), times(f, columnFactor_[index(j)]));
    }
  }

  int n_;
  int band_ = 0;
  std::vector<Complex>& table_;
  std::vector<int> magnitude_;  // |signed frequency| of each index
  std::vector<Complex> rowFactor_;
  std::vector<Complex> columnFactor_;
};

// The angular spectrum's last step: the spectrum propagated by transfer and
// transformed back into work and the outputs. work may hold the spectrum.
void propagate(const Complex* const* spectrum, const Transfer& transfer,
               ComplexField& work, const Destination& destination) {
  const int n = work.size();
  const Transfer::Input input = transfer.inputFor(spectrum);
  OutputSink output(n, 0, destination);
  fft2dThrough(work.rows(), n, false, {Transfer::load, &input},
               {OutputSink::store, &output}, transfer.columns(input));
}

// Reconstructs hologram k (0, or 1 for the second of an interferometric
// pair) into a destination.
using ReconstructOne = std::function<void(int k, const Destination&)>;

// Interferometry: reconstructOne(k, destination) reconstructs hologram k into
// destination; the interference phase is formed from the two wrapped phases
// as the second hologram's rows are written. Full-quadrant phases, not
// tangents: a tangent cannot tell phi from phi + pi, which puts the
// difference off by pi wherever the two real parts differ in sign.
void runDhi(int n, const DhiOutputs& outputs,
            const ReconstructOne& reconstructOne) {
  RealField& phase1 = Scratch::ensure(Scratch::of(n).phase, n);
  Destination first;
  first.outputs.intensity = outputs.intensity1;
  first.outputs.phase = phase1.rows();
  first.outputs.field = outputs.field1;
  reconstructOne(0, first);
  Destination second;
  second.outputs.intensity = outputs.intensity2;
  second.outputs.phase = outputs.phaseDifference;
  second.outputs.field = outputs.field2;
  second.firstPhase = phase1.rows();
  reconstructOne(1, second);
}

// Both holograms of a pair, each from its spectrum, which the spectrum
// function (k = 0 or 1) leaves in a field it names: a shared spectrum, or
// the thread's work field after transforming a prepared hologram into it.
// The impulse response or transfer function is made once for both.
using SpectrumOf = std::function<const Complex* const*(int k)>;

void runDhiFromSpectra(Method method, int n, const Optics& optics,
                       const DhiOutputs& outputs, const SpectrumOf& spectrum) {
  Scratch& scratch = Scratch::of(n);
  if (method == Method::convolution) {
    ComplexField& kernel = Scratch::ensure(scratch.kernel, n);
    transformKernel(kernel.rows(), n, optics);
    runDhi(n, outputs, [&](int k, const Destination& destination) {
      convolve(spectrum(k), kernel.rows(), scratch.work, destination);
    });
    return;
  }
  const Transfer transfer(n, optics, scratch.transfer);
  runDhi(n, outputs, [&](int k, const Destination& destination) {
    propagate(spectrum(k), transfer, scratch.work, destination);
  });
}

Samples samplesOf(const PreparedHologram& hologram) {
  return {hologram.real.rows(), hologram.complex.rows(),
          hologram.referenceAmplitude};
}

// Reconstructs a prepared hologram by a method that starts from its
// spectrum: the spectrum goes into the thread's work field, the impulse
// response into its kernel field.
void runFromHologram(Method method, const PreparedHologram& hologram,
                     const Optics& optics, const Destination& destination) {
  const int n = hologram.size();
  Scratch& scratch = Scratch::of(n);
  transformPrepared(samplesOf(hologram), n, optics, scratch.work.rows());
  if (method == Method::convolution) {
    ComplexField& kernel = Scratch::ensure(scratch.kernel, n);
    transformKernel(kernel.rows(), n, optics);
    convolve(scratch.work.rows(), kernel.rows(), scratch.work, destination);
    return;
  }
  const Transfer transfer(n, optics, scratch.transfer);
  propagate(scratch.work.rows(), transfer, scratch.work, destination);
}

void reconstructOne(Method method, const PreparedHologram& hologram,
                    const Optics& optics, const Destination& destination) {
  if (method == Method::fresnel) {
    runFresnel(samplesOf(hologram), hologram.size(), destination, optics);
  } else {
    runFromHologram(method, hologram, optics, destination);
  }
}

// Refuses what reconstructFromSpectrum cannot do.
void checkSpectrumUse(Method method, const HologramSpectrum& spectrum,
                      const Optics& optics) {
  if (method == Method::fresnel) {
    throw std::invalid_argument(
        "The Fresnel method does not start from the hologram's spectrum");
  }
  if (!spectrum.fits(optics)) {
    throw std::invalid_argument(
        "The hologram's spectrum was made for another wavelength, angle or "
        "pixel pitch");
  }
}

// The line-sized buffers (transform block and plan, factor tables, one
// output row) stay below 64 rows of complex samples.
std::size_t lineBytes(int n) {
  return n <= 0 ? 0
                : ComplexField::bytesFor(1) * 64 * static_cast<std::size_t>(n);
}

// The transfer table: at most h^2 complex samples, below an (h + 1)-edge
// field.
std::size_t transferBytes(int n, Method method) {
  const std::size_t h = n <= 0 ? 0 : static_cast<std::size_t>(n / 2 + 1);
  return method == Method::angularSpectrum
             ? ComplexField::bytesFor(static_cast<int>(h))
             : 0;
}

}  // namespace

bool HologramSpectrum::fits(const Optics& set) const {
  return set.wavelength == optics.wavelength && set.angle == optics.angle &&
         set.pitch == optics.pitch;
}

void reconstruct(Method method, const PreparedHologram& hologram,
                 const Optics& optics, const ReconstructionOutputs& outputs) {
  reconstructOne(method, hologram, optics, {outputs, nullptr});
}

void reconstructDhi(Method method, const PreparedHologram& hologram1,
                    const PreparedHologram& hologram2, const Optics& optics,
                    const DhiOutputs& outputs) {
  const int n = hologram1.size();
  if (method == Method::fresnel) {
    const PreparedHologram* holograms[] = {&hologram1, &hologram2};
    runDhi(n, outputs, [&](int k, const Destination& destination) {
      reconstructOne(method, *holograms[k], optics, destination);
    });
    return;
  }
  // Each spectrum goes into the work field just before its inverse
  // transform, which reads it from there.
  const PreparedHologram* holograms[] = {&hologram1, &hologram2};
  runDhiFromSpectra(method, n, optics, outputs, [&](int k) {
    ComplexField& work = Scratch::of(n).work;
    transformPrepared(samplesOf(*holograms[k]), n, optics, work.rows());
    return work.rows();
  });
}

HologramSpectrum transformHologram(const PreparedHologram& hologram,
                                   const Optics& optics) {
  HologramSpectrum spectrum{ComplexField(hologram.size()), optics};
  transformPrepared(samplesOf(hologram), hologram.size(), optics,
                    spectrum.spectrum.rows());
  return spectrum;
}

void reconstructFromSpectrum(Method method, const HologramSpectrum& spectrum,
                             const Optics& optics,
                             const ReconstructionOutputs& outputs) {
  checkSpectrumUse(method, spectrum, optics);
  const int n = spectrum.size();
  Scratch& scratch = Scratch::of(n);
  const Destination destination{outputs, nullptr};
  if (method == Method::convolution) {
    // The impulse response's spectrum goes into the work field, which the
    // inverse transform then overwrites column block by column block.
    transformKernel(scratch.work.rows(), n, optics);
    convolve(spectrum.spectrum.rows(), scratch.work.rows(), scratch.work,
             destination);
    return;
  }
  const Transfer transfer(n, optics, scratch.transfer);
  propagate(spectrum.spectrum.rows(), transfer, scratch.work, destination);
}

void reconstructDhiFromSpectra(Method method, const HologramSpectrum& spectrum1,
                               const HologramSpectrum& spectrum2,
                               const Optics& optics,
                               const DhiOutputs& outputs) {
  checkSpectrumUse(method, spectrum1, optics);
  checkSpectrumUse(method, spectrum2, optics);
  if (spectrum1.size() != spectrum2.size()) {
    throw std::invalid_argument("The holograms' spectra differ in size");
  }
  const HologramSpectrum* spectra[] = {&spectrum1, &spectrum2};
  runDhiFromSpectra(method, spectrum1.size(), optics, outputs,
                    [&](int k) { return spectra[k]->spectrum.rows(); });
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

std::size_t hologramSpectrumBytes(int n) { return ComplexField::bytesFor(n); }

std::size_t reconstructionScratchBytes(int n, Method method, bool dhi) {
  return saturatingSum(
      {ComplexField::bytesFor(n),
       method == Method::convolution ? ComplexField::bytesFor(n) : 0,
       transferBytes(n, method), dhi ? RealField::bytesFor(n) : 0,
       lineBytes(n)});
}

std::size_t spectrumReconstructionScratchBytes(int n, Method method, bool dhi) {
  // A single Convolution set keeps its impulse response in the work field;
  // a pair keeps it apart, for both holograms.
  return saturatingSum(
      {ComplexField::bytesFor(n),
       method == Method::convolution && dhi ? ComplexField::bytesFor(n) : 0,
       transferBytes(n, method), dhi ? RealField::bytesFor(n) : 0,
       lineBytes(n)});
}

}  // namespace numerics
