#pragma once

#include "numerics/field.h"

// Slow, direct transcriptions of the reconstruction formulas: one loop per
// step, one trig call per sample, the operations in the order the formulas
// give them. The tests compare the fast code with these; the benchmark times
// them as the baseline.
namespace literal {

/// 2-D transform through alglib::fftc1d / fftc1dinv, one call per column,
/// then one per row.
void fft2d(Complex* const* field, int n, bool forward);

/// Circular shift through one temporary line, rows then columns.
void fftShift2d(Complex* const* field, int n, int rowShift, int columnShift);

/// Fresnel reconstruction; intensity may be null. With wrapped set, the
/// phase output is atan2(U_im, U_re) instead of U_im / U_re.
void fresnel(const double* const* hologram, int n, double* const* intensity,
             double* const* phase, double wavelength, double angle,
             double zDistance, double pitch, bool wrapped = false);

/// Convolution reconstruction; arguments as for fresnel.
void convolution(const double* const* hologram, int n, double* const* intensity,
                 double* const* phase, double wavelength, double angle,
                 double zDistance, double pitch, bool wrapped = false);

}  // namespace literal
