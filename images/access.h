#pragma once

#include <string>

#include "experiment.h"

// The PNG encoding spelled out, for the benchmark that compares encodings.

/// How a PNG picture is compressed: the row filter (None stores the rows as
/// they are, All picks the likeliest best per row) and the deflate level, 0
/// (stored) to 12 (libdeflate's slowest), -1 for the default (6), or
/// kFastest. Every encoding gives the same pixels; only time and size differ.
struct PngEncoding {
  enum class Filters { None, Sub, Up, Average, Paeth, All };
  /// Level 1, or level 2 for a picture whose bytes spread so evenly over
  /// their 256 values that level 1 would make it larger and take longer.
  static constexpr int kFastest = -2;
  Filters filters;
  int zlibLevel;
};

/// The fastest encoding, the one result pictures use. On a 1024 x 1024
/// reconstruction it takes about a third of the time of zlib's level 1 (the
/// former encoding) for a file a tenth smaller; on speckle spread over every
/// grey level (level 2 then) three quarters of zlib's time for a file of
/// about the same size (bench_images). Filtering the rows costs more than
/// it saves: up to twice the time for files of about the same size.
inline constexpr PngEncoding kFastestPng{PngEncoding::Filters::None,
                                         PngEncoding::kFastest};

/// saveImage with the PNG encoding spelled out.
std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options,
                      const PngEncoding& encoding);
