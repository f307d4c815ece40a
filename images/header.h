#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <optional>
#include <string_view>

/// What a picture file's header says about its pixels.
struct ClaimedSize {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t bytes = 0;  // the decoded pixels, as the decoder holds them
};

/// Reads the size a picture claims from its header, before any pixel is
/// decoded; empty when the header cannot be read or the format is one this
/// program cannot probe. Uses FreeImage's header-only load where the format
/// has one, and reads the few bytes itself for GIF, SGI, DDS and WBMP,
/// whose decoders would otherwise allocate whatever a damaged header says.
std::optional<ClaimedSize> claimedSize(FREE_IMAGE_FORMAT format,
                                       FIMEMORY* memory, std::string_view file);

/// The size of a picture loaded with FIF_LOAD_NOPIXELS, as claimedSize
/// gives it for the formats FreeImage can load that way.
ClaimedSize sizeOfHeader(FIBITMAP* header);
