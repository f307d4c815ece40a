// Writing result pictures: the grey mapping, the orientation, the file
// written, and the grey PNG for simulated holograms.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "images/access.h"
#include "images/images.h"
#include "pictures.h"

namespace {

/// The grey level of every 24-bit grey pixel, line by line from the bottom.
std::vector<int> greyLevels(const std::string& path, int n) {
  const Picture picture(FreeImage_Load(FIF_PNG, path.c_str(), 0));
  std::vector<int> levels;
  EXPECT_EQ(FreeImage_GetBPP(picture.get()), 24U) << path;
  EXPECT_EQ(FreeImage_GetWidth(picture.get()), unsigned(n));
  for (unsigned i = 0; i < unsigned(n) && picture; ++i) {
    for (unsigned j = 0; j < unsigned(n); ++j) {
      RGBQUAD c{};
      FreeImage_GetPixelColor(picture.get(), j, i, &c);
      EXPECT_TRUE(c.rgbRed == c.rgbGreen && c.rgbRed == c.rgbBlue);
      levels.push_back(c.rgbRed);
    }
  }
  return levels;
}

TEST(GreyMapping, KnownValuesGiveKnownGreyLevels) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double fltMin = double(std::numeric_limits<float>::min());
  struct Case {
    const char* name;
    bool normalize;
    double brightness;
    std::vector<double> values;
    std::vector<int> greys;
  };
  const Case cases[] = {
      {"normalised", true, 1, {0, 1000, 500, 250}, {0, 255, 127, 63}},
      {"normalised x2",
       true,
       2,
       {0, 1000, 500, 250, 750},
       {0, 255, 255, 127, 255}},
      {"all equal: 0 / 0", true, 1, {7.5, 7.5, 7.5, 7.5}, {0, 0, 0, 0}},
      {"all FLT_MIN: 0 / 0", true, 1, {fltMin, fltMin}, {0, 0}},
      {"all zero", true, 1, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"all negative: hi stays FLT_MIN", true, 1, {-3, -1, -2}, {0, 170, 85}},
      {"NaN stays out of the range",
       true,
       1,
       {0, nan, 1000, 500},
       {0, 0, 255, 127}},
      {"plain factor", false, 1, {12.9, 300, -5, 127.9}, {12, 255, 0, 127}},
      {"plain factor 0.5", false, 0.5, {300, 511, 1}, {150, 255, 0}},
      {"intensities below 1", false, 1, {0.2, 0.5, 0.99, 0}, {0, 0, 0, 0}},
      {"NaN and infinities", false, 1, {nan, inf, -inf}, {0, 255, 0}},
      {"one value, 1 x 1", false, 10, {3}, {30}},
  };
  const ScratchDir dir;
  for (const Case& m : cases) {
    SCOPED_TRACE(m.name);
    // The smallest square that holds the values, filled up with the first.
    int n = 1;
    while (std::size_t(n * n) < m.values.size()) ++n;
    RealField field(n);
    for (std::size_t k = 0; k < std::size_t(n * n); ++k) {
      field[int(k) / n][int(k) % n] = m.values[k < m.values.size() ? k : 0];
    }
    const std::string name = dir.path("mapped");
    ASSERT_TRUE(saveImage(name, field.rows(), n, {m.normalize, m.brightness}));
    const std::vector<int> levels = greyLevels(name + ".png", n);
    ASSERT_GE(levels.size(), m.greys.size());
    EXPECT_EQ(
        std::vector<int>(levels.begin(), levels.begin() + long(m.greys.size())),
        m.greys);
  }
}

TEST(ResultPictures, FirstRowIsTheBottomLineAndReadsBackUnchanged) {
  const ScratchDir dir;
  const int n = 5;
  RealField values(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) values[i][j] = 10 * i + j;
  }
  const std::string name = dir.path("ramp");
  ASSERT_TRUE(saveImage(name, values.rows(), n, {false, 1.0}));
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  ASSERT_TRUE(loadSquareImage(name + ".png", samples, size, stream));
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) EXPECT_EQ(samples[i][j], values[i][j]);
  }
  // FreeImage agrees: values[0][n - 1] is the bottom-right pixel.
  const Picture picture(FreeImage_Load(FIF_PNG, (name + ".png").c_str(), 0));
  RGBQUAD bottomRight{};
  FreeImage_GetPixelColor(picture.get(), n - 1, 0, &bottomRight);
  EXPECT_EQ(bottomRight.rgbRed, 4);
}

TEST(ResultPictures, UnwritableDestinationOrEmptyFieldReturnsFalse) {
  const ScratchDir dir;
  RealField values(4);
  EXPECT_EQ(captureStderr([&] {
              EXPECT_FALSE(saveImage(dir.path("none/x"), values.rows(), 4, {}));
              EXPECT_FALSE(saveImage(dir.path("x"), values.rows(), 0, {}));
              EXPECT_FALSE(saveImage(dir.path("x"), nullptr, 4, {}));
            }),
            "");
  EXPECT_FALSE(std::filesystem::exists(dir.path("x.png")));
}

// The fast encoder level and the scanline writer change the file's bytes at
// most, never its pixels.
TEST(ResultPictures, FastPathWritesTheSamePixelsAsTheSlowOne) {
  const ScratchDir dir;
  const int n = 67;
  RealField values(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) values[i][j] = std::sin(0.3 * i) * std::cos(j);
  }
  ASSERT_TRUE(saveImage(dir.path("fast"), values.rows(), n, {true, 1.3},
                        PixelAccess::Scanline, PngCompression::Fastest));
  ASSERT_TRUE(saveImage(dir.path("slow"), values.rows(), n, {true, 1.3},
                        PixelAccess::PerPixel, PngCompression::ZlibDefault));
  EXPECT_EQ(greyLevels(dir.path("fast.png"), n),
            greyLevels(dir.path("slow.png"), n));
}

TEST(GreyPng8, WritesPlainGreyscaleThatLoadsBackExactly) {
  const ScratchDir dir;
  const std::string path = dir.path("sim.png");
  for (const auto& [width, height] : {std::pair{16, 16}, {7, 3}, {2, 5}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    std::vector<std::uint8_t> pixels;
    for (int k = 0; k < width * height; ++k)
      pixels.push_back(std::uint8_t(k * 53 + 7));
    ASSERT_TRUE(saveGreyPng8(path, pixels.data(), width, height));
    const std::string bytes = readFile(path);
    EXPECT_EQ(bytes.substr(24, 2), std::string("\x08\x00", 2));  // IHDR: grey
    RealField samples;
    std::ostringstream stream;
    const int n = std::max(width, height);
    ASSERT_TRUE(loadClippedImage(path, samples, n, ClipType::Left, stream));
    const int y0 = (height - n) / 2;
    for (int k = 0; k < width * height; ++k) {
      EXPECT_EQ(samples[k / width - y0][k % width], pixels[std::size_t(k)]);
    }
  }
  const std::uint8_t four[4] = {1, 2, 3, 4};
  EXPECT_EQ(captureStderr([&] {
              EXPECT_FALSE(saveGreyPng8(dir.path("none/x.png"), four, 2, 2));
              EXPECT_FALSE(saveGreyPng8(path, four, 0, 2));
              EXPECT_FALSE(saveGreyPng8(path, four, 2, -1));
              EXPECT_FALSE(saveGreyPng8(path, nullptr, 2, 2));
            }),
            "");
}

}  // namespace
