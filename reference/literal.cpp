#include "literal.h"

#include <ap.h>
#include <fasttransforms.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

using numerics::Complex;
using numerics::ComplexField;
using numerics::RealField;

namespace literal {
namespace {

using C = std::complex<double>;
constexpr double kPi = std::numbers::pi;

C get(const Complex& a) { return {a.re, a.im}; }
void set(Complex& a, C b) { a = {b.real(), b.imag()}; }

// The reference wave a_R exp(-i q y_r) times the hologram minus its 3 x 3
// local mean (divided by 9 also on the border).
ComplexField prepare(const double* const* h, int n, double wavelength,
                     double angle, double pitch) {
  RealField b(n);
  double sum = 0.0;
  each(n, [&](int r, int c) {
    double local = 0.0;
    for (int i = std::max(r - 1, 0); i <= std::min(r + 1, n - 1); ++i)
      for (int j = std::max(c - 1, 0); j <= std::min(c + 1, n - 1); ++j)
        local += h[i][j];
    sum += b[r][c] = h[r][c] - local / 9.0;
  });
  const double a = std::sqrt(sum / (static_cast<double>(n) * n));
  const double q = 2.0 * kPi / wavelength * std::sin(angle);
  ComplexField work(n);
  each(n, [&](int r, int c) {
    set(work[r][c], std::polar(a, -q * (r - 0.5 * (n - 1)) * pitch) * b[r][c]);
  });
  return work;
}

// The outputs of U = (work shifted by n / 2 both ways, unless not centred)
// * factor(r, c).
template <typename Factor>
void output(const ComplexField& work, int n, double* const* intensity,
            double* const* tangent, double* const* wrapped, Factor factor,
            bool centred = true) {
  each(n, [&](int r, int c) {
    const int s = centred ? n - n / 2 : 0;
    const C u = get(work[(r + s) % n][(c + s) % n]) * factor(r, c);
    if (intensity) intensity[r][c] = u.imag() * u.imag() + u.real() * u.real();
    tangent[r][c] = u.imag() / u.real();
    if (wrapped) wrapped[r][c] = std::atan2(u.imag(), u.real());
  });
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  alglib::complex_1d_array line;
  line.setlength(n);
  for (int i = 0; i < 2 * n; ++i) {  // columns, then rows
    const auto at = [&](int k) -> Complex& {
      return i < n ? field[k][i] : field[i - n][k];
    };
    for (int k = 0; k < n; ++k) line[k] = alglib::complex(at(k).re, at(k).im);
    forward ? alglib::fftc1d(line) : alglib::fftc1dinv(line);
    for (int k = 0; k < n; ++k) at(k) = {line[k].x, line[k].y};
  }
}

void fresnel(const double* const* hologram, int n, double* const* intensity,
             double* const* tangent, double wavelength, double angle, double z,
             double pitch, double* const* wrapped) {
  ComplexField work = prepare(hologram, n, wavelength, angle, pitch);
  const double x0 = -0.5 * (n - 1) * pitch, s = -kPi / (wavelength * z);
  each(n, [&](int r, int c) {
    const double x = c * pitch + x0, y = r * pitch + x0;
    set(work[r][c], get(work[r][c]) * std::polar(1.0, (x * x + y * y) * s));
  });
  fft2d(work.rows(), n, false);
  const double length = (n - 1) * pitch + pitch, m = -kPi * wavelength * z;
  const double t0 = -(2.0 * kPi / wavelength) * z, g = 1.0 / (wavelength * z);
  const int k0 = -((n - 1) / 2);
  output(work, n, intensity, tangent, wrapped, [&](int r, int c) {
    const double kx = (c + k0) / length, ky = (r + k0) / length;
    const double psi = (kx * kx + ky * ky) * m;
    return C((std::sin(t0) * std::cos(psi) - std::cos(t0) * std::sin(psi)) * g,
             (std::cos(t0) * std::cos(psi) + std::sin(t0) * std::sin(psi)) * g);
  });
}

void convolution(const double* const* hologram, int n, double* const* intensity,
                 double* const* tangent, double wavelength, double angle,
                 double z, double pitch, double* const* wrapped) {
  ComplexField work = prepare(hologram, n, wavelength, angle, pitch), g(n);
  fft2d(work.rows(), n, true);
  const double x0 = -0.5 * (n - 1) * pitch, k = 2.0 * kPi / wavelength;
  each(n, [&](int r, int c) {
    const double x = c * pitch + x0, y = r * pitch + x0;
    const double rho = std::sqrt(x * x + y * y + z * z);
    set(g[r][c], C(std::sin(k * rho), std::cos(k * rho)) / (wavelength * rho));
  });
  fft2d(g.rows(), n, true);
  each(n,
       [&](int r, int c) { set(work[r][c], get(work[r][c]) * get(g[r][c])); });
  fft2d(work.rows(), n, false);
  output(work, n, intensity, tangent, wrapped, [](int, int) { return C(1); });
}

void angularSpectrum(const double* const* hologram, int n,
                     double* const* intensity, double* const* tangent,
                     double wavelength, double angle, double z, double pitch,
                     double* const* wrapped) {
  ComplexField work = prepare(hologram, n, wavelength, angle, pitch);
  fft2d(work.rows(), n, true);
  const double width = n * pitch, s = n % 2 == 0 ? 0.5 : 1.0;
  const double limit =
      1.0 / (wavelength * std::sqrt(std::pow(2 * z / width, 2) + 1));
  const auto frequency = [n](int j) { return j < (n + 1) / 2 ? j : j - n; };
  each(n, [&](int r, int c) {
    const double fx = frequency(c) / width, fy = frequency(r) / width;
    const double root = 1 / (wavelength * wavelength) - fx * fx - fy * fy;
    const bool passes =
        root > 0 && std::abs(fx) < limit && std::abs(fy) < limit;
    const C h = passes ? std::polar(1.0, -2 * kPi * z * std::sqrt(root)) : 0.0;
    const C shift =
        std::polar(1.0, 2 * kPi * (frequency(r) + frequency(c)) * s / n);
    set(work[r][c], get(work[r][c]) * h * shift / (pitch * pitch));
  });
  fft2d(work.rows(), n, false);
  output(
      work, n, intensity, tangent, wrapped, [](int, int) { return C(1); },
      false);
}

}  // namespace literal
