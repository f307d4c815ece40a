#include "header.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "library.h"

namespace {

/// The first bytes of a file; headers this program reads fit in them,
/// apart from a GIF's extension blocks, which it walks to the first frame.
std::vector<unsigned char> readStart(const std::string& path,
                                     std::size_t limit) {
  std::ifstream file(path, std::ios::binary);
  std::vector<unsigned char> bytes(limit);
  file.read(reinterpret_cast<char*>(bytes.data()),
            static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
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
  return {width, height, width * height * bytesPerPixel};
}

/// The frame a GIF decoder allocates: the logical screen or, when the
/// first image descriptor reaches beyond it, that frame.
/// Layout: "GIF89a", screen width and height (LE16), flags, background,
/// aspect, a global colour table of 3 * 2^(flags & 7 + 1) bytes when
/// flags & 0x80, then extension blocks (0x21, label, sub-blocks ending in a
/// zero length) before the first image descriptor (0x2C, left, top,
/// width, height as LE16).
std::optional<ClaimedSize> gifSize(const std::string& path) {
  const std::vector<unsigned char> b = readStart(path, 1 << 16);
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
std::optional<ClaimedSize> sgiSize(const std::string& path) {
  const std::vector<unsigned char> b = readStart(path, 12);
  if (b.size() < 12) return std::nullopt;
  const std::uint64_t channels = std::max<std::uint64_t>(big16(b, 10), 1);
  return sized(big16(b, 6), big16(b, 8),
               channels * std::max<std::uint64_t>(b[3], 1));
}

/// DDS: "DDS ", header size, flags, then height and width as LE32.
std::optional<ClaimedSize> ddsSize(const std::string& path) {
  const std::vector<unsigned char> b = readStart(path, 20);
  if (b.size() < 20) return std::nullopt;
  return sized(little32(b, 16), little32(b, 12), 16);
}

/// WBMP: type and fixed header as multi-byte integers (7 bits a byte, the
/// high bit set on all but the last), then width and height the same way.
std::optional<ClaimedSize> wbmpSize(const std::string& path) {
  const std::vector<unsigned char> b = readStart(path, 64);
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
  return (width * bitsPerPixel + 31) / 32 * 4 * FreeImage_GetHeight(header);
}

}  // namespace

std::optional<ClaimedSize> claimedSize(FREE_IMAGE_FORMAT format,
                                       const std::string& path) {
  switch (format) {
    case FIF_GIF:
      return gifSize(path);
    case FIF_SGI:
      return sgiSize(path);
    case FIF_DDS:
      return ddsSize(path);
    case FIF_WBMP:
      return wbmpSize(path);
    default:
      break;
  }
  if (!FreeImage_FIFSupportsNoPixels(format)) return std::nullopt;
  const Picture header(FreeImage_Load(format, path.c_str(), FIF_LOAD_NOPIXELS));
  if (!header) return std::nullopt;  // the full load will say what is wrong
  return ClaimedSize{FreeImage_GetWidth(header.get()),
                     FreeImage_GetHeight(header.get()),
                     decodedBytes(header.get())};
}
