#include "pixel_reader.h"

#include <FreeImage.h>

using numerics::RealField;

namespace reference {

RealField samplesPerPixel(const std::string& path, int n, int x0, int y0) {
  FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
  if (format == FIF_UNKNOWN)
    format = FreeImage_GetFIFFromFilename(path.c_str());
  FIBITMAP* picture = FreeImage_Load(format, path.c_str(), 0);
  if (picture == nullptr) return {};
  RealField samples;
  if (FreeImage_GetImageType(picture) == FIT_BITMAP) {
    samples = RealField(n);
    const auto width = static_cast<int>(FreeImage_GetWidth(picture));
    const auto height = static_cast<int>(FreeImage_GetHeight(picture));
    const bool palette = FreeImage_GetBPP(picture) <= 8;
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const int x = x0 + c;
        const int y = y0 + r;
        if (x < 0 || x >= width || y < 0 || y >= height) continue;
        const auto ux = static_cast<unsigned>(x);
        const auto uy = static_cast<unsigned>(y);
        if (palette) {
          BYTE index = 0;
          FreeImage_GetPixelIndex(picture, ux, uy, &index);
          samples[r][c] = FreeImage_GetPalette(picture)[index].rgbRed;
        } else {
          RGBQUAD colour{};
          FreeImage_GetPixelColor(picture, ux, uy, &colour);
          samples[r][c] = colour.rgbRed;
        }
      }
    }
  }
  FreeImage_Unload(picture);
  return samples;
}

}  // namespace reference
