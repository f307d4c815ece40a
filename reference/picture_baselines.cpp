#include "picture_baselines.h"

#include <FreeImage.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

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

/// With saturate P > 0: every finite value sorted, lo and hi the values of
/// rank k and count - 1 - k, k = floor(count * P / 200), unless they meet.
void saturate(const double* const* values, int n, double percent, double& lo,
              double& hi) {
  std::vector<double> sorted;
  for (int i = 0; i < n * n; ++i) {
    if (std::isfinite(values[i / n][i % n]))
      sorted.push_back(values[i / n][i % n]);
  }
  std::sort(sorted.begin(), sorted.end());
  const double count = static_cast<double>(sorted.size());
  const double k = std::floor(count * percent / 200.0);
  if (!(2 * k < count)) return;
  const auto rank = static_cast<std::size_t>(k);
  if (sorted[rank] < sorted[sorted.size() - 1 - rank]) {
    lo = sorted[rank];
    hi = sorted[sorted.size() - 1 - rank];
  }
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
  if (options.normalize && options.saturate > 0.0) {
    saturate(values, n, options.saturate, lo, hi);
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
