#pragma once

#include <vector>

#include "field.h"

// Hologram preparation: what every reconstruction does to the recorded
// samples before it propagates them, once per hologram.

namespace numerics {

/// A hologram as every reconstruction starts from it: each sample minus its
/// 3 x 3 local mean (subtractLocalMean), and the sum of those samples, from
/// which the reference wave's amplitude comes. A sideband filter
/// (sideband.h) makes the samples complex; exactly one of real and complex
/// holds them. Read only once made, so several threads may share one.
struct PreparedHologram {
  RealField real;
  ComplexField complex;
  double sum = 0.0;

  /// Edge length n.
  int size() const { return complex ? complex.size() : real.size(); }
};

/// The hologram minus its local mean, and the sum (n x n samples).
PreparedHologram prepareHologram(const double* const* hologram, int n);

/// High-pass filter: each sample minus the sum of its in-field 3 x 3
/// neighbourhood over 9. Returns the sum of the filtered samples.
double subtractLocalMean(const double* const* hologram, int n,
                         double* const* filtered);

/// Reference-wave amplitude sqrt(sum / n^2) from subtractLocalMean's sum.
///
/// The reference wave's intensity is estimated as the mean of the prepared
/// hologram. Inside the field the local-mean subtraction leaves a mean of
/// about 0; only the border, where the missing neighbours count as zeros,
/// keeps a part of its light (a third on the edges), so the sum is about
/// 4 n mean(H) / 3 and the amplitude about sqrt(4 mean(H) / (3 n)). It
/// scales every output of a hologram by one common factor, the scale that
/// the pictures and stored measurements of earlier runs have.
double referenceAmplitude(double sum, int n);

/// The value of each row of that reference wave, rows 0 to n - 1 (the wave is
/// constant along a row).
std::vector<Complex> referenceWaveRows(int n, double angle, double wavelength,
                                       double amplitude, double pitch);

}  // namespace numerics
