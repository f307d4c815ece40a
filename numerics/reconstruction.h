#pragma once

#include <cstddef>

#include "field.h"

// Reconstruction of recorded wave fields from hologram samples.
//
// Fields are passed as row tables of edge length n. Lengths (wavelength, z
// distance, pixel pitch) are in one common unit; the angle is in radians.
// Non-finite data reaching a transform raises NonFiniteData (failure.h);
// nothing here catches it, and no output sample has been written at that
// point. Every function may run on several threads at once for different
// fields.

/// Reconstructs by the discrete Fresnel transform. intensity may be null.
void reconstructFresnel(const double* const* hologram, int n,
                        double* const* intensity, double* const* phaseTangent,
                        double wavelength, double angle, double zDistance,
                        double ccdPixelDistance);

/// Reconstructs by convolution with the free-space impulse response.
/// intensity may be null.
void reconstructConvolution(const double* const* hologram, int n,
                            double* const* intensity,
                            double* const* phaseTangent, double wavelength,
                            double angle, double zDistance,
                            double ccdPixelDistance);

/// What a reconstruction writes into its phase field.
enum class PhaseOutput {
  /// U_im / U_re, the quotient as computed (infinite or NaN where U_re is 0).
  tangent,
  /// atan2(U_im, U_re) in [-pi, pi], which keeps the quadrant.
  wrapped,
};

/// reconstructFresnel with a choice of phase output.
void reconstructFresnel(const double* const* hologram, int n,
                        double* const* intensity, double* const* phase,
                        PhaseOutput kind, double wavelength, double angle,
                        double zDistance, double ccdPixelDistance);

/// reconstructConvolution with a choice of phase output.
void reconstructConvolution(const double* const* hologram, int n,
                            double* const* intensity, double* const* phase,
                            PhaseOutput kind, double wavelength, double angle,
                            double zDistance, double ccdPixelDistance);

/// Interference phase of two wrapped phases: phase1 - phase2 reduced to
/// [0, 2 pi). Example: pi / 4 and -pi / 4 give pi / 2; -pi / 4 and pi / 4
/// give 3 pi / 2.
double interferencePhase(double phase1, double phase2);

/// Reconstructs two holograms with one method and writes both intensities
/// and the interference phase phi1 - phi2 in [0, 2 pi), formed from the
/// wrapped phases of the two reconstructed fields.
void reconstructDhi(bool convolution, const double* const* hologram1,
                    const double* const* hologram2, int n,
                    double* const* intensity1, double* const* intensity2,
                    double* const* phaseDifference, double wavelength,
                    double angle, double zDistance, double ccdPixelDistance);

/// Bytes the reconstructions on one thread hold for themselves at edge n
/// (their complex and real working fields, kept from one call to the next
/// while the edge stays the same), saturating instead of overflowing.
std::size_t reconstructionScratchBytes(int n, bool convolution, bool dhi);
