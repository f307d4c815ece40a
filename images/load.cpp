#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "images.h"
#include "library.h"
#include "picture.h"

using numerics::RealField;

namespace {

/// Red of the palette colour at index; every palette FreeImage allocates
/// has all 2^bpp entries, so any index of the picture is inside it.
double paletteRed(const RGBQUAD* palette, unsigned index) {
  return palette[index].rgbRed;
}

/// Fills out[0 .. count) from line y, pixels xBegin onwards, through the
/// scanline: the bytes as FreeImage stores them, with the same red values
/// its per-pixel accessors give.
void readLine(FIBITMAP* picture, int y, int xBegin, int count, double* out) {
  const BYTE* line = FreeImage_GetScanLine(picture, y);
  const auto at = [xBegin](int i) {
    return static_cast<std::size_t>(xBegin + i);
  };
  const RGBQUAD* palette = FreeImage_GetPalette(picture);
  switch (FreeImage_GetImageType(picture)) {
    case FIT_BITMAP:
      switch (FreeImage_GetBPP(picture)) {
        case 1:
          // Eight pixels a byte, the leftmost in the highest bit.
          for (int i = 0; i < count; ++i) {
            const std::size_t x = at(i);
            const unsigned bit = (line[x >> 3] >> (7 - (x & 7))) & 1U;
            out[i] = paletteRed(palette, bit);
          }
          return;
        case 4:
          // Two pixels a byte, the left one in the high nibble.
          for (int i = 0; i < count; ++i) {
            const std::size_t x = at(i);
            const unsigned byte = line[x >> 1];
            out[i] =
                paletteRed(palette, (x & 1) != 0 ? byte & 0x0FU : byte >> 4);
          }
          return;
        case 8:
          for (int i = 0; i < count; ++i)
            out[i] = paletteRed(palette, line[at(i)]);
          return;
        case 16: {
          const bool is565 = FreeImage_GetRedMask(picture) == FI16_565_RED_MASK;
          const unsigned mask = is565 ? FI16_565_RED_MASK : FI16_555_RED_MASK;
          const unsigned shift =
              is565 ? FI16_565_RED_SHIFT : FI16_555_RED_SHIFT;
          const auto* pixels = reinterpret_cast<const WORD*>(line);
          for (int i = 0; i < count; ++i) {
            // Five bits of red widened to 0..255 as FreeImage does it.
            const unsigned red5 = (pixels[at(i)] & mask) >> shift;
            out[i] = static_cast<double>(red5 * 0xFFU / 0x1FU);
          }
          return;
        }
        default: {
          const std::size_t step = FreeImage_GetBPP(picture) / 8;  // 3 or 4
          for (int i = 0; i < count; ++i) {
            out[i] = line[at(i) * step + FI_RGBA_RED];
          }
          return;
        }
      }
    case FIT_UINT16: {
      const auto* pixels = reinterpret_cast<const WORD*>(line);
      for (int i = 0; i < count; ++i) out[i] = pixels[at(i)] * 255.0 / 65535.0;
      return;
    }
    case FIT_RGB16: {
      const auto* pixels = reinterpret_cast<const FIRGB16*>(line);
      for (int i = 0; i < count; ++i)
        out[i] = pixels[at(i)].red * 255.0 / 65535.0;
      return;
    }
    case FIT_RGBA16: {
      const auto* pixels = reinterpret_cast<const FIRGBA16*>(line);
      for (int i = 0; i < count; ++i)
        out[i] = pixels[at(i)].red * 255.0 / 65535.0;
      return;
    }
    case FIT_FLOAT: {
      const auto* pixels = reinterpret_cast<const float*>(line);
      for (int i = 0; i < count; ++i) {
        out[i] = static_cast<double>(pixels[at(i)]) * 255.0;
      }
      return;
    }
    case FIT_RGBF: {
      const auto* pixels = reinterpret_cast<const FIRGBF*>(line);
      for (int i = 0; i < count; ++i) {
        out[i] = static_cast<double>(pixels[at(i)].red) * 255.0;
      }
      return;
    }
    case FIT_RGBAF: {
      const auto* pixels = reinterpret_cast<const FIRGBAF*>(line);
      for (int i = 0; i < count; ++i) {
        out[i] = static_cast<double>(pixels[at(i)].red) * 255.0;
      }
      return;
    }
    default:
      return;  // refused by canSample before any line is read
  }
}

/// Copies the part of the window that lies on the picture; the rest of
/// the zero-filled field stays zero.
void copyWindow(FIBITMAP* picture, const RealField& samples, int x0, int y0) {
  const PictureExtent on = extentOf(
      static_cast<int>(FreeImage_GetWidth(picture)),
      static_cast<int>(FreeImage_GetHeight(picture)), samples.size(), x0, y0);
  for (int r = on.row; r < on.row + on.rows; ++r) {
    readLine(picture, y0 + r, x0 + on.column, on.columns,
             samples[r] + on.column);
  }
}

bool fail(std::ostream& stream, const char* message) {
  stream << message << std::endl;
  return false;
}

}  // namespace

