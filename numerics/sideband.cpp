#include "sideband.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <vector>

#include "fft.h"
#include "shortest.h"

namespace numerics {

namespace {

constexpr double kPi = std::numbers::pi;

std::size_t index(int i) { return static_cast<std::size_t>(i); }

// Signed frequency of DFT bin j of n. Example, n = 4: bins 0 1 2 3 are
// frequencies 0 1 -2 -1.
int signedFrequency(int j, int n) { return j < (n + 1) / 2 ? j : j - n; }

double power(Complex a) { return a.re * a.re + a.im * a.im; }

ComplexField spectrumOf(const PreparedHologram& hologram) {
  const int n = hologram.size();
  ComplexField spectrum(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      spectrum[r][c] = hologram.complex ? hologram.complex[r][c]
                                        : Complex{hologram.real[r][c], 0.0};
    }
  }
  fft2d(spectrum.rows(), n, true);
  return spectrum;
}

// Squared distances of the bins from f along one axis on the periodic
// spectrum: from the nearest of f's copies n apart, so that a disk near the
// highest frequency continues on the other side as the spectrum does.
std::vector<double> squaredOffsets(int n, double f) {
  std::vector<double> squares(index(n));
  for (int j = 0; j < n; ++j) {
    const double d = std::remainder(j - f, n);
    squares[index(j)] = d * d;
  }
  return squares;
}

// 1 up to radius - edge, then a raised cosine down to 0 at the radius.
double weight(double rho, double radius, double edge) {
  if (rho >= radius) return 0.0;
  const double inner = radius - edge;
  if (rho <= inner) return 1.0;
  return 0.5 * (1.0 + std::cos(kPi * (rho - inner) / edge));
}

// The strongest bin outside the zero order's disk of radius n / 16 in the
// half the order names: fy * order > 0, or fy = 0 and fx * order > 0. The
// Nyquist row and column (frequency -n / 2 of an even n) are left out: no
// order is centred there (its twin would be the same bin), and a recorded
// hologram's strongest bin can be an artefact of the camera there (a
// column pattern alternating from pixel to pixel).
std::optional<Frequency> strongestInHalf(const ComplexField& spectrum, int n,
                                         int order) {
  const double zeroOrder = n / 16.0;
  const int nyquist = n % 2 == 0 ? -n / 2 : n;  // n: no such frequency
  double best = -1.0;
  Frequency found;
  for (int r = 0; r < n; ++r) {
    const int fy = signedFrequency(r, n);
    if (fy == nyquist) continue;
    for (int c = 0; c < n; ++c) {
      const int fx = signedFrequency(c, n);
      const bool inHalf = fy * order > 0 || (fy == 0 && fx * order > 0);
      if (!inHalf || fx == nyquist || std::hypot(fx, fy) <= zeroOrder) {
        continue;
      }
      if (power(spectrum[r][c]) > best) {
        best = power(spectrum[r][c]);
        found = {static_cast<double>(fx), static_cast<double>(fy)};
      }
    }
  }
  if (best < 0.0) return std::nullopt;
  return found;
}

// True when every bin but the zero frequency is 0, or below rounding of a
// constant's transform (1e-10 of its magnitude): an all-zero hologram, or a
// constant one prepared without the local-mean filter.
bool holdsOnlyTheZeroFrequency(const ComplexField& spectrum) {
  const double floor = 1e-20 * power(spectrum[0][0]);
  const int n = spectrum.size();
  for (int r = 0; r < n; ++r) {
    for (int c = r == 0 ? 1 : 0; c < n; ++c) {
      if (power(spectrum[r][c]) > floor) return false;
    }
  }
  return true;
}

std::string requestProblem(const SidebandRequest& request) {
  if (request.order != 1 && request.order != -1) {
    return "the sideband's order must be 1 or -1";
  }
  if (!(request.radius >= 0.0 && std::isfinite(request.radius))) {
    return "the sideband's radius must be 0 (automatic) or a positive number "
           "of frequency samples";
  }
  if (!(request.edge >= 0.0 && std::isfinite(request.edge))) {
    return "the sideband's edge must be 0 or a positive number of frequency "
           "samples";
  }
  if (request.centre && !(std::isfinite(request.centre->fx) &&
                          std::isfinite(request.centre->fy))) {
    return "the sideband's centre must be two finite numbers";
  }
  return {};
}

// Applies the filter to the spectrum in place and returns its contrast
// (Sideband::contrast), or NaN when the disk holds no bin at all; 0 when
// neither disk holds any light.
double maskSpectrum(ComplexField& spectrum, const Sideband& sideband) {
  const int n = spectrum.size();
  const Frequency centre = sideband.centre;
  // The disk turned by a quarter turn: centre (-fy, fx).
  const std::vector<double> dx = squaredOffsets(n, centre.fx);
  const std::vector<double> dy = squaredOffsets(n, centre.fy);
  const std::vector<double> tx = squaredOffsets(n, -centre.fy);
  const std::vector<double> ty = squaredOffsets(n, centre.fx);
  const double radius2 = sideband.radius * sideband.radius;
  double inside = 0.0;
  double across = 0.0;
  long long count = 0;
  long long acrossCount = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      Complex& s = spectrum[r][c];
      const double rho2 = dx[index(c)] + dy[index(r)];
      if (tx[index(c)] + ty[index(r)] < radius2) {
        across += power(s);
        ++acrossCount;
      }
      if (rho2 >= radius2) {
        s = {};
        continue;
      }
      inside += power(s);
      ++count;
      const double w = weight(std::sqrt(rho2), sideband.radius, sideband.edge);
      s = {s.re * w, s.im * w};
    }
  }
  if (count == 0) return std::nan("");
  if (across == 0.0) return inside > 0.0 ? HUGE_VAL : 0.0;
  return inside / static_cast<double>(count) /
         (across / static_cast<double>(acrossCount));
}

