// Writing result pictures: the grey mapping, the orientation, the file
// written, and the grey PNG for simulated holograms.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <vector>

#include "images/images.h"
#include "images/picture.h"
#include "pictures.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// The smallest square field that holds values, filled up with copies of
/// the first value so that the range stays the one of values.
RealField squareOf(const std::vector<double>& values) {
  int n = 1;
  while (static_cast<std::size_t>(n * n) < values.size()) ++n;
  RealField field(n);
  for (int k = 0; k < n * n; ++k) {
    const auto at = static_cast<std::size_t>(k);
    field[k / n][k % n] = at < values.size() ? values[at] : values[0];
  }
  return field;
}

/// The grey level of every pixel of a 24-bit grey PNG, in the order of the
/// field: line i, pixel j. Fails the test when a pixel is not grey.
std::vector<int> greyLevels(const std::string& path, int n) {
  const Picture picture(FreeImage_Load(FIF_PNG, path.c_str(), 0));
  std::vector<int> levels;
  EXPECT_NE(picture, nullptr) << path;
  if (!picture) return levels;
  EXPECT_EQ(FreeImage_GetBPP(picture.get()), 24U);
  EXPECT_EQ(FreeImage_GetWidth(picture.get()), unsigned(n));
  EXPECT_EQ(FreeImage_GetHeight(picture.get()), unsigned(n));
  for (unsigned i = 0; i < unsigned(n); ++i) {
    for (unsigned j = 0; j < unsigned(n); ++j) {
      RGBQUAD colour{};
      FreeImage_GetPixelColor(picture.get(), j, i, &colour);
      EXPECT_EQ(colour.rgbRed, colour.rgbGreen);
      EXPECT_EQ(colour.rgbRed, colour.rgbBlue);
      levels.push_back(colour.rgbRed);
    }
  }
  return levels;
}

// ---------------------------------------------------------------------------
// The grey mapping, through the written file.

struct MappingCase {
  const char* name;
  bool normalize;
  double brightness;
  std::vector<double> values;
  std::vector<int> greys;
};

TEST(GreyMapping, KnownValuesGiveKnownGreyLevels) {
  const double tiny = static_cast<double>(std::numeric_limits<float>::min());
  const MappingCase cases[] = {
      {"normalised", true, 1.0, {0, 1000, 500, 250}, {0, 255, 127, 63}},
      {"normalised, brightness 2",
       true,
       2.0,
       {0, 1000, 500, 250, 750},
       {0, 255, 255, 127, 255}},
      {"normalised, all equal", true, 1.0, {7.5, 7.5, 7.5, 7.5}, {0, 0, 0, 0}},
      {"normalised, all equal to FLT_MIN", true, 1.0, {tiny, tiny}, {0, 0}},
      {"normalised, all zero", true, 1.0, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"normalised, all negative", true, 1.0, {-3, -1, -2}, {0, 170, 85}},
      {"normalised, NaN stays out of the range",
       true,
       1.0,
       {0, kNaN, 1000, 500},
       {0, 0, 255, 127}},
      {"plain factor", false, 1.0, {12.9, 300, -5, 127.9}, {12, 255, 0, 127}},
      {"plain factor 0.5", false, 0.5, {300, 511, 1}, {150, 255, 0}},
      {"plain factor, intensities below 1",
       false,
       1.0,
       {0.2, 0.5, 0.99, 0},
       {0, 0, 0, 0}},
      {"plain factor, NaN and infinities",
       false,
       1.0,
       {kNaN, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()},
       {0, 255, 0}},
  };
  const ScratchDir dir;
  for (const MappingCase& m : cases) {
    SCOPED_TRACE(m.name);
    const RealField field = squareOf(m.values);
    const std::string name = dir.path("mapped");
    ASSERT_TRUE(saveImage(name, field.rows(), field.size(),
                          OutputOptions{m.normalize, m.brightness}));
    const std::vector<int> levels = greyLevels(name + ".png", field.size());
    ASSERT_GE(levels.size(), m.greys.size());
    for (std::size_t k = 0; k < m.greys.size(); ++k) {
      EXPECT_EQ(levels[k], m.greys[k]) << "value " << m.values[k];
    }
  }
}

// ---------------------------------------------------------------------------
// Orientation and round trips.

