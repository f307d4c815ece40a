#pragma once

#include <string>
#include <vector>

#include "field.h"

// Hologram preparation: what every reconstruction does to the recorded
// samples before it propagates them, once per hologram.

namespace numerics {

/// How the zero order (the undiffracted light, the hologram's mean and its
/// slow variations) is taken away before reconstruction.
enum class ZeroOrder {
  /// Each sample minus its 3 x 3 local mean (subtractLocalMean): a
  /// high-pass filter. It also removes the low spatial frequencies of the
  /// object, which an in-line hologram of cells needs.
  localMean,
  /// The mean of the samples on the picture subtracted: the zero frequency
  /// alone.
  mean,
  /// The samples as they are.
  none,
};

/// The rectangle of field samples that lie on the picture: rows rows from
/// field row `row` upwards (field row 0 is the picture's bottom line) and
/// columns columns from `column`. A window larger than the picture holds
/// zeros around it, which are no measurement.
struct Extent {
  int row = 0, column = 0, rows = 0, columns = 0;

  /// The whole n x n field: a picture that covers the window.
  static Extent whole(int n) { return {0, 0, n, n}; }
};

/// A hologram as every reconstruction starts from it: the samples with the
/// zero order taken away, and the amplitude of the reference wave they are
/// multiplied by. A sideband filter (sideband.h) makes the samples complex;
/// exactly one of real and complex holds them. Read only once made, so
/// several threads may share one.
struct PreparedHologram {
  RealField real;
  ComplexField complex;
  /// Scales every output of the hologram (see prepareHologram).
  double referenceAmplitude = 0.0;

  /// Edge length n.
  int size() const { return complex ? complex.size() : real.size(); }
};

/// The n x n hologram prepared as the run does it by default: minus its
/// local mean over the whole field, not corrected by a background.
PreparedHologram prepareHologram(const double* const* hologram, int n);

/// The n x n hologram with its zero order taken away as zeroOrder says.
/// onPicture: the samples that lie on the picture; corrected: whether a
/// background correction (correctBackground) was applied before.
///
/// The reference amplitude: with localMean and no correction,
/// referenceAmplitude(sum, n) of the filtered samples, the scale of every
/// earlier run. Otherwise the square root of the mean, over onPicture, of
/// the hologram before its zero order is taken away: the light a recording
/// holds on average, which for an off-axis hologram is mostly the reference
/// wave's; 1 where that mean is not positive (a hologram less its empty
/// frame has a mean about 0). With mean the filtered samples sum to 0, so
/// the former rule would give no scale at all.
///
/// With mean, samples outside onPicture stay 0; with none they are taken as
/// they are (a window's padding is 0 already).
PreparedHologram prepareHologram(const double* const* hologram, int n,
                                 ZeroOrder zeroOrder, const Extent& onPicture,
                                 bool corrected);

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

/// How a recording of the set-up without the object (the empty frame B)
/// corrects the hologram H before preparation.
enum class BackgroundMode {
  /// A flat field for in-line holograms: H' = (H - D) / (B - D) times the
  /// mean of B - D, D the dark frame (0 without one). It divides out the
  /// uneven illumination and the dust and fringes of the optics, and keeps
  /// the grey levels' scale.
  divide,
  /// H' = H - B: the light that does not change with the object goes. A
  /// dark frame would cancel in the difference, so it is not used.
  subtract,
};

/// What a background correction did, or why it could not.
struct BackgroundCorrection {
  /// Samples whose B - D was too dark to divide by (see correctBackground).
  long long neutralised = 0;
  std::string problem;  ///< one sentence for the user; empty on success
};

/// Corrects the n x n hologram in place by the empty frame background (and
/// the dark frame dark, null for none) over onPicture; samples outside it
/// stay as they are (0 in a window's padding).
///
/// divide: with g = B - D and m its mean over onPicture, samples where g is
/// below max(1 grey level, m / 100) would blow up noise; they are
/// neutralised, g taken there as the mean of g over the other samples, so
/// that H' = (H - D) m / mean_other there. Refused, with nothing written,
/// when m is not positive or no sample is bright enough: the empty frame
/// holds no light.
BackgroundCorrection correctBackground(double* const* hologram,
                                       const double* const* background,
                                       const double* const* dark, int n,
                                       const Extent& onPicture,
                                       BackgroundMode mode);

}  // namespace numerics
