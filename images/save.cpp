#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>

#include "access.h"
#include "files.h"
#include "images.h"
#include "library.h"

namespace {

/// Start values of the normalisation range. The maximum starts at the
/// smallest positive normal float, not at -FLT_MAX, so an all-negative
/// field maps against 0 from above.
constexpr double kRangeLow = static_cast<double>(FLT_MAX);
constexpr double kRangeHigh = static_cast<double>(FLT_MIN);

/// Lowest and highest value of the field; NaNs never win a comparison, so
/// they stay out of the range.
void findRange(const double* const* values, int n, double& lo, double& hi) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const double v = values[i][j];
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  }
}

int pngFlags(PngCompression compression) {
  return compression == PngCompression::Fastest ? PNG_Z_BEST_SPEED
                                                : PNG_DEFAULT;
}

/// Owns a FreeImage memory stream.
struct MemoryCloser {
  void operator()(FIMEMORY* memory) const { FreeImage_CloseMemory(memory); }
};

/// Encodes the picture in memory and writes the file ourselves. FreeImage
/// writes through stdio without looking at the result, so a disk that fills
/// up mid-picture would leave a cut-off PNG behind a reported success; a
/// picture that cannot be written whole is removed and reported instead.
bool savePng(FIBITMAP* picture, const std::string& path,
             PngCompression compression) {
  startLibraryMessages();
  const std::unique_ptr<FIMEMORY, MemoryCloser> memory(FreeImage_OpenMemory());
  if (!memory || !FreeImage_SaveToMemory(FIF_PNG, picture, memory.get(),
                                         pngFlags(compression))) {
    return false;
  }
  BYTE* bytes = nullptr;
  DWORD size = 0;
  if (!FreeImage_AcquireMemory(memory.get(), &bytes, &size)) return false;
  return writeWholeFile(path,
                        std::string_view(reinterpret_cast<char*>(bytes), size))
      .empty();
}

/// Writes the grey levels of row i into line y = i of a 24-bit picture.
void writeRow(FIBITMAP* picture, int i, const double* row, int n, double lo,
              double hi, const OutputOptions& options, PixelAccess access) {
  BYTE* line = FreeImage_GetScanLine(picture, i);
  for (int j = 0; j < n; ++j) {
    const std::uint8_t grey = greyLevel(row[j], lo, hi, options);
    if (access == PixelAccess::PerPixel) {
      RGBQUAD colour{grey, grey, grey, 0};
      FreeImage_SetPixelColor(picture, static_cast<unsigned>(j),
                              static_cast<unsigned>(i), &colour);
    } else {
      BYTE* pixel = line + 3 * static_cast<std::size_t>(j);
      pixel[FI_RGBA_BLUE] = grey;
      pixel[FI_RGBA_GREEN] = grey;
      pixel[FI_RGBA_RED] = grey;
    }
  }
}

}  // namespace

std::uint8_t greyLevel(double v, double lo, double hi,
                       const OutputOptions& options) {
  double g = options.normalize
                 ? ((v - lo) * (options.brightness * 255.0)) / (hi - lo)
                 : v * options.brightness;
  if (g < 0.0) {
    g = 0.0;
  } else if (g > 255.0) {
    g = 255.0;
  }
  if (std::isnan(g)) return 0;
  return static_cast<std::uint8_t>(g);  // truncates: 127.9 gives 127
}

bool saveImage(const std::string& name, const double* const* values, int n,
               OutputOptions options, PixelAccess access,
               PngCompression compression) {
  if (n <= 0 || values == nullptr) return false;
  const Picture picture(FreeImage_Allocate(n, n, 24));
  if (!picture) return false;
  double lo = kRangeLow;
  double hi = kRangeHigh;
  if (options.normalize) findRange(values, n, lo, hi);
  for (int i = 0; i < n; ++i) {
    writeRow(picture.get(), i, values[i], n, lo, hi, options, access);
  }
  return savePng(picture.get(), name + ".png", compression);
}

bool saveImage(const std::string& name, const double* const* values, int n,
               OutputOptions options) {
  return saveImage(name, values, n, options, PixelAccess::Scanline,
                   PngCompression::Fastest);
}

bool saveGreyPng8(const std::string& path, const std::uint8_t* pixels,
                  int width, int height) {
  if (width <= 0 || height <= 0 || pixels == nullptr) return false;
  const Picture picture(FreeImage_Allocate(width, height, 8));
  if (!picture) return false;
  // A linear grey palette is what makes the PNG writer choose plain
  // greyscale instead of an indexed picture.
  RGBQUAD* palette = FreeImage_GetPalette(picture.get());
  for (unsigned level = 0; level < 256; ++level) {
    const auto grey = static_cast<BYTE>(level);
    palette[level] = RGBQUAD{grey, grey, grey, 0};
  }
  const auto rowBytes = static_cast<std::size_t>(width);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = pixels + static_cast<std::size_t>(y) * rowBytes;
    std::copy(row, row + rowBytes, FreeImage_GetScanLine(picture.get(), y));
  }
  return savePng(picture.get(), path, PngCompression::Fastest);
}
