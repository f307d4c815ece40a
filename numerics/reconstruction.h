#pragma once

#include <cstddef>

#include "field.h"
#include "prepare.h"

namespace numerics {

// Reconstruction of recorded wave fields from hologram samples.
//
// Fields are passed as row tables of edge length n. Lengths (wavelength, z
// distance, pixel pitch) are in one common unit; the angle is in radians.
// Non-finite data reaching a transform raises NonFiniteData (failure.h);
// nothing here catches it, and no output sample has been written at that
// point. Every function may run on several threads at once for different
// fields.
//
// A run uses them in this order:
//   PreparedHologram h = prepareHologram(samples, n);      // once per run
//   (optionally filterSideband(h, ...) from sideband.h,    // once per run)
//   reconstruct(method, h, optics, outputs);               // once per set
// Sets that differ in z only share the hologram's spectrum, so Convolution
// and the angular spectrum may transform it once for all of them:
//   HologramSpectrum s = transformHologram(h, optics);     // per wavelength,
//                                                          // angle and pitch
//   reconstructFromSpectrum(method, s, optics, outputs);   // once per set
// which gives, to the last bit, what reconstruct gives.

/// What a reconstruction writes into its phase field.
enum class PhaseOutput {
  /// U_im / U_re, the quotient as computed (infinite or NaN where U_re is 0).
  tangent,
  /// atan2(U_im, U_re) in [-pi, pi], which keeps the quadrant.
  wrapped,
};

/// The ways to reconstruct. Fresnel and Convolution are the classic pair;
/// the angular spectrum propagates every plane wave of the hologram exactly
/// and so also holds at distances below samplingDistance, where the
/// Convolution method's impulse response is undersampled.
enum class Method { fresnel, convolution, angularSpectrum };

/// The optical values of one parameter set.
struct Optics {
  double wavelength = 0.0;
  double angle = 0.0;  ///< of the reference wave, radians
  double zDistance = 0.0;
  double pitch = 0.0;  ///< the camera's pixel pitch
};

/// What a reconstruction writes; null members are not written. Every
/// sample of a table given is overwritten.
struct ReconstructionOutputs {
  /// |U|^2, the same values the hologram-taking functions write.
  double* const* intensity = nullptr;
  /// The phase as those functions compute it (see PhaseOutput). For the
  /// Fresnel method it lacks the factors of `field` below, which cancel in
  /// intensities and in the interference phase of two holograms but leave
  /// a checkerboard of about pi per sample in a phase picture.
  double* const* phase = nullptr;
  PhaseOutput phaseKind = PhaseOutput::wrapped;
  /// U itself on the physical grid: a flat-phase object comes out with a
  /// flat phase whatever the method, so amplitude |U| and phase
  /// atan2(U_im, U_re) can be written from it. |U|^2 equals the intensity
  /// to rounding (the intensity keeps its exact former bits).
  Complex* const* field = nullptr;
};

/// Reconstructs the prepared hologram at optics.zDistance.
///
/// Output grids: Convolution and the angular spectrum at the camera pitch,
/// sample for sample alike (both show the field half a sample beyond each
/// sample's centre for even n, one sample for odd n, and both carry the
/// factor 1 / pitch^2 of a convolution sum taken without the area of a
/// sample), so switching between them neither moves nor rescales a
/// picture. Fresnel at the pitch wavelength * |z| / (n * pitch), its zero
/// on sample n / 2.
///
/// The angular spectrum multiplies the hologram's spectrum by
/// exp(-i 2 pi z sqrt(1 / wavelength^2 - fx^2 - fy^2)), fx = kx / (n pitch)
/// for the signed frequency index kx, on the same circular n x n grid as
/// the Convolution method (two transforms where that needs three). It drops
/// the evanescent waves and, to keep distances beyond samplingDistance from
/// aliasing, every frequency with |fx| or |fy| at or above
/// 1 / (wavelength sqrt((2 z / (n pitch))^2 + 1)).
void reconstruct(Method method, const PreparedHologram& hologram,
                 const Optics& optics, const ReconstructionOutputs& outputs);

/// What an interferometric reconstruction writes: both intensities and the
/// interference phase (required), both fields on the physical grid
/// (optional, see ReconstructionOutputs::field).
struct DhiOutputs {
  double* const* intensity1 = nullptr;
  double* const* intensity2 = nullptr;
  double* const* phaseDifference = nullptr;
  Complex* const* field1 = nullptr;
  Complex* const* field2 = nullptr;
};

/// Reconstructs two prepared holograms of one edge with one method and
/// writes the interference phase phi1 - phi2 in [0, 2 pi) (see
/// interferencePhase): for Fresnel and Convolution the values the
/// hologram-taking reconstructDhi writes.
void reconstructDhi(Method method, const PreparedHologram& hologram1,
                    const PreparedHologram& hologram2, const Optics& optics,
                    const DhiOutputs& outputs);

/// The spectrum of a prepared hologram: the forward transform of the
/// reference wave times the prepared samples, from which Convolution and the
/// angular spectrum reconstruct at any z. It depends on the wavelength, the
/// angle and the pitch (through the reference wave), not on z. Read only
/// once made, so several threads may reconstruct from one at once.
struct HologramSpectrum {
  /// n x n, unscaled, the zero frequency at [0][0].
  ComplexField spectrum;
  /// The optics it was made with; only their z does not matter.
  Optics optics;

