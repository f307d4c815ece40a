#include "literal.h"

#include <ap.h>
#include <fasttransforms.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace literal {
namespace {

constexpr double kPi = std::numbers::pi;

void transformLine(alglib::complex_1d_array& line, bool forward) {
  if (forward) {
    alglib::fftc1d(line);
  } else {
    alglib::fftc1dinv(line);
  }
}

double filterAndSum(const double* const* hologram, int n,
                    double* const* filtered) {
  double sum = 0.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      double neighbourhood = 0.0;
      for (int i = r - 1; i <= r + 1; ++i) {
        for (int j = c - 1; j <= c + 1; ++j) {
          if (i >= 0 && i < n && j >= 0 && j < n) {
            neighbourhood += hologram[i][j];
          }
        }
      }
      filtered[r][c] = hologram[r][c] - neighbourhood / 9.0;
      sum += filtered[r][c];
    }
  }
  return sum;
}

void referenceWave(int n, Complex* const* field, double angle,
                   double wavelength, double amplitude, double pitch) {
  const double k = 2.0 * kPi / wavelength;
  const double q = k * std::sin(angle);
  double y = -0.5 * (n - 1) * pitch;
  for (int r = 0; r < n; ++r) {
    const double p = -(q * y);
    for (int c = 0; c < n; ++c) {
      field[r][c].re = amplitude * std::cos(p);
      field[r][c].im = amplitude * std::sin(p);
    }
    y += pitch;
  }
}

void writeSample(double re, double im, double* intensity, double* phase,
                 bool wrapped) {
  if (intensity != nullptr) *intensity = im * im + re * re;
  *phase = wrapped ? std::atan2(im, re) : im / re;
}

}  // namespace

void fft2d(Complex* const* field, int n, bool forward) {
  alglib::complex_1d_array line;
  line.setlength(n);
  for (int c = 0; c < n; ++c) {
    for (int k = 0; k < n; ++k)
      line[k] = alglib::complex(field[k][c].re, field[k][c].im);
    transformLine(line, forward);
    for (int k = 0; k < n; ++k) field[k][c] = {line[k].x, line[k].y};
  }
  for (int r = 0; r < n; ++r) {
    for (int k = 0; k < n; ++k)
      line[k] = alglib::complex(field[r][k].re, field[r][k].im);
    transformLine(line, forward);
    for (int k = 0; k < n; ++k) field[r][k] = {line[k].x, line[k].y};
  }
}

void fftShift2d(Complex* const* field, int n, int rowShift, int columnShift) {
  std::vector<Complex> line(static_cast<std::size_t>(n));
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c)
      line[static_cast<std::size_t>((columnShift + c) % n)] = field[r][c];
    for (int c = 0; c < n; ++c) field[r][c] = line[static_cast<std::size_t>(c)];
  }
  for (int c = 0; c < n; ++c) {
    for (int r = 0; r < n; ++r)
      line[static_cast<std::size_t>((rowShift + r) % n)] = field[r][c];
    for (int r = 0; r < n; ++r) field[r][c] = line[static_cast<std::size_t>(r)];
  }
}

void fresnel(const double* const* hologram, int n, double* const* intensity,
             double* const* phase, double wavelength, double angle,
             double zDistance, double pitch, bool wrapped) {
  ComplexField work(n);
  RealField filtered(n);
  const double sum = filterAndSum(hologram, n, filtered.rows());
  const double amplitude =
      std::sqrt(sum / static_cast<double>(static_cast<long long>(n) * n));
  referenceWave(n, work.rows(), angle, wavelength, amplitude, pitch);

  const double x0 = -0.5 * (n - 1) * pitch;
  const double s = -kPi / (wavelength * zDistance);
  for (int r = 0; r < n; ++r) {
    const double y = r * pitch + x0;
    for (int c = 0; c < n; ++c) {
      const double x = c * pitch + x0;
      const double phi = (x * x + y * y) * s;
      const double re = work[r][c].re;
      const double im = work[r][c].im;
      work[r][c].re =
          (re * std::cos(phi) - im * std::sin(phi)) * filtered[r][c];
      work[r][c].im =
          (re * std::sin(phi) + im * std::cos(phi)) * filtered[r][c];
    }
  }

  fft2d(work.rows(), n, false);
  fftShift2d(work.rows(), n, n / 2, n / 2);

  const double length = (n - 1) * pitch + pitch;
  const double m = -kPi * wavelength * zDistance;
  const double t0 = -(2.0 * kPi / wavelength) * zDistance;
  const double s0 = std::sin(t0);
  const double c0 = std::cos(t0);
  const double g = 1.0 / (wavelength * zDistance);
  const int k0 = -((n - 1) / 2);
  for (int r = 0; r < n; ++r) {
    const double ky = r + k0;
    for (int c = 0; c < n; ++c) {
      const double kx = c + k0;
      const double psi =
          ((kx / length) * (kx / length) + (ky / length) * (ky / length)) * m;
      const double fRe = (s0 * std::cos(psi) - c0 * std::sin(psi)) * g;
      const double fIm = (c0 * std::cos(psi) + s0 * std::sin(psi)) * g;
      const Complex a = work[r][c];
      writeSample(a.re * fRe - a.im * fIm, a.im * fRe + a.re * fIm,
                  intensity ? &intensity[r][c] : nullptr, &phase[r][c],
                  wrapped);
    }
  }
}

void convolution(const double* const* hologram, int n, double* const* intensity,
                 double* const* phase, double wavelength, double angle,
                 double zDistance, double pitch, bool wrapped) {
  ComplexField work(n);
  ComplexField kernel(n);
  RealField filtered(n);
  const double sum = filterAndSum(hologram, n, filtered.rows());
  const double amplitude =
      std::sqrt(sum / static_cast<double>(static_cast<long long>(n) * n));
  referenceWave(n, work.rows(), angle, wavelength, amplitude, pitch);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      work[r][c].re *= filtered[r][c];
      work[r][c].im *= filtered[r][c];
    }
  }
  fft2d(work.rows(), n, true);

  const double x0 = -0.5 * (n - 1) * pitch;
  const double k = 2.0 * kPi / wavelength;
  for (int r = 0; r < n; ++r) {
    const double y = r * pitch + x0;
    for (int c = 0; c < n; ++c) {
      const double x = c * pitch + x0;
      const double rho = std::sqrt(x * x + y * y + zDistance * zDistance);
      kernel[r][c].re = std::sin(k * rho) / (wavelength * rho);
      kernel[r][c].im = std::cos(k * rho) / (wavelength * rho);
    }
  }
  fft2d(kernel.rows(), n, true);

  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const Complex a = work[r][c];
      const Complex g = kernel[r][c];
      work[r][c] = {a.re * g.re - a.im * g.im, a.re * g.im + a.im * g.re};
    }
  }
  fft2d(work.rows(), n, false);
  fftShift2d(work.rows(), n, n / 2, n / 2);

  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      writeSample(work[r][c].re, work[r][c].im,
                  intensity ? &intensity[r][c] : nullptr, &phase[r][c],
                  wrapped);
    }
  }
}

}  // namespace literal
