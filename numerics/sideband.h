#pragma once

#include <optional>
#include <string>

#include "reconstruction.h"

namespace numerics {

// The sideband filter of off-axis holograms.
//
// An off-axis hologram |O + R|^2 holds, besides the object's term O R*
// (the +1 order), the undiffracted light |O|^2 + |R|^2 (the zero order)
// and the twin O* R (the -1 order). Each sits in its own part of the
// hologram's spectrum, the orders at plus and minus the carrier frequency
// that the reference wave's tilt gives. The filter keeps a disk around one
// order and sets every other frequency to zero, so that a reconstruction
// shows the object alone.
//
// Frequencies are in frequency samples, 1 / (n pitch) each: fx along a row
// (across the columns), fy from row to row (along the picture's vertical,
// where the reference wave's phase changes), both signed, the zero
// frequency at 0; bins of the n x n spectrum lie at whole numbers from
// -n / 2 to (n - 1) / 2.
//
// Use, once per run (the filter does not depend on the sets beyond the
// first set's angle):
//   SidebandResult f = filterSideband(prepared, request, firstSetOptics);
//   if (!f.problem.empty()) ... refuse the run with f.problem
//   if (f.sideband.contrast < kSidebandContrastThreshold) ... warn
//   reconstruct(method, f.hologram, optics, outputs) for every set;
//   for interferometry the second hologram gets the same filter:
//   PreparedHologram second = applySideband(prepared2, f.sideband).

/// A frequency in frequency samples (see above).
struct Frequency {
  double fx = 0.0;  ///< along a row, across the columns
  double fy = 0.0;  ///< from row to row
};

/// What a filter is asked for.
struct SidebandRequest {
  /// The disk's centre. Without one, the carrier the reference wave's
  /// angle predicts, fy = n pitch sin(angle) / wavelength, on the side of
  /// `order`; with angle 0, the strongest frequency outside a disk of
  /// radius n / 16 around the zero frequency in the half of `order`.
  std::optional<Frequency> centre;
  /// +1: the order O R*, at +n pitch sin(angle) / wavelength, which a
  /// reconstruction focuses at +z; -1 the twin, at the opposite frequency,
  /// which the Fresnel and angular spectrum methods focus at -z (the
  /// Convolution method cannot: z enters it squared). For a search, the
  /// half fy > 0 (or fy = 0 and fx > 0) for +1, the opposite half for -1.
  int order = 1;
  /// The disk's radius in frequency samples; 0 for a third of the centre's
  /// distance from the zero frequency (an object whose order fills that
  /// disk has a zero order twice as wide, which then just touches it).
  double radius = 0.0;
  /// Width, in frequency samples, of the raised cosine with which the disk
  /// falls from 1 to 0 inside its radius (at most the radius). A hard edge
  /// (0) rings: it spreads every point of the picture into rings.
  double edge = 4.0;
  /// Also move the disk's centre to the zero frequency, removing the
  /// carrier: the samples are multiplied by exp(-i 2 pi (fx x + fy y) / n),
  /// x and y in samples from the centre (n - 1) / 2 as the reference wave
  /// counts them. Reconstructed with the angle 0, the predicted carrier so
  /// removed gives what the uncentred filter gives with the angle.
  bool center = false;
};

/// A filter as found on one hologram, which applySideband applies
/// unchanged to others.
struct Sideband {
  Frequency centre;
  double radius = 0.0;
  double edge = 0.0;
  bool center = false;
  /// How clearly the disk stands out of the spectrum: the mean power |S|^2
  /// inside it over the mean power inside the same disk turned by a
  /// quarter turn about the zero frequency (infinite when only the disk
  /// holds light, 0 when neither does). An off-axis order lies on one
  /// line through the zero frequency (its twin opposite), with little
  /// across it; the spectrum of an in-line hologram, zero order and both
  /// orders alike, spreads round the zero frequency in every direction, so
  /// that whatever a search finds there has its like a quarter turn away.
  /// A peak over the median of its own surroundings cannot tell the two
  /// apart: the local-mean subtraction damps the lowest frequencies, so an
  /// in-line spectrum has a true local peak just outside the zero order.
  /// Power rather than magnitude: on recorded holograms speckle and uneven
  /// light spread the order's energy over many weak bins, whose mean
  /// magnitude says little; the power is what the order carries.
  double contrast = 0.0;
};

/// Below this contrast the chosen centre does not stand out. Measured (power
/// ratios): in-line holograms 0.94 to 1.35 (holosim's, with Gaussian light,
/// a camera and noise: absorbers, phase plates, rough objects) and 1.10 on
/// a recorded one; off-axis holograms 57 to 27,000 (holosim's, smooth
/// objects) and, recorded, 6.8 (a Fresnel lens whose carrier lies within
/// the search's zero-order disk, its centre given), 23 (a die, a rough
/// object), 55, 203, 614 to 711 and 675 to 1,090. 3 lies midway on a log
/// scale between 1.35 and 6.8. Rough objects whose light fills the whole
/// spectrum, each order overlapping the others, give about 1.2: a warning
/// there is right.
inline constexpr double kSidebandContrastThreshold = 3.0;

/// A filtered hologram, the filter, or why the request cannot be met.
struct SidebandResult {
  /// Complex; empty when there is a problem. Its reference amplitude is
  /// the unfiltered hologram's, so the scale of every output stays what it
  /// was without the filter.
  PreparedHologram hologram;
  Sideband sideband;
  std::string problem;  ///< one sentence for the user; empty on success
};

/// Finds the filter the request describes on the prepared hologram and
/// applies it. optics gives the wavelength, angle and pitch for the
/// predicted carrier (the first parameter set's).
SidebandResult filterSideband(const PreparedHologram& hologram,
                              const SidebandRequest& request,
                              const Optics& optics);

/// The hologram filtered by a filter found before: the same disk, edge and
/// centring whatever this hologram's spectrum holds, so that the two
/// reconstructions of interferometry stay comparable.
PreparedHologram applySideband(const PreparedHologram& hologram,
                               const Sideband& sideband);

/// The edge m of the grid a cropped sideband is reconstructed on
/// (demodulation): the smallest size that holds every frequency of the disk
/// around the whole frequency nearest its centre and that FFTW transforms fast,
/// 2^a 3^b 5^c 7^d; at most n. Example: radius 20 about fx = 30.4 reaches 21
/// bins from fx = 30 on either side, 43 frequencies: m = 45 (3^2 5).
int croppedEdge(const Sideband& sideband, int n);

/// The hologram filtered by sideband and reconstructed from the m x m grid
/// of frequencies around the disk's centre instead of all n x n: the order
/// moved to the zero frequency (the carrier gone, as with center, to the
/// whole frequency nearest the centre: a centre between bins leaves a tilt
/// of less than half a frequency sample across the field, which an empty
/// frame's field or compensation removes) and sampled at n / m camera
/// pixels, the pitch n pitch / m over the same width n pitch. Reconstructed
/// with that pitch and the angle 0:
///
/// - AngularSpectrum and Convolution show their sample q at q n / m + s
///   camera pixels (s = 1/2 for even n, 1 for odd n: the uncropped methods'
///   alignment, half a camera pixel, not half a cropped sample). The
///   angular spectrum's band limit is the same in absolute frequency, so its
///   result is the uncropped (centred) one at those points: decimated where
///   n / m is whole, else Fourier-interpolated. Convolution samples its
///   impulse response at the coarser pitch and holds from z_c n / m on.
/// - Fresnel gets the samples where its centred coordinates put them; its
///   output pitch stays wavelength |z| / (n pitch), its picture covers m / n
///   of the uncropped one, and it holds from z_c n / m on.
///
/// The scale is the uncropped one: a reconstruction of the cropped
/// hologram gives the uncropped reconstruction's values.
PreparedHologram cropSideband(const PreparedHologram& hologram,
                              const Sideband& sideband, int m, Method method);

/// Bytes filterSideband or applySideband hold at once besides their input:
/// the complex result, which holds the spectrum while it is filtered.
std::size_t sidebandBytes(int n);

}  // namespace numerics