// The masked spectrum transformed back, moved to the zero frequency when the
// filter asks: multiplied by exp(-i 2 pi (fx x_c + fy y_r) / n) with
// coordinates centred on (n - 1) / 2, the sample coordinates of the
// reference wave, so that the predicted carrier is removed exactly as that
// wave would remove it.
PreparedHologram transformBack(ComplexField spectrum, double amplitude,
                               const Sideband& sideband) {
  const int n = spectrum.size();
  fft2d(spectrum.rows(), n, false);
  if (sideband.center) {
    const auto axis = [n](double f) {
      std::vector<Complex> factors(index(n));
      for (int j = 0; j < n; ++j) {
        const double phase = -2.0 * kPi * f * (j - 0.5 * (n - 1)) / n;
        factors[index(j)] = {std::cos(phase), std::sin(phase)};
      }
      return factors;
    };
    const std::vector<Complex> rows = axis(sideband.centre.fy);
    const std::vector<Complex> columns = axis(sideband.centre.fx);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const Complex f = rows[index(r)], g = columns[index(c)];
        const Complex fg = {f.re * g.re - f.im * g.im,
                            f.re * g.im + f.im * g.re};
        Complex& s = spectrum[r][c];
        s = {s.re * fg.re - s.im * fg.im, s.re * fg.im + s.im * fg.re};
      }
    }
  }
  PreparedHologram filtered;
  filtered.complex = std::move(spectrum);
  filtered.referenceAmplitude = amplitude;
  return filtered;
}

/// True when m has no prime factor but 2, 3, 5 and 7: a size FFTW
/// transforms fast.
bool smooth(int m) {
  for (const int p : {2, 3, 5, 7}) {
    while (m % p == 0) m /= p;
  }
  return m == 1;
}

/// The factors exp(2 pi i m delta / n) of the cropped frequencies m (signed,
/// as bins 0 .. edge - 1 hold them): a shift of the samples by delta camera
/// pixels.
std::vector<Complex> shiftFactors(int edge, int n, double delta) {
  std::vector<Complex> factors(index(edge));
  for (int j = 0; j < edge; ++j) {
    const double phase = 2.0 * kPi * signedFrequency(j, edge) * delta / n;
    factors[index(j)] = {std::cos(phase), std::sin(phase)};
  }
  return factors;
}

