#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "experiment.h"
#include "field.h"

// The image functions with their choices spelled out: the memory check the
// hologram loader asks, the pixel access that the tests and the benchmark
// compare, and the PNG encoding that the benchmark compares.

/// Asked with the edge length before a hologram of n x n samples is
/// allocated; false refuses the load. An empty function allows everything.
using FitsInMemory = std::function<bool(int n)>;

/// How pixels are read and written. Scanline is what the program uses;
/// PerPixel goes through FreeImage's one-call-per-pixel accessors and is
/// kept as the slow, obviously correct baseline it is checked and timed
/// against.
enum class PixelAccess { Scanline, PerPixel };

/// How a PNG picture is compressed: the row filters libpng may choose from
/// (None stores the rows as they are, All lets it pick the best per row) and
/// zlib's level, 1 (fastest) to 9 or -1 for its default (6). Every encoding
/// gives the same pixels; only time and size differ.
struct PngEncoding {
  enum class Filters { None, Sub, Up, Average, Paeth, All };
  Filters filters;
  int zlibLevel;
};

/// The fastest encoding, the one result pictures use. On a 1024 x 1024
/// reconstruction unfiltered rows at zlib's level 1 take about 18 ms; every
/// filter (FreeImage's choice) takes 30 ms for a file of about the same
/// size, and zlib's default level 65 ms for one a third smaller. On speckle
/// that hardly compresses: 36 ms against 54 ms with every filter
/// (bench_images).
inline constexpr PngEncoding kFastestPng{PngEncoding::Filters::None, 1};

/// loadSquareImage with a memory check and a choice of pixel access.
bool loadSquareImage(const std::string& path, RealField& samples, int& size,
                     std::ostream& stream, const FitsInMemory& fits,
                     PixelAccess access = PixelAccess::Scanline);

/// loadClippedImage with a memory check and a choice of pixel access.
bool loadClippedImage(const std::string& path, RealField& samples, int n,
                      ClipType clipType, std::ostream& stream,
                      const FitsInMemory& fits,
                      PixelAccess access = PixelAccess::Scanline);

/// saveImage with the PNG encoding spelled out.
std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options,
                      const PngEncoding& encoding);