PictureExtent extentOf(int width, int height, int n, int x0, int y0) {
  // 64 bits: width - x0 overflows an int for a window far left of a wide
  // picture.
  const auto within = [n](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, n));
  };
  const int cBegin = within(-std::int64_t{x0});
  const int cEnd = within(std::int64_t{width} - x0);
  const int rBegin = within(-std::int64_t{y0});
  const int rEnd = within(std::int64_t{height} - y0);
  if (cBegin >= cEnd || rBegin >= rEnd) return {};
  return {rBegin, cBegin, rEnd - rBegin, cEnd - cBegin};
}

bool readSamples(FIBITMAP* picture, RealField& samples, int n, int x0, int y0,
                 std::ostream& stream, const FitsInMemory& fits) {
  if (!canSample(picture)) return fail(stream, "The image couldn't be loaded");
  if (n <= 0) return fail(stream, "The preferred size must be positive");
  if (fits && !fits(n)) {
    return fail(stream, "Not enough memory for the hologram");
  }
  RealField field;
  try {
    field = RealField(n);
  } catch (const std::bad_alloc&) {
    return fail(stream, "Not enough memory for the hologram");
  }
  copyWindow(picture, field, x0, y0);
  samples = std::move(field);
  return true;
}

const char* windowRefusal(int width, int height, int preferredSize) {
  if (preferredSize == 0 && width != height) return "The image must be square";
  // A hologram one pixel wide or high holds no fringes to reconstruct.
  if (width == 1 || height == 1) return "The image size couldn't be 1";
  return nullptr;
}

bool loadWindow(FIBITMAP* picture, int preferredSize, ClipType clipType,
                RealField& samples, int& size, std::ostream& stream,
                const FitsInMemory& fits, PictureExtent* extent) {
  const auto width = static_cast<int>(FreeImage_GetWidth(picture));
  const auto height = static_cast<int>(FreeImage_GetHeight(picture));
  int x0 = 0;
  int y0 = 0;
  if (preferredSize == 0) {
    if (width != height) return fail(stream, windowRefusal(width, height, 0));
    size = width;
  } else {
    size = preferredSize;
    // C++ division truncates toward zero, so a window one line taller than
    // the picture starts on line (255 - 256) / 2 = 0, not -1.
    y0 = (height - size) / 2;
    x0 = (width - size) / 2;
    if (clipType == ClipType::Left) x0 = 0;
    if (clipType == ClipType::Right) x0 = width - size;
  }
  if (const char* refusal = windowRefusal(width, height, preferredSize)) {
    return fail(stream, refusal);
  }
  if (!readSamples(picture, samples, size, x0, y0, stream, fits)) return false;
  if (extent != nullptr) {
    *extent = extentOf(width, height, size, x0, y0);
    extent->pictureWidth = width;
    extent->pictureHeight = height;
  }
  return true;
}

bool loadSquareImage(const PictureFile& file, RealField& samples, int& size,
                     std::ostream& stream, const FitsInMemory& fits,
                     PictureExtent* extent) {
  const Picture picture = openPicture(file, stream);
  return picture && loadWindow(picture.get(), 0, ClipType::Center, samples,
                               size, stream, fits, extent);
}

bool loadClippedImage(const PictureFile& file, RealField& samples, int n,
                      ClipType clipType, std::ostream& stream,
                      const FitsInMemory& fits, PictureExtent* extent) {
  if (n <= 0) return fail(stream, "The preferred size must be positive");
  const Picture picture = openPicture(file, stream);
  return picture && loadWindow(picture.get(), n, clipType, samples, n, stream,
                               fits, extent);
}

bool loadSquareImage(const std::string& path, RealField& samples, int& size,
                     std::ostream& stream, PictureExtent* extent) {
  PictureFile file;
  return readPictureFile(path, file, stream) &&
         loadSquareImage(file, samples, size, stream, {}, extent);
}

bool loadClippedImage(const std::string& path, RealField& samples, int n,
                      ClipType clipType, std::ostream& stream,
                      PictureExtent* extent) {
  if (n <= 0) return fail(stream, "The preferred size must be positive");
  PictureFile file;
  return readPictureFile(path, file, stream) &&
         loadClippedImage(file, samples, n, clipType, stream, {}, extent);
}

bool loadObjectPicture(const std::string& path, RealField& samples, int n,
                       std::ostream& stream) {
  PictureFile file;
  if (!readPictureFile(path, file, stream)) return false;
  const Picture picture = openPicture(file, stream);
  if (!picture) return false;
  const auto width = static_cast<int>(FreeImage_GetWidth(picture.get()));
  const auto height = static_cast<int>(FreeImage_GetHeight(picture.get()));
  return readSamples(picture.get(), samples, n, (width - n) / 2,
                     (height - n) / 2, stream);
}
