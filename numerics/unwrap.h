#pragma once

#include <cstddef>
#include <string>

namespace numerics {

// Two-dimensional phase unwrapping.
//
// A reconstructed phase, or the interference phase of two reconstructions,
// is known only modulo 2 pi; the measurement is the continuous phase (a
// deformation is the unwrapped interference phase times wavelength / 4 pi).
// The unwrapper joins neighbouring samples where the wrapped phase is most
// trustworthy first, so that regions without object light, whose phase is
// random speckle, are joined last and cannot spread their errors into the
// object.

/// Largest edge length unwrapPhase accepts: its sample and edge numbers are
/// 32-bit (2 n^2 edges must fit 2^32).
inline constexpr int kMaxUnwrapSize = 46340;

/// Unwraps the n x n wrapped phase into unwrapped (which may be the same
/// rows as wrapped). Returns an empty text on success, otherwise the reason
/// (nothing is written then).
///
/// The wrapped values may lie in any interval of length 2 pi, such as
/// [-pi, pi] or [0, 2 pi). Samples that are NaN or infinite are no phase:
/// they come out NaN and join nothing, so a masked region is walked around.
///
/// Method (quality-guided by reliability, after Herraez et al., Applied
/// Optics 41:7437, 2002): every sample gets the reliability
/// R = 1 / D, where D^2 = H^2 + V^2 + D1^2 + D2^2 sums the squares of its
/// horizontal, vertical and two diagonal second differences, each formed
/// from wrapped first differences (for the row direction,
/// H = W(p[r][c - 1] - p[r][c]) - W(p[r][c] - p[r][c + 1]), W reducing to
/// [-pi, pi]). A sample on the border or next to a non-finite sample has
/// fewer second differences: D^2 is then 4 / m times the sum of the m it
/// has, and a sample with none gets R = 0, the lowest. Every pair of
/// horizontal or vertical neighbours is an edge of reliability R_a + R_b.
/// Edges are taken from most to least reliable (to one part in 4096; equal
/// keys in order of position); each one whose samples lie in different
/// groups joins them, adding the whole multiple of 2 pi to the smaller group
/// that makes the step across the edge lie in [-pi, pi].
///
/// Result: at every finite sample the wrapped value plus 2 pi k, k a whole
/// number, stored as wrapped + 2 pi * k. Each connected group of finite
/// samples carries one common multiple of 2 pi chosen so that its median
/// (the lower one for an even count) lies in (-pi, pi]; the median of the
/// whole result then lies there too. Groups separated by non-finite samples
/// have no known offset between them.
///
/// Refused: n above kMaxUnwrapSize; finite values spanning more than 2 pi
/// (then the input is not a wrapped phase, for instance an unwrapped one).
/// Memory: unwrapScratchBytes(n) besides the fields, kept on the calling
/// thread from one call to the next while n stays the same. Safe to call
/// from several threads on different fields.
std::string unwrapPhase(const double* const* wrapped, int n,
                        double* const* unwrapped);

/// Bytes unwrapPhase allocates for itself at edge n, at most: 29 per sample
/// (a reliability, an edge code, two edge numbers, a union-find node and a
/// value for the median) and 4 MiB of sorting buckets; 0 for sizes it
/// refuses.
std::size_t unwrapScratchBytes(int n);

}  // namespace numerics
