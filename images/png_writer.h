#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "access.h"

// PNG pictures encoded in memory, so that the file is written in one go
// afterwards and a failed write never leaves a cut-off picture.

/// Fills the row of a picture that is y lines below its top with the bytes
/// of its pixels, left to right.
using PngRowSource = std::function<void(int y, std::uint8_t* row)>;

/// Puts into png a width x height picture of 8-bit samples, channels per
/// pixel (1: grey, 3: RGB), whose rows fillRow gives from the top line down.
/// Returns why it could not, empty on success; after a failure png holds no
/// picture to use. Memory that cannot be had for the output is
/// std::bad_alloc, as anywhere else. Several threads may encode at once;
/// each keeps its compressor and two buffers of about the raw picture's
/// size from one call to the next.
std::string encodePng(int width, int height, int channels,
                      const PngRowSource& fillRow, const PngEncoding& encoding,
                      std::string& png);
