#pragma once

#include <optional>
#include <string>

// The optional elements of an experiment file. Each adds outputs and
// changes nothing else; a file without them runs as it always did. Their
// booleans are strict (true, false, 1, 0, yes, no in any case); an unknown
// attribute is ignored, as everywhere in the file.

/// <Data>: measurement data beside the pictures, as 32-bit float TIFFs.
struct DataOptions {
  bool amplitude = false;
  bool phase = false;
  bool intensity = false;
  bool unwrap = false;  ///< the unwrapped phase (or phase difference)
  /// The optical path difference, phase times wavelength / (2 pi).
  bool opticalPath = false;
  /// |U| / |U_B|, with <Background mode="Field">.
  bool relativeAmplitude = false;
  /// One multi-page TIFF per quantity for the whole run instead of one
  /// TIFF per set.
  bool stack = false;

  bool any() const {
    return amplitude || phase || intensity || unwrap || opticalPath ||
           relativeAmplitude;
  }
};

/// How the zero order is suppressed before reconstruction (<Hologram dc>).
enum class ZeroOrderMode {
  LocalMean,  ///< each sample minus its 3 x 3 local mean: a high-pass
  Mean,       ///< the window's mean subtracted: keeps low frequencies
  None,       ///< the samples as recorded
};

/// How an empty frame corrects the hologram (<Background mode>).
enum class BackgroundMode {
  Divide,    ///< in-line flat field: (H - D) / (B - D), scale kept
  Subtract,  ///< H - B
  Field,     ///< phases relative to the empty frame's reconstructed field
};

/// <Background>: a recording of the same setup without the object, and
/// optionally a dark frame (light off).
struct BackgroundOptions {
  bool enabled = false;
  std::string path;
  std::string darkPath;  ///< empty: none
  BackgroundMode mode = BackgroundMode::Divide;
};

/// <Filter type="Sideband">: only the disk around the +1 (or -1) order of
/// the hologram's spectrum is kept, with a raised-cosine edge.
struct FilterOptions {
  bool enabled = false;
  int order = 1;                 ///< +1 or -1
  std::optional<double> fx, fy;  ///< centre in frequency samples
  double radius = 0.0;           ///< 0: a third of the centre's distance
  double edge = 4.0;             ///< width of the raised cosine
  bool center = false;           ///< move the disk to the zero frequency
  /// Reconstruct on the small grid that holds the disk (implies center).
  bool crop = false;
};

/// The figures of sharpness computed for every set.
enum class FocusMetric {
  NormalizedVariance,
  TenenbaumGradient,
  TamuraGradient,
  IntegratedAmplitude,     ///< smallest is sharpest: amplitude objects
  IntegratedAmplitudeMax,  ///< largest is sharpest: phase objects
};

/// A rectangle in output pixels as the PNG shows them, origin top left.
struct PictureRegion {
  int x = 0, y = 0, width = 0, height = 0;
};

/// <Focus>: the focus figures of every set, the sharpest set named, and
/// optionally z refined around it.
struct FocusOptions {
  bool enabled = false;
  FocusMetric metric = FocusMetric::NormalizedVariance;
  std::optional<PictureRegion> region;  ///< the whole picture when absent
  bool refine = false;
};

/// <Compensation>: the tilt (and curvature) left in the unwrapped phase,
/// fitted robustly by least squares over a region and removed.
struct CompensationOptions {
  bool enabled = false;
  bool tilt = true;
  bool curvature = false;  ///< adds the quadratic terms to the tilt's
  std::optional<PictureRegion> region;  ///< the whole picture when absent
};

/// Why region does not lie within an n x n picture, empty when it does;
/// element names it ("Focus").
std::string regionOutside(const PictureRegion& region, int n,
                          const char* element);

/// Why the <Focus> region does not lie within an n x n picture.
inline std::string focusRegionOutside(const PictureRegion& region, int n) {
  return regionOutside(region, n, "Focus");
}
