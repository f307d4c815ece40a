#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "experiment.h"

// Result pictures written through FreeImage, the way the program wrote them
// before it encoded PNGs itself, and through libpng, the way it encoded
// them before it framed them around libdeflate: the baselines its PNG writer
// is checked against (the pixels) and timed against (the speed).
namespace baseline {

/// How the picture's pixels are set: PerPixel through one
/// FreeImage_SetPixelColor call per pixel at x = j, y = i, slow and
/// obviously in the loader's coordinates; Scanline writes each line's bytes,
/// as the program did.
enum class Pixels { PerPixel, Scanline };

/// FreeImage's zlib level: its fastest (what the program used) or its
/// default.
enum class Zlib { Fastest, Default };

/// The n x n values as a 24-bit grey PNG at path, mapped step by step as
/// the result pictures are: the range from lo = FLT_MAX and hi = FLT_MIN
/// (normalised only), g = (v - lo) * (brightness * 255) / (hi - lo) or
/// v * brightness, clamped to 0..255, truncated, NaN giving 0; with
/// saturate P > 0 lo and hi are the values of rank k and count - 1 - k of
/// the finite values sorted, k = floor(count * P / 200), unless those meet.
/// False when FreeImage fails.
bool saveFreeImagePng(const std::string& path, const double* const* values,
                      int n, const OutputOptions& options, Pixels pixels,
                      Zlib zlib);

/// The n x n values mapped to grey as saveFreeImagePng maps them, as the
/// lines of a 24-bit picture from the top (the field's last row) down.
std::vector<std::uint8_t> greyRows(const double* const* values, int n,
                                   const OutputOptions& options);

/// The width x height picture of 8-bit samples, channels per pixel (1:
/// grey, 3: RGB), whose lines lie one after the other from the top in rows,
/// encoded into png by libpng with unfiltered rows at zlib level zlibLevel.
/// False when libpng fails.
bool encodeLibpng(int width, int height, int channels, const std::uint8_t* rows,
                  int zlibLevel, std::string& png);

/// The same picture encoded in memory by libpng with unfiltered rows at
/// zlib level zlibLevel, then written in one go: the program's writer as it
/// was before libdeflate. False when libpng or the write fails.
bool saveLibpngPng(const std::string& path, const double* const* values, int n,
                   const OutputOptions& options, int zlibLevel);

}  // namespace baseline
