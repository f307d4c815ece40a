#include "pictures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

ScratchDir::ScratchDir() {
  std::random_device seed;
  dir_ = std::filesystem::temp_directory_path() /
         ("holorecon_images_" + std::to_string(getpid()) + "_" +
          std::to_string(seed()));
  std::filesystem::create_directories(dir_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::path(const std::string& name) const {
  return (dir_ / name).string();
}

RGBQUAD rgb(int r, int g, int b) {
  RGBQUAD colour{};
  colour.rgbRed = static_cast<BYTE>(r);
  colour.rgbGreen = static_cast<BYTE>(g);
  colour.rgbBlue = static_cast<BYTE>(b);
  return colour;
}

Picture makeColourPicture(int width, int height, int bpp, const ColourAt& at) {
  Picture picture(FreeImage_Allocate(width, height, bpp));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      RGBQUAD colour = at(x, y);
      colour.rgbReserved = 200;  // alpha, where there is one
      FreeImage_SetPixelColor(picture.get(), static_cast<unsigned>(x),
                              static_cast<unsigned>(y), &colour);
    }
  }
  return picture;
}

Picture makePalettePicture(int width, int height, int bpp,
                           const std::function<RGBQUAD(int index)>& palette,
                           const ValueAt& index) {
  Picture picture(FreeImage_Allocate(width, height, bpp));
  RGBQUAD* entries = FreeImage_GetPalette(picture.get());
  for (int i = 0; i < (1 << bpp); ++i) entries[i] = palette(i);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      BYTE value = static_cast<BYTE>(index(x, y));
      FreeImage_SetPixelIndex(picture.get(), static_cast<unsigned>(x),
                              static_cast<unsigned>(y), &value);
    }
  }
  return picture;
}

Picture make16BitPicture(int width, int height, bool is565,
                         const ColourAt& at) {
  Picture picture(
      is565 ? FreeImage_Allocate(width, height, 16, FI16_565_RED_MASK,
                                 FI16_565_GREEN_MASK, FI16_565_BLUE_MASK)
            : FreeImage_Allocate(width, height, 16, FI16_555_RED_MASK,
                                 FI16_555_GREEN_MASK, FI16_555_BLUE_MASK));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      RGBQUAD colour = at(x, y);
      FreeImage_SetPixelColor(picture.get(), static_cast<unsigned>(x),
                              static_cast<unsigned>(y), &colour);
    }
  }
  return picture;
}

namespace {

template <typename Pixel>
void fillTyped(FIBITMAP* picture, int width, int height, const ValueAt& value,
               void (*set)(Pixel&, double)) {
  for (int y = 0; y < height; ++y) {
    auto* line = reinterpret_cast<Pixel*>(FreeImage_GetScanLine(picture, y));
    for (int x = 0; x < width; ++x) {
      line[x] = Pixel{};
      set(line[x], value(x, y));
    }
  }
}

}  // namespace

Picture makeTypedPicture(FREE_IMAGE_TYPE type, int width, int height,
                         const ValueAt& value) {
  int bpp = 0;
  switch (type) {
    case FIT_UINT16:
      bpp = 16;
      break;
    case FIT_RGB16:
      bpp = 48;
      break;
    case FIT_RGBA16:
      bpp = 64;
      break;
    case FIT_FLOAT:
      bpp = 32;
      break;
    case FIT_RGBF:
      bpp = 96;
      break;
    case FIT_RGBAF:
      bpp = 128;
      break;
    case FIT_INT32:
      bpp = 32;
      break;
    case FIT_DOUBLE:
      bpp = 64;
      break;
    default:
      ADD_FAILURE() << "no such picture type in the tests";
      return {};
  }
  Picture picture(FreeImage_AllocateT(type, width, height, bpp));
  FIBITMAP* p = picture.get();
  switch (type) {
    case FIT_UINT16:
      fillTyped<WORD>(p, width, height, value,
                      [](WORD& w, double v) { w = static_cast<WORD>(v); });
      break;
    case FIT_RGB16:
      fillTyped<FIRGB16>(p, width, height, value, [](FIRGB16& w, double v) {
        w.red = static_cast<WORD>(v);
      });
      break;
    case FIT_RGBA16:
      fillTyped<FIRGBA16>(p, width, height, value, [](FIRGBA16& w, double v) {
        w.red = static_cast<WORD>(v);
        w.alpha = 65535;
      });
      break;
    case FIT_FLOAT:
      fillTyped<float>(p, width, height, value,
                       [](float& f, double v) { f = static_cast<float>(v); });
      break;
    case FIT_RGBF:
      fillTyped<FIRGBF>(p, width, height, value, [](FIRGBF& f, double v) {
        f.red = static_cast<float>(v);
      });
      break;
    case FIT_RGBAF:
      fillTyped<FIRGBAF>(p, width, height, value, [](FIRGBAF& f, double v) {
        f.red = static_cast<float>(v);
        f.alpha = 1.0f;
      });
      break;
    case FIT_INT32:
      fillTyped<std::int32_t>(
          p, width, height, value,
          [](std::int32_t& i, double v) { i = static_cast<std::int32_t>(v); });
      break;
    default:
      fillTyped<double>(p, width, height, value,
                        [](double& d, double v) { d = v; });
      break;
  }
  return picture;
}

void savePicture(FIBITMAP* picture, FREE_IMAGE_FORMAT format,
                 const std::string& path) {
  ASSERT_NE(picture, nullptr);
  ASSERT_TRUE(FreeImage_Save(format, picture, path.c_str(), 0)) << path;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::string captureStderr(const std::function<void()>& f) {
  std::FILE* sink = std::tmpfile();
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(sink), STDERR_FILENO);
  f();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  std::rewind(sink);
  for (int c = std::fgetc(sink); c != EOF; c = std::fgetc(sink)) {
    text.push_back(static_cast<char>(c));
  }
  std::fclose(sink);
  return text;
}
