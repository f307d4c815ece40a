#pragma once

#include <string>

#include "experiment.h"

// The PNG encoding spelled out, for the benchmark that compares encodings.

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

/// saveImage with the PNG encoding spelled out.
std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options,
                      const PngEncoding& encoding);
