#include "simulate.h"

#include <cmath>
#include <numbers>

#include "numerics/fft.h"
#include "support.h"

namespace simulate {

namespace {

constexpr double kPi = std::numbers::pi;

// Spatial frequency of transform index j on an m-point grid: indices from
// m / 2 on stand for negative frequencies. Example: m = 4 gives 0, 1, -2, -1
// cycles per m samples.
double frequency(int j, int m, double pitch) {
  const int cycles = j < m / 2 ? j : j - m;
  return cycles / (m * pitch);
}

}  // namespace

void propagate(ComplexField& field, double wavelength, double pitch, double z) {
  const int m = field.size();
  fft2d(field.rows(), m, true);
  const double inverseSquare = 1.0 / (wavelength * wavelength);
  for (int r = 0; r < m; ++r) {
    const double fy = frequency(r, m, pitch);
    for (int c = 0; c < m; ++c) {
      const double fx = frequency(c, m, pitch);
      const double axial = inverseSquare - fx * fx - fy * fy;
      if (axial <= 0.0) {
        field[r][c] = {0.0, 0.0};  // evanescent
        continue;
      }
      const double phase = 2.0 * kPi * z * std::sqrt(axial);
      const Complex a = field[r][c];
      const double co = std::cos(phase);
      const double si = std::sin(phase);
      field[r][c] = {a.re * co - a.im * si, a.re * si + a.im * co};
    }
  }
  fft2d(field.rows(), m, false);
}

RealField record(const ComplexField& object, int n, const Setup& setup) {
  ComplexField sensor = copyOf(object);
  propagate(sensor, setup.wavelength, setup.pitch, setup.distance);
  const int offset = (object.size() - n) / 2;
  const double q = 2.0 * kPi / setup.wavelength * std::sin(setup.angle);
  RealField hologram(n);
  for (int r = 0; r < n; ++r) {
    const double y = (r - 0.5 * (n - 1)) * setup.pitch;
    const double re = setup.referenceAmplitude * std::cos(-q * y);
    const double im = setup.referenceAmplitude * std::sin(-q * y);
    for (int c = 0; c < n; ++c) {
      const Complex u = sensor[r + offset][c + offset];
      const double sumRe = u.re + re;
      const double sumIm = u.im + im;
      hologram[r][c] = sumRe * sumRe + sumIm * sumIm;
    }
  }
  return hologram;
}

}  // namespace simulate
