#include "picture_baselines.h"

#include <FreeImage.h>

#include <cfloat>
#include <cmath>
#include <memory>

namespace baseline {
namespace {

struct Unload {
  void operator()(FIBITMAP* picture) const { FreeImage_Unload(picture); }
};

BYTE grey(double v, double lo, double hi, const OutputOptions& options) {
  double g = options.normalize
                 ? ((v - lo) * (options.brightness * 255.0)) / (hi - lo)
                 : v * options.brightness;
  if (g < 0.0) {
    g = 0.0;
  } else if (g > 255.0) {
    g = 255.0;
  }
  return std::isnan(g) ? 0 : static_cast<BYTE>(g);
}

}  // namespace

bool saveFreeImagePng(const std::string& path, const double* const* values,
                      int n, const OutputOptions& options, Pixels pixels,
                      Zlib zlib) {
  const std::unique_ptr<FIBITMAP, Unload> picture(FreeImage_Allocate(n, n, 24));
  if (!picture) return false;
  double lo = static_cast<double>(FLT_MAX);
  double hi = static_cast<double>(FLT_MIN);
  for (int i = 0; i < n && options.normalize; ++i) {
    for (int j = 0; j < n; ++j) {
      if (values[i][j] < lo) lo = values[i][j];
      if (values[i][j] > hi) hi = values[i][j];
    }
  }
  for (int i = 0; i < n; ++i) {
    BYTE* line = FreeImage_GetScanLine(picture.get(), i);
    for (int j = 0; j < n; ++j) {
      const BYTE g = grey(values[i][j], lo, hi, options);
      RGBQUAD colour{g, g, g, 0};
      if (pixels == Pixels::PerPixel) {
        FreeImage_SetPixelColor(picture.get(), static_cast<unsigned>(j),
                                static_cast<unsigned>(i), &colour);
      } else {
        BYTE* pixel = line + 3 * static_cast<std::size_t>(j);
        pixel[FI_RGBA_BLUE] = pixel[FI_RGBA_GREEN] = pixel[FI_RGBA_RED] = g;
      }
    }
  }
  return FreeImage_Save(
             FIF_PNG, picture.get(), path.c_str(),
             zlib == Zlib::Fastest ? PNG_Z_BEST_SPEED : PNG_DEFAULT) != 0;
}

}  // namespace baseline
