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

/// Asked with the edge length before a hologram of n x n samples is
/// allocated; false refuses the load. An empty function allows everything.
using FitsInMemory = std::function<bool(int n)>;

/// How pixels are read and written. Scanline is what the program uses;
/// PerPixel goes through FreeImage's one-call-per-pixel accessors and is
/// kept as the slow, obviously correct baseline it is checked and timed
/// against.
enum class PixelAccess { Scanline, PerPixel };

/// The zlib level of PNG pictures. Fastest writes the same pixels as
/// ZlibDefault about four times faster.
enum class PngCompression { Fastest, ZlibDefault };

/// loadSquareImage with a memory check and a choice of pixel access.
bool loadSquareImage(const std::string& path, RealField& samples, int& size,
                     std::ostream& stream, const FitsInMemory& fits,
                     PixelAccess access = PixelAccess::Scanline);

/// loadClippedImage with a memory check and a choice of pixel access.
bool loadClippedImage(const std::string& path, RealField& samples, int n,
                      ClipType clipType, std::ostream& stream,
                      const FitsInMemory& fits,
                      PixelAccess access = PixelAccess::Scanline);

/// The grey level of value v: normalised over [lo, hi] or scaled by the
/// brightness alone, clamped to 0..255 and truncated; NaN gives 0.
std::uint8_t greyLevel(double v, double lo, double hi,
                       const OutputOptions& options);

/// saveImage with a choice of pixel access and PNG compression.
bool saveImage(const std::string& name, const double* const* values, int n,
               OutputOptions options, PixelAccess access,
               PngCompression compression);
