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

  bool any() const { return amplitude || phase || intensity || unwrap; }
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

/// Why region does not lie within an n x n picture, empty when it does.
std::string focusRegionOutside(const PictureRegion& region, int n);
