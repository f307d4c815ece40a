#include "header.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "library.h"

namespace {

/// The first bytes of a file; headers this program reads fit in them,
/// apart from a GIF's extension blocks, which it walks to the first frame.
std::vector<unsigned char> readStart(std::string_view file, std::size_t limit) {
  const std::string_view start = file.substr(0, limit);
  return {start.begin(), start.end()};
}

/// a * b, or the largest value when the product does not fit: a header
/// claiming 2^30 x 2^30 pixels of 16 bytes must not wrap round to a small
/// size.
std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return product;
}

std::uint64_t little16(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | std::uint64_t{b[at + 1]} << 8;
}
std::uint64_t big16(const std::vector<unsigned char>& b, std::size_t at) {
  return std::uint64_t{b[at]} << 8 | b[at + 1];
}
std::uint64_t little32(const std::vector<unsigned char>& b, std::size_t at) {
  return little16(b, at) | little16(b, at + 2) << 16;
}

ClaimedSize sized(std::uint64_t width, std::uint64_t height,
                  std::uint64_t bytesPerPixel) {
  return {width, height,
          saturatingProduct(saturatingProduct(width, height), bytesPerPixel)};
}

/// The frame a GIF decoder allocates: the logical screen or, when the
/// first image descriptor reaches beyond it, that frame.
/// Layout: "GIF89a", screen width and height (LE16), flags, background,
/// aspect, a global colour table of 3 * 2^(flags & 7 + 1) bytes when
/// flags & 0x80, then extension blocks (0x21, label, sub-blocks ending in a
/// zero length) before the first image descriptor (0x2C, left, top,
/// width, height as LE16).
std::optional<ClaimedSize> gifSize(std::string_view file) {
  const std::vector<unsigned char> b = readStart(file, 1 << 16);
  if (b.size() < 13) return std::nullopt;
  std::uint64_t width = little16(b, 6);
  std::uint64_t height = little16(b, 8);
  std::size_t at = 13;
  if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);
  while (at < b.size() && b[at] == 0x21) {
    at += 2;  // introducer and label
    while (at < b.size() && b[at] != 0) at += b[at] + 1u;
    ++at;
  }
  if (at + 9 <= b.size() && b[at] == 0x2C) {
    width = std::max(width, little16(b, at + 1) + little16(b, at + 5));
    height = std::max(height, little16(b, at + 3) + little16(b, at + 7));
  }
  return sized(width, height, 4);  // the decoder may expand to 32 bits
}

/// SGI: magic 0x01DA, storage, bytes per channel, dimension, then x, y and
/// channel counts as BE16.
std::optional<ClaimedSize> sgiSize(std::string_view file) {
  const std::vector<unsigned char> b = readStart(file, 12);
  if (b.size() < 12) return std::nullopt;
  const std::uint64_t channels = std::max<std::uint64_t>(big16(b, 10), 1);
  return sized(big16(b, 6), big16(b, 8),
               channels * std::max<std::uint64_t>(b[3], 1));
}

/// DDS: "DDS ", header size, flags, then height and width as LE32.
std::optional<ClaimedSize> ddsSize(std::string_view file) {
  const std::vector<unsigned char> b = readStart(file, 20);
  if (b.size() < 20) return std::nullopt;
  return sized(little32(b, 16), little32(b, 12), 16);
}

/// WBMP: type and fixed header as multi-byte integers (7 bits a byte, the
/// high bit set on all but the last), then width and height the same way.
std::optional<ClaimedSize> wbmpSize(std::string_view file) {
  const std::vector<unsigned char> b = readStart(file, 64);
  std::size_t at = 0;
  const auto next = [&]() -> std::optional<std::uint64_t> {
    std::uint64_t value = 0;
    for (int i = 0; i < 5 && at < b.size(); ++i) {
      value = value << 7 | (b[at] & 0x7Fu);
      if ((b[at++] & 0x80) == 0) return value;
    }
    return std::nullopt;
  };
  next();  // type
  if (at >= b.size()) return std::nullopt;
  ++at;  // fixed header byte
  const auto width = next();
  const auto height = next();
  if (!width || !height) return std::nullopt;
  return sized(*width, *height, 1);
}

std::uint64_t decodedBytes(FIBITMAP* header) {
  const std::uint64_t width = FreeImage_GetWidth(header);
  const std::uint64_t bitsPerPixel = FreeImage_GetBPP(header);
  // Each line is padded to whole 32-bit words, as FreeImage stores it.
  return saturatingProduct((width * bitsPerPixel + 31) / 32 * 4,
                           FreeImage_GetHeight(header));
}

}  // namespace

std::optional<ClaimedSize> claimedSize(FREE_IMAGE_FORMAT format,
                                       FIMEMORY* memory,
                                       std::string_view file) {
  switch (format) {
    case FIF_GIF:
      return gifSize(file);
    case FIF_SGI:
      return sgiSize(file);
    case FIF_DDS:
      return ddsSize(file);
    case FIF_WBMP:
      return wbmpSize(file);
    default:
      break;
  }
  if (!FreeImage_FIFSupportsNoPixels(format)) return std::nullopt;
  FreeImage_SeekMemory(memory, 0, SEEK_SET);
  const Picture header(
      FreeImage_LoadFromMemory(format, memory, FIF_LOAD_NOPIXELS));
  if (!header) return std::nullopt;  // the full load will say what is wrong
  return sizeOfHeader(header.get());
}

ClaimedSize sizeOfHeader(FIBITMAP* header) {
  return ClaimedSize{FreeImage_GetWidth(header), FreeImage_GetHeight(header),
                     decodedBytes(header)};
}
