#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "experiment.h"
#include "field.h"

// The image functions with their choices spelled out: the memory check the
// hologram loader asks, and the pixel access and PNG level that the tests
// and the benchmark compare.

/// How pixels are written. Scanline is what the program uses; PerPixel
/// goes through FreeImage's one-call-per-pixel accessor and is kept as the
/// slow, obviously correct baseline it is checked and timed against.
enum class PixelAccess { Scanline, PerPixel };

/// The zlib level of PNG pictures. Fastest writes the same pixels as
/// ZlibDefault about four times faster.
enum class PngCompression { Fastest, ZlibDefault };

/// The grey level of value v: normalised over [lo, hi] or scaled by the
/// brightness alone, clamped to 0..255 and truncated; NaN gives 0.
std::uint8_t greyLevel(double v, double lo, double hi,
                       const OutputOptions& options);

/// saveImage with a choice of pixel access and PNG compression.
bool saveImage(const std::string& name, const double* const* values, int n,
               OutputOptions options, PixelAccess access,
               PngCompression compression);