TEST(ResultPictures, FirstRowIsTheBottomLineAndReadsBackUnchanged) {
  const ScratchDir dir;
  const int n = 5;
  RealField values(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) values[i][j] = 10 * i + j;
  }
  const std::string name = dir.path("ramp");
  ASSERT_TRUE(saveImage(name, values.rows(), n, OutputOptions{false, 1.0}));

  // Read back through the hologram loader: the same array comes back.
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  ASSERT_TRUE(loadSquareImage(name + ".png", samples, size, stream));
  ASSERT_EQ(size, n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) EXPECT_EQ(samples[i][j], values[i][j]);
  }
  // And FreeImage agrees where the corners are: y counts from the bottom.
  const Picture picture(FreeImage_Load(FIF_PNG, (name + ".png").c_str(), 0));
  RGBQUAD corner{};
  FreeImage_GetPixelColor(picture.get(), 0, 0, &corner);
  EXPECT_EQ(corner.rgbRed, 0);
  FreeImage_GetPixelColor(picture.get(), n - 1, n - 1, &corner);
  EXPECT_EQ(corner.rgbRed, 44);
  FreeImage_GetPixelColor(picture.get(), n - 1, 0, &corner);
  EXPECT_EQ(corner.rgbRed, 4);
}

TEST(ResultPictures, OneByOneFieldGivesOneByOnePicture) {
  const ScratchDir dir;
  RealField value(1);
  value[0][0] = 3.0;
  ASSERT_TRUE(saveImage(dir.path("dot"), value.rows(), 1, {false, 10.0}));
  EXPECT_EQ(greyLevels(dir.path("dot.png"), 1), std::vector<int>{30});
}

TEST(ResultPictures, UnwritableDestinationOrEmptyFieldReturnsFalse) {
  const ScratchDir dir;
  RealField values(4);
  const std::string printed = captureStderr([&] {
    EXPECT_FALSE(saveImage(dir.path("no/such/dir/x"), values.rows(), 4, {}));
    EXPECT_FALSE(saveImage(dir.path("x"), values.rows(), 0, {}));
    EXPECT_FALSE(saveImage(dir.path("x"), nullptr, 4, {}));
  });
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(std::filesystem::exists(dir.path("x.png")));
}

// The faster encoder setting and the scanline writer change the file's
// bytes at most, never its pixels.
TEST(ResultPictures, FastPathWritesTheSamePixelsAsTheSlowOne) {
  const ScratchDir dir;
  const int n = 67;
  RealField values(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      values[i][j] = std::pow(std::sin(0.3 * i) * std::cos(0.17 * j), 2.0);
    }
  }
  const OutputOptions options{true, 1.3};
  ASSERT_TRUE(saveImage(dir.path("fast"), values.rows(), n, options,
                        PixelAccess::Scanline, PngCompression::Fastest));
  ASSERT_TRUE(saveImage(dir.path("slow"), values.rows(), n, options,
                        PixelAccess::PerPixel, PngCompression::ZlibDefault));
  EXPECT_EQ(greyLevels(dir.path("fast.png"), n),
            greyLevels(dir.path("slow.png"), n));
}

// ---------------------------------------------------------------------------
// 8-bit grey PNG for simulated holograms.

TEST(GreyPng8, WritesPlainGreyscaleThatLoadsBackExactly) {
  const ScratchDir dir;
  struct Shape {
    int width, height;
  };
  for (const Shape s : {Shape{16, 16}, Shape{7, 3}, Shape{2, 2}}) {
    SCOPED_TRACE(std::to_string(s.width) + " x " + std::to_string(s.height));
    std::vector<std::uint8_t> pixels;
    for (int k = 0; k < s.width * s.height; ++k) {
      pixels.push_back(static_cast<std::uint8_t>((k * 53 + 7) % 256));
    }
    const std::string path = dir.path("sim.png");
    ASSERT_TRUE(saveGreyPng8(path, pixels.data(), s.width, s.height));

    // IHDR: bit depth 8 at byte 24, colour type 0 (greyscale) at byte 25.
    const std::string bytes = readFile(path);
    ASSERT_GT(bytes.size(), 26U);
    EXPECT_EQ(bytes[24], 8);
    EXPECT_EQ(bytes[25], 0);

    RealField samples;
    std::ostringstream stream;
    const int n = std::max(s.width, s.height);
    // Left-aligned and as tall as the picture: the window is the picture.
    ASSERT_TRUE(loadClippedImage(path, samples, n, ClipType::Left, stream))
        << stream.str();
    const int y0 = (s.height - n) / 2;
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        const auto k = static_cast<std::size_t>(y * s.width + x);
        EXPECT_EQ(samples[y - y0][x], pixels[k]) << x << "," << y;
      }
    }
  }
}

TEST(GreyPng8, RefusesEmptyArgumentsAndUnwritablePaths) {
  const ScratchDir dir;
  const std::uint8_t pixels[4] = {1, 2, 3, 4};
  const std::string printed = captureStderr([&] {
    EXPECT_FALSE(saveGreyPng8(dir.path("none/x.png"), pixels, 2, 2));
    EXPECT_FALSE(saveGreyPng8(dir.path("x.png"), pixels, 0, 2));
    EXPECT_FALSE(saveGreyPng8(dir.path("x.png"), pixels, 2, -1));
    EXPECT_FALSE(saveGreyPng8(dir.path("x.png"), nullptr, 2, 2));
  });
  EXPECT_EQ(printed, "");
}

}  // namespace
