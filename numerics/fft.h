#pragma once

#include "field.h"

namespace numerics {

// The two-dimensional transform every reconstruction is built on.

/// In-place 2-D DFT of an n x n field, columns first, then rows: forward
/// X[u][v] = sum x[r][c] exp(-2 pi i (u r + v c) / n), unscaled; the inverse
/// has the opposite sign and carries 1 / n^2. Index 0 is the zero frequency.
/// Throws NonFiniteData (failure.h) when the input is not finite or the
/// column pass overflows; the field then holds the column results. Safe to
/// call on several threads at once for different fields.
void fft2d(Complex* const* field, int n, bool forward);

/// Forward fft2d of a field whose columns c and n - 1 - c are equal, as in a
/// kernel that depends on the distance from the centre: only the first
/// (n + 1) / 2 columns are transformed and copied to their mirrors. The
/// results are those of fft2d to the last bit.
void fft2dMirrored(Complex* const* field, int n);

/// The m x m block of the forward fft2d of a real n x n field whose bin
/// (i, j) is frequency (firstRow + i, firstColumn + j), each mod n: from
/// the rows' real transforms and the transforms of only the block's m
/// columns, a quarter of the work or less when m is small. The values are
/// those of fft2d up to rounding (the order of the passes differs). Throws
/// NonFiniteData as fft2d does.
ComplexField spectrumBlock(const double* const* field, int n, int firstRow,
                           int firstColumn, int m);

}  // namespace numerics
