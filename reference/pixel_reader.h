#pragma once

#include <string>

#include "field.h"

namespace reference {

/// The n x n window of the picture at path whose bottom-left pixel is
/// (x0, y0), read through FreeImage's one-call-per-pixel accessors: the red
/// of the palette entry for 1-, 4- and 8-bit pictures, the red of the
/// colour otherwise; 0 outside the picture. Only bitmaps of up to 32 bits
/// per pixel have such accessors; other kinds give an empty field. The
/// slow, obviously correct baseline the scanline reader is checked and
/// timed against.
numerics::RealField samplesPerPixel(const std::string& path, int n, int x0,
                                    int y0);

}  // namespace reference
