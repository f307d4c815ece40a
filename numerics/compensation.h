#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "field.h"

// Phase compensation: what the set-up, not the object, adds to a
// reconstructed phase is taken away. An off-axis reconstruction's phase
// carries what is left of the carrier (a tilt), the curvature of a
// microscope objective or of a diverging reference, and the aberrations of
// the optics. A recording of the same field without the object (the empty
// frame) carries them too: the phase relative to its field cancels what
// both share (relativeField). A carrier that changed between the two
// exposures, or a set-up recorded without an empty frame, leaves a tilt and
// a curvature, which a surface fitted to the object's background removes
// (compensatePhase).

namespace numerics {

/// The phase of the field relative to the empty frame's field,
/// arg(U conj(U_B)) in (-pi, pi], and the relative amplitude |U| / |U_B|,
/// sample by sample (n x n each; phase or amplitude may be null, then it is
/// not written; either may be the rows of nothing else only).
///
/// Where |U_B| is below 1e-6 of its mean over the field the empty frame
/// holds no light to refer to (the edge of a beam, a dust grain's shadow):
/// both outputs are NaN there, so that unwrapping and compensation pass
/// them by.
void relativeField(const Complex* const* field, const Complex* const* empty,
                   int n, double* const* phase, double* const* amplitude);

/// A rectangle of picture pixels: width columns from column x, counted from
/// the picture's left edge, and height rows from row y, counted from its top
/// line down (as the PNG pictures show the field).
struct PictureRectangle {
  int x = 0, y = 0, width = 0, height = 0;
};

/// The background surface a + b x + c y + d x^2 + e x y + f y^2 in picture
/// pixels about the picture's centre: x = column - (n - 1) / 2 to the
/// right, y = row - (n - 1) / 2 downwards (rows counted from the top line).
/// a in radians, b and c in radians per pixel, d, e and f in radians per
/// square pixel.
struct PhaseSurface {
  double a = 0.0, b = 0.0, c = 0.0, d = 0.0, e = 0.0, f = 0.0;
};

/// What surface to fit, and where.
struct CompensationRequest {
  /// a + b x + c y: a tilted plane.
  bool tilt = true;
  /// The quadratic terms too (and with them the plane's): a tilted
  /// paraboloid, the curvature of an objective or of a spherical wave.
  bool curvature = false;
  /// Where the background is fitted; the whole picture when absent. A
  /// region of background alone keeps the object out of the fit.
  std::optional<PictureRectangle> region;
};

/// The fitted surface, how much of the region it rests on, or why none
/// could be fitted.
struct Compensation {
  PhaseSurface surface;
  /// The share of the region's finite samples that the last fit used: the
  /// rest lay too far from the surface (the object, unwrapping errors).
  /// Below one half the object probably dominates the region.
  double keptShare = 0.0;
  int rounds = 0;       ///< fits made, 1 to 5
  std::string problem;  ///< one sentence for the user; empty on success
};

/// Why region cannot hold a fit in an n x n picture; empty when it lies
/// wholly inside the picture and is not empty.
std::string compensationRegionProblem(const PictureRectangle& region, int n);

/// Bytes compensatePhase keeps per thread (from one call to the next) for
/// a region of n x n samples.
std::size_t compensationScratchBytes(int n);

/// Fits the request's surface to the n x n unwrapped phase over its region
/// and writes the phase minus that surface, its constant included, over the
/// whole picture into compensated (which may be the rows of phase), so that
/// the background lies at 0 rad. Field row 0 is the picture's bottom line,
/// as everywhere in the numerics. NaN and infinite samples never count and
/// stay as they are.
///
/// Least squares, robust against the object: after each fit, the samples
/// further than 2.5 sigma from the surface are left out of the next, sigma
/// 1.4826 times the median absolute residual of the samples the fit used
/// (the standard deviation of Gaussian noise; the lower median for an even
/// count), and never below 1e-9 rad, so that an exact surface keeps its
/// samples. Distances and residuals are taken from the surface moved by the
/// median of those samples' residuals: the least-squares surface is pulled
/// towards the object, and an object of a fifth of the region otherwise
/// puts the whole background to one side of it and stays within the
/// bound. Samples left out come back when a later surface passes near
/// them. The rounds stop when the samples used no longer change, or after
/// the fifth fit. An object covering a third of the region or more, or one
/// the surface can follow (a dome under a curvature fit), can still hold
/// the surface: give a region of background then.
///
/// Each fit is a QR factorisation: per picture row, whose samples share y,
/// modified Gram-Schmidt on the columns 1, x, x^2 and the phase (stable for
/// least squares with the phase as the last column, Bjoerck 1967), whose
/// triangular factor then enters the whole surface's 6 x 6 factor by Givens
/// rotations; coordinates are scaled to [-1, 1]. No normal equations,
/// which square the problem's condition number.
///
/// Refused, with nothing written: neither tilt nor curvature (a constant
/// alone is not a compensation); a region outside the picture; too few
/// finite samples, or samples on too few rows or columns, to fix the
/// surface.
Compensation compensatePhase(const double* const* phase, int n,
                             const CompensationRequest& request,
                             double* const* compensated);

}  // namespace numerics