/// The centring's constant along one axis, exp(2 pi i r (n - 1) / (2 n))
/// for the whole frequency r the crop moves to the zero frequency: the
/// phase of the sample at the camera's centre stays where it was.
Complex centringConstant(int n, double r) {
  const double phase = 2.0 * kPi * r * 0.5 * (n - 1) / n;
  return {std::cos(phase), std::sin(phase)};
}

Complex product(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

/// The m x m block of hologram's spectrum from frequency (rowFirst,
/// columnFirst) on (see spectrumBlock); a complex hologram's from its
/// whole spectrum.
ComplexField blockOf(const PreparedHologram& hologram, long long rowFirst,
                     long long columnFirst, int m) {
  const int n = hologram.size();
  const auto wrapped = [n](long long f) {
    return static_cast<int>(((f % n) + n) % n);
  };
  if (!hologram.complex) {
    return spectrumBlock(hologram.real.rows(), n, wrapped(rowFirst),
                         wrapped(columnFirst), m);
  }
  const ComplexField spectrum = spectrumOf(hologram);
  ComplexField block(m);
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j) {
      block[i][j] = spectrum[wrapped(rowFirst + i)][wrapped(columnFirst + j)];
    }
  }
  return block;
}

/// The filter applied to a block of the spectrum from frequency (rowFirst,
/// columnFirst) on, as maskSpectrum applies it to the whole.
void maskBlock(ComplexField& block, const Sideband& sideband, int n,
               long long rowFirst, long long columnFirst) {
  const int m = block.size();
  for (int i = 0; i < m; ++i) {
    const double dy = std::remainder(
        static_cast<double>(rowFirst + i) - sideband.centre.fy, n);
    for (int j = 0; j < m; ++j) {
      const double dx = std::remainder(
          static_cast<double>(columnFirst + j) - sideband.centre.fx, n);
      const double w =
          weight(std::sqrt(dx * dx + dy * dy), sideband.radius, sideband.edge);
      block[i][j] = {block[i][j].re * w, block[i][j].im * w};
    }
  }
}

}  // namespace

int croppedEdge(const Sideband& sideband, int n) {
  const Frequency c = sideband.centre;
  const double off = std::max(std::abs(c.fx - std::round(c.fx)),
                              std::abs(c.fy - std::round(c.fy)));
  const auto reach = static_cast<int>(std::ceil(sideband.radius + off));
  for (int m = std::max(1, 2 * reach - 1); m < n; ++m) {
    // Bins -m/2 .. m/2 - 1 for an even m, -(m-1)/2 .. (m-1)/2 for an odd.
    if ((m % 2 == 0 && m / 2 < reach) || !smooth(m)) continue;
    return m;
  }
  return n;
}

PreparedHologram cropSideband(const PreparedHologram& hologram,
                              const Sideband& sideband, int m, Method method) {
  const int n = hologram.size();
  const auto rx = static_cast<long long>(std::round(sideband.centre.fx));
  const auto ry = static_cast<long long>(std::round(sideband.centre.fy));
  // The spectrum's m x m block around (rx, ry), from frequency r - m / 2 on
  // along each axis: block index b holds the signed offset b - m / 2.
  const long long rowFirst = ry - m / 2;
  const long long columnFirst = rx - m / 2;
  ComplexField block = blockOf(hologram, rowFirst, columnFirst, m);
  maskBlock(block, sideband, n, rowFirst, columnFirst);
  const double scale = static_cast<double>(n) / m;
  // Where cropped sample q sits: q n / m + delta camera pixels. For the
  // angular spectrum and Convolution, which show sample q half a (coarse)
  // sample on, delta puts that on the camera's half pixel: n = 256, m = 64
  // gives delta = 0.5 - 2 = -1.5, and sample q shows 4 q - 1.5 + 2 =
  // 4 q + 0.5. For Fresnel, delta puts the samples where its centred
  // coordinates, (q - (m - 1) / 2) n / m, expect them.
  const double cameraShift = n % 2 == 0 ? 0.5 : 1.0;
  const double coarseShift = m % 2 == 0 ? 0.5 : 1.0;
  const double delta = method == Method::fresnel
                           ? 0.5 * (scale - 1.0)
                           : cameraShift - coarseShift * scale;
  const std::vector<Complex> shift = shiftFactors(m, n, delta);
  ComplexField cropped(m);
  for (int i = 0; i < m; ++i) {
    const int r = signedFrequency(i, m) + m / 2;
    for (int j = 0; j < m; ++j) {
      const int c = signedFrequency(j, m) + m / 2;
      cropped[i][j] =
          product(product(block[r][c], shift[index(i)]), shift[index(j)]);
    }
  }
  block.release();
  fft2d(cropped.rows(), m, false);
  // The inverse transform scales by 1 / m^2 where the camera's scales by
  // 1 / n^2: the samples hold the field times (n / m)^2. The angular
  // spectrum and Convolution scale their result by 1 / pitch^2, which at
  // the pitch n pitch / m takes that factor back; Fresnel's sum over the
  // samples, scaled by 1 / m^2, does not, so it is taken here.
  const double level =
      method == Method::fresnel
          ? (static_cast<double>(m) / n) * (static_cast<double>(m) / n)
          : 1.0;
  const Complex constant =
      product(product(centringConstant(n, static_cast<double>(ry)),
                      centringConstant(n, static_cast<double>(rx))),
              {level, 0.0});
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < m; ++j)
      cropped[i][j] = product(cropped[i][j], constant);
  }
  PreparedHologram result;
  result.complex = std::move(cropped);
  result.referenceAmplitude = hologram.referenceAmplitude;
  return result;
}

