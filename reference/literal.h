#pragma once

#include <vector>

#include "field.h"

// Slow, plain transcriptions of the reconstruction formulas (direct loops,
// trig calls per sample) that the tests compare with and the benchmark times.
namespace literal {

template <typename F>
void each(int n, F f) {  // f(r, c) for every sample of an n x n field
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) f(r, c);
}

/// One alglib::fftc1d / fftc1dinv call per column, then one per row.
void fft2d(numerics::Complex* const* field, int n, bool forward);

/// U_im / U_re into tangent; |U|^2 and atan2(U_im, U_re) unless null.
void fresnel(const double* const* hologram, int n, double* const* intensity,
             double* const* tangent, double wavelength, double angle, double z,
             double pitch, double* const* wrapped = nullptr);
void convolution(const double* const* hologram, int n, double* const* intensity,
                 double* const* tangent, double wavelength, double angle,
                 double z, double pitch, double* const* wrapped = nullptr);

/// The angular spectrum: the spectrum times exp(-i 2 pi z sqrt(1 / lambda^2
/// - fx^2 - fy^2)) where the root is real and |fx|, |fy| < 1 / (lambda
/// sqrt((2 z / (n pitch))^2 + 1)), else 0; times exp(2 pi i (kx + ky) s / n)
/// (s = 1/2 for even n, 1 for odd) and 1 / pitch^2; transformed back.
void angularSpectrum(const double* const* hologram, int n,
                     double* const* intensity, double* const* tangent,
                     double wavelength, double angle, double z, double pitch,
                     double* const* wrapped = nullptr);

/// numerics::unwrapPhase as unwrap.h documents it, written plainly: the
/// unwrapped phase, row by row (n * n values, NaN where no phase is).
std::vector<double> unwrapPhase(const double* const* wrapped, int n);

}  // namespace literal
