#include "picture_baselines.h"

#include <FreeImage.h>
#include <png.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <csetjmp>
#include <memory>
#include <vector>

#include "files.h"

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

// The range of the values a normalised picture maps to grey.
void rangeOf(const double* const* values, int n, const OutputOptions& options,
             double& lo, double& hi) {
  lo = static_cast<double>(FLT_MAX);
  hi = static_cast<double>(FLT_MIN);
  for (int i = 0; i < n && options.normalize; ++i) {
    for (int j = 0; j < n; ++j) {
      if (values[i][j] < lo) lo = values[i][j];
      if (values[i][j] > hi) hi = values[i][j];
    }
  }
  if (options.normalize && options.saturate > 0.0) {
    saturate(values, n, options.saturate, lo, hi);
  }
}

void appendBytes(png_structp png, png_bytep data, png_size_t size) {
  static_cast<std::string*>(png_get_io_ptr(png))
      ->append(reinterpret_cast<const char*>(data), size);
}

void noFlush(png_structp /*png*/) {}

// libpng leaves by longjmp on an error; nothing here owns anything then.
bool encodeRows(png_structp png, png_infop info, int width, int height,
                int channels, const std::uint8_t* rows, int zlibLevel,
                std::string* bytes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, bytes, appendBytes, noFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), 8,
               channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, zlibLevel);
  png_write_info(png, info);
  const auto line = static_cast<std::size_t>(width * channels);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, rows + line * static_cast<std::size_t>(y));
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

bool encodeLibpng(int width, int height, int channels, const std::uint8_t* rows,
                  int zlibLevel, std::string& png) {
  png.clear();
  png_structp writer =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = writer != nullptr ? png_create_info_struct(writer) : nullptr;
  const bool encoded =
      info != nullptr &&
      encodeRows(writer, info, width, height, channels, rows, zlibLevel, &png);
  png_destroy_write_struct(&writer, &info);
  return encoded;
}

std::vector<std::uint8_t> greyRows(const double* const* values, int n,
                                   const OutputOptions& options) {
  double lo = 0.0;
  double hi = 0.0;
  rangeOf(values, n, options, lo, hi);
  const auto edge = static_cast<std::size_t>(n);
  std::vector<std::uint8_t> rows(3 * edge * edge);
  for (int y = 0; y < n; ++y) {
    for (int j = 0; j < n; ++j) {
      const BYTE g = grey(values[n - 1 - y][j], lo, hi, options);
      BYTE* pixel = rows.data() + 3 * (edge * static_cast<std::size_t>(y) +
                                       static_cast<std::size_t>(j));
      pixel[0] = pixel[1] = pixel[2] = g;
    }
  }
  return rows;
}

bool saveLibpngPng(const std::string& path, const double* const* values, int n,
                   const OutputOptions& options, int zlibLevel) {
  const std::vector<std::uint8_t> rows = greyRows(values, n, options);
  std::string bytes;
  return encodeLibpng(n, n, 3, rows.data(), zlibLevel, bytes) &&
         writeWholeFile(path, bytes).empty();
}

bool saveFreeImagePng(const std::string& path, const double* const* values,
                      int n, const OutputOptions& options, Pixels pixels,
                      Zlib zlib) {
  const std::unique_ptr<FIBITMAP, Unload> picture(FreeImage_Allocate(n, n, 24));
  if (!picture) return false;
  double lo = 0.0;
  double hi = 0.0;
  rangeOf(values, n, options, lo, hi);
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