SidebandResult filterSideband(const PreparedHologram& hologram,
                              const SidebandRequest& request,
                              const Optics& optics) {
  SidebandResult result;
  result.problem = requestProblem(request);
  if (!result.problem.empty()) return result;
  const int n = hologram.size();
  ComplexField spectrum = spectrumOf(hologram);
  if (holdsOnlyTheZeroFrequency(spectrum)) {
    result.problem =
        "the hologram is empty: its spectrum holds nothing but the zero "
        "frequency";
    return result;
  }

  Frequency centre;
  if (request.centre) {
    centre = *request.centre;
  } else if (optics.angle != 0.0) {
    centre.fy = request.order * n * optics.pitch * std::sin(optics.angle) /
                optics.wavelength;
    if (!std::isfinite(centre.fy)) {
      result.problem =
          "the reference wave's angle predicts no finite carrier frequency";
      return result;
    }
  } else if (const auto found = strongestInHalf(spectrum, n, request.order)) {
    centre = *found;
  } else {
    result.problem = "the hologram has no frequency outside its zero order";
    return result;
  }
  if (std::max(std::abs(centre.fx), std::abs(centre.fy)) > 0.5 * n) {
    result.problem = "the sideband's centre (" + shortestText(centre.fx) +
                     ", " + shortestText(centre.fy) +
                     ") lies beyond the highest frequency of the hologram, " +
                     shortestText(0.5 * n) + " frequency samples";
    return result;
  }
  Sideband& sideband = result.sideband;
  sideband.centre = centre;
  sideband.radius = request.radius > 0.0
                        ? request.radius
                        : std::hypot(centre.fx, centre.fy) / 3.0;
  if (!(sideband.radius > 0.0)) {
    result.problem =
        "the sideband's centre is the zero frequency: give its radius";
    return result;
  }
  sideband.edge = std::min(request.edge, sideband.radius);
  sideband.center = request.center;
  sideband.contrast = maskSpectrum(spectrum, sideband);
  if (std::isnan(sideband.contrast)) {
    result.problem = "the sideband's disk of radius " +
                     shortestText(sideband.radius) +
                     " holds no frequency sample";
    return result;
  }
  result.hologram =
      transformBack(std::move(spectrum), hologram.referenceAmplitude, sideband);
  return result;
}

PreparedHologram applySideband(const PreparedHologram& hologram,
                               const Sideband& sideband) {
  ComplexField spectrum = spectrumOf(hologram);
  maskSpectrum(spectrum, sideband);
  return transformBack(std::move(spectrum), hologram.referenceAmplitude,
                       sideband);
}

std::size_t sidebandBytes(int n) { return ComplexField::bytesFor(n); }

}  // namespace numerics
