#pragma once

#include <functional>
#include <string>

namespace numerics {

// Focus figures of a reconstruction, and a search for the distance where one
// of them peaks.
//
// The figures are computed from the amplitude A = |U| of the reconstructed
// field. They take the intensity I = |U|^2 that the reconstructions write
// and form A = sqrt(I) on the fly, so that no amplitude field is needed.

/// A rectangle of samples in field coordinates: rows rows from field row
/// `row` upwards (field row 0 is the picture's bottom line) and columns
/// columns from column `column`.
struct FocusRegion {
  int row = 0;
  int column = 0;
  int rows = 0;
  int columns = 0;
};

/// Why region cannot be measured in an n x n field, as one sentence for the
/// user; empty when it lies wholly inside the field and is not empty.
std::string focusRegionProblem(const FocusRegion& region, int n);

/// The four focus figures over a region R of |R| samples.
///
/// Gx and Gy are the 3 x 3 Sobel responses at each sample of R:
///   Gx = (A[r-1][c+1] + 2 A[r][c+1] + A[r+1][c+1])
///      - (A[r-1][c-1] + 2 A[r][c-1] + A[r+1][c-1]),
///   Gy = (A[r+1][c-1] + 2 A[r+1][c] + A[r+1][c+1])
///      - (A[r-1][c-1] + 2 A[r-1][c] + A[r-1][c+1]).
/// Neighbours outside R but inside the field are used as they are, so a
/// region's figures do not depend on where it is cut; at the field's edge
/// the nearest sample of the field stands in (row -1 reads row 0), so a
/// flat field has no gradient at its edge. G = sqrt(Gx^2 + Gy^2).
///
/// The variance and the gradient are those of the amplitude scaled to a
/// mean of 1 over R: every reconstruction carries a factor that depends on
/// z (1 / (wavelength z) in the Fresnel picture), which would otherwise
/// pull them towards short distances whatever the focus.
struct FocusFigures {
  /// (1 / (|R| mu^2)) * sum over R of (A - mu)^2, mu the mean of A over R.
  /// Largest at focus. NaN when mu is 0 (a dark region).
  double normalizedVariance = 0.0;
  /// (1 / (|R| mu^2)) * sum over R of (Gx^2 + Gy^2). Largest at focus.
  double tenenbaumGradient = 0.0;
  /// sqrt(sigma_G / mu_G), the Tamura coefficient of G over R: sigma_G the
  /// standard deviation (divided by |R|), mu_G the mean. Largest at focus.
  /// NaN when mu_G is 0 (no gradient anywhere in R).
  double tamuraGradient = 0.0;
  /// (1 / |R|) * sum over R of A. Smallest at focus for an amplitude object,
  /// largest for a phase object.
  double integratedAmplitude = 0.0;
};

/// The four figures of the n x n intensity I over region, in one pass over
/// its rows; A = sqrt(I). The region must pass focusRegionProblem.
/// Non-finite or negative intensities make the figures NaN or infinite.
FocusFigures focusFigures(const double* const* intensity, int n,
                          const FocusRegion& region);

/// Whether a search looks for the largest or the smallest value.
enum class Extreme { maximum, minimum };

/// Where a search ended: the best abscissa evaluated, its value, and how
/// many times the function was called.
struct SearchResult {
  double x = 0.0;
  double value = 0.0;
  int evaluations = 0;
};

/// Golden-section search for the extreme of f over [a, b] (either order),
/// for f unimodal there. The bracket shrinks by 0.618 per evaluation until
/// it is no wider than tolerance (or stops shrinking in floating point); the
/// answer is the best of the two points inside it, so within tolerance of
/// the true extreme. Each step re-uses one of the previous evaluations:
/// about 2 + log(|b - a| / tolerance) / log(1.618) calls in all.
SearchResult goldenSectionSearch(const std::function<double(double)>& f,
                                 double a, double b, double tolerance,
                                 Extreme extreme);

}  // namespace numerics