  /// Edge length n.
  int size() const { return spectrum.size(); }
  /// True when a set with these optics may be reconstructed from it: the
  /// same wavelength, angle and pitch.
  bool fits(const Optics& set) const;
};

/// The spectrum of the prepared hologram for the optics (their z unused).
/// Raises NonFiniteData as reconstruct does, std::bad_alloc when its
/// hologramSpectrumBytes(n) cannot be had.
HologramSpectrum transformHologram(const PreparedHologram& hologram,
                                   const Optics& optics);

/// reconstruct(method, hologram, optics, outputs) for the hologram whose
/// spectrum is given, to the last bit, without its forward transform: the
/// angular spectrum takes one inverse transform, Convolution that and the
/// impulse response's. Only those two methods; optics must fit the
/// spectrum (HologramSpectrum::fits). Anything else raises
/// std::invalid_argument before any output is written.
void reconstructFromSpectrum(Method method, const HologramSpectrum& spectrum,
                             const Optics& optics,
                             const ReconstructionOutputs& outputs);

/// reconstructDhi of the two holograms whose spectra are given, to the last
/// bit, under the conditions of reconstructFromSpectrum; the spectra must
/// have one size.
void reconstructDhiFromSpectra(Method method, const HologramSpectrum& spectrum1,
                               const HologramSpectrum& spectrum2,
                               const Optics& optics, const DhiOutputs& outputs);

/// Bytes a HologramSpectrum of edge n takes.
std::size_t hologramSpectrumBytes(int n);

/// n pitch^2 / wavelength: the distance from which the Convolution method
/// samples its impulse response without aliasing (the chirp's local
/// frequency x / (wavelength z) at the sensor's edge x = n pitch / 2 stays
/// below the sampling limit 1 / (2 pitch)); the Fresnel method's
/// hologram-plane factor has the same chirp. Closer in, use the angular
/// spectrum; beyond it, the angular spectrum's band limit keeps the
/// frequencies whose light stays on the grid, as the Convolution method's
/// window does.
double samplingDistance(int n, double pitch, double wavelength);

/// How many frequencies of the n x n grid the angular spectrum keeps at
/// optics.zDistance: those that propagate and lie inside its band limit
/// (see reconstruct). Far beyond samplingDistance the band limit leaves
/// little but the zero frequency, and the picture little but one grey.
std::size_t angularSpectrumKeptFrequencies(int n, const Optics& optics);

/// The highest |kx| (= |ky|) the angular spectrum keeps at
/// optics.zDistance, in frequency samples (1 / (n pitch) each); -1 when it
/// keeps none. Details finer than n pitch / (2 k) are lost.
int angularSpectrumHighestFrequency(int n, const Optics& optics);

/// Bytes a PreparedHologram of edge n takes: real, or complex when it
/// comes from a sideband filter.
std::size_t preparedHologramBytes(int n, bool filtered);

/// Bytes the reconstructions of prepared holograms on one thread hold for
/// themselves at edge n (kept from one call to the next while the edge
/// stays the same), saturating instead of overflowing.
std::size_t reconstructionScratchBytes(int n, Method method, bool dhi);

/// The same for reconstructions from spectra (reconstructFromSpectrum,
/// reconstructDhiFromSpectra), the spectra not counted: a single
/// Convolution set needs no field of its own for the impulse response.
std::size_t spectrumReconstructionScratchBytes(int n, Method method, bool dhi);

/// Interference phase of two wrapped phases: phase1 - phase2 reduced to
/// [0, 2 pi). Example: pi / 4 and -pi / 4 give pi / 2; -pi / 4 and pi / 4
/// give 3 pi / 2.
double interferencePhase(double phase1, double phase2);

}  // namespace numerics
