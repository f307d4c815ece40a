// Pictures and data out: the grey PNGs as FreeImage and libpng decode them
// against FreeImage's per-pixel writer and libpng's, the float TIFFs as
// libtiff reads them back, and the reasons every writer gives when the file
// cannot be written.

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "access.h"
#include "images.h"
#include "picture_baselines.h"
#include "png_writer.h"
#include "support.h"
#include "tiff_writer.h"

using numerics::RealField;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Scratch {
  fs::path dir = fs::temp_directory_path() /
                 ("holorecon_writers_" + std::to_string(getpid()));
  Scratch() { fs::create_directories(dir); }
  ~Scratch() { fs::remove_all(dir); }
  std::string operator/(const std::string& name) const { return dir / name; }
};

/// Bits per pixel, then the grey level of each pixel as FreeImage reads it
/// one pixel at a time, bottom line first; -1 for a pixel that is not grey.
std::vector<int> decodePng(const std::string& path) {
  FIBITMAP* picture = FreeImage_Load(FIF_PNG, path.c_str(), 0);
  const unsigned width = FreeImage_GetWidth(picture);
  std::vector<int> levels{int(FreeImage_GetBPP(picture))};
  for (unsigned i = 0; i < width * FreeImage_GetHeight(picture); ++i) {
    RGBQUAD c{};
    if (levels[0] == 8) {  // grey levels are their own index
      FreeImage_GetPixelIndex(picture, i % width, i / width, &c.rgbRed);
      c.rgbGreen = c.rgbBlue = c.rgbRed;
    }
    FreeImage_GetPixelColor(picture, i % width, i / width, &c);
    const bool grey = c.rgbRed == c.rgbGreen && c.rgbRed == c.rgbBlue;
    levels.push_back(grey ? c.rgbRed : -1);
  }
  FreeImage_Unload(picture);
  return levels;
}

/// The chunk types of a PNG file in order, after checking the signature.
std::string chunkTypes(const std::string& png) {
  if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return "no signature";
  std::string types;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const auto byte = [&](std::size_t k) { return std::uint8_t(png[at + k]); };
    const std::size_t length =
        std::size_t(byte(0)) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    types += png.substr(at + 4, 4) + " ";
    at += length + 12;
  }
  return types;
}

/// The pixels libpng decodes (checking every CRC and the zlib stream's
/// Adler-32), in its own format; empty when it fails.
std::vector<std::uint8_t> libpngPixels(const std::string& path, bool& rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  rgb = image.format == PNG_FORMAT_RGB;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
    return {};
  return pixels;
}

// The values fill a 2 x 2 field (or 1 x 1) row by row, the rest repeats the
// first; the greys follow FreeImage's pixels from the bottom-left corner on,
// so row 0 must be the bottom line, as the hologram loader reads it.
TEST(Writing, KnownValuesGiveKnownGreyLevelsAtTheirPlaces) {
  struct Case {
    bool normalize;
    double brightness;
    std::vector<double> values;
    std::vector<int> greys;
  };
  const Case cases[] = {
      {true, 1, {0, 1000, 500, 250}, {0, 255, 127, 63}},
      {true, 2, {0, 1000, 250, 750}, {0, 255, 127, 255}},
      {true, 1, {7.5, 7.5, 7.5, 7.5}, {0, 0, 0, 0}},  // 0 / 0
      {true, 1, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {true, 1, {-3, -1, -2}, {0, 170, 85, 0}},           // hi stays FLT_MIN
      {true, 1, {0, kNaN, 1000, 500}, {0, 0, 255, 127}},  // NaN not in range
      {false, 1, {12.9, 300, -5, 127.9}, {12, 255, 0, 127}},
      {false, 0.5, {300, 511, 1}, {150, 255, 0, 150}},
      {false, 1, {0.2, 0.5, 0.99, 0}, {0, 0, 0, 0}},
      {false, 1, {kNaN, kInf, -kInf}, {0, 255, 0, 0}},
      {false, 10, {3}, {30}}};  // 1 x 1
  const Scratch dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.values));
    const int n = c.values.size() > 1 ? 2 : 1;
    RealField field(n);
    for (std::size_t k = 0; k < c.greys.size(); ++k)
      field[int(k) / n][int(k) % n] = c.values[k < c.values.size() ? k : 0];
    const OutputOptions options{c.normalize, c.brightness};
    ASSERT_EQ(saveImage(dir / "x", field.rows(), n, options), "");
    std::vector<int> expected{24};
    expected.insert(expected.end(), c.greys.begin(), c.greys.end());
    EXPECT_EQ(decodePng(dir / "x.png"), expected);
  }
}

// Every encoding of a speckled field of odd size, and the program's of a
// large one that takes level 2 and several IDAT chunks, gives the pixels
// of FreeImage's per-pixel writer and of libpng's (as both decode them);
// the program's files hold only the chunks every reader needs, the large
// one at most 1.1 times libpng's size at its fastest. The 8-bit writer
// keeps a non-square picture's bytes.
TEST(Writing, EveryEncodingGivesTheBaselinesPixels) {
  using enum PngEncoding::Filters;
  const struct {
    int n;
    std::vector<PngEncoding> encodings;
  } cases[] = {{37,
                {kFastestPng, PngEncoding{All, 1}, PngEncoding{Paeth, -1},
                 PngEncoding{Sub, 9}, PngEncoding{Up, 0},
                 PngEncoding{Average, 12}, PngEncoding{None, 2}}},
               {1024, {kFastestPng}}};
  const Scratch dir;
  const OutputOptions options{false, 80.0};  // spread over every grey level
  for (const auto& [n, encodings] : cases) {
    RealField field(n);
    std::mt19937 random(5);
    std::exponential_distribution<double> speckle(1.0);
    for (int i = 0; i < n * n; ++i) field[i / n][i % n] = speckle(random);
    field[3][4] = kNaN;
    ASSERT_TRUE(baseline::saveFreeImagePng(dir / "f.png", field.rows(), n,
                                           options, baseline::Pixels::PerPixel,
                                           baseline::Zlib::Default));
    ASSERT_TRUE(
        baseline::saveLibpngPng(dir / "l.png", field.rows(), n, options, 1));
    bool rgb = false;
    const std::vector<std::uint8_t> before = libpngPixels(dir / "l.png", rgb);
    EXPECT_EQ(decodePng(dir / "l.png"), decodePng(dir / "f.png"));
    for (const PngEncoding encoding : encodings) {
      SCOPED_TRACE(testing::Message() << n << " " << int(encoding.filters)
                                      << " " << encoding.zlibLevel);
      ASSERT_EQ(saveImage(dir / "x", field.rows(), n, options, encoding), "");
      EXPECT_EQ(decodePng(dir / "x.png"), decodePng(dir / "f.png"));
      EXPECT_EQ(libpngPixels(dir / "x.png", rgb), before);
      EXPECT_TRUE(rgb);
      const std::string idat = n > 37 ? "IDAT IDAT " : "IDAT ";
      EXPECT_EQ(chunkTypes(readFile(dir / "x.png")), "IHDR " + idat + "IEND ");
    }
    if (n > 37) {
      EXPECT_LT(10 * fs::file_size(dir / "x.png"),
                11 * fs::file_size(dir / "l.png"));
    }
  }
  std::vector<std::uint8_t> bytes(5 * 3);
  for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = uint8_t(k * 17);
  ASSERT_EQ(saveGreyPng8(dir / "g.png", bytes.data(), 5, 3), "");
  std::vector<int> grey{8};
  grey.insert(grey.end(), bytes.begin(), bytes.end());
  EXPECT_EQ(decodePng(dir / "g.png"), grey);
  bool rgb = true;
  std::vector<std::uint8_t> flipped;  // libpng gives the top line first
  for (int y = 2; y >= 0; --y)
    flipped.insert(flipped.end(), bytes.begin() + 5 * y,
                   bytes.begin() + 5 * y + 5);
  EXPECT_EQ(libpngPixels(dir / "g.png", rgb), flipped);
  EXPECT_FALSE(rgb);
  std::string png;
  EXPECT_EQ(encodePng(
                2, 2, 3, [](int, std::uint8_t*) {}, PngEncoding{None, 13}, png),
            "there is no such deflate level");
}

// Each writer says why a file was not written, leaves nothing behind of
// its own, touches no link it was given and prints nothing.
TEST(Writing, FailuresGiveTheReasonAndLeaveNoFile) {
  const Scratch dir;
  fs::create_symlink("/dev/full", dir / "full.png");
  fs::create_symlink("/dev/full", dir / "full.tif");
  const RealField field(4);
  const std::uint8_t pixels[16] = {};
  using Writer = std::function<std::string(const std::string&, int)>;
  const Writer writers[] = {
      [&](const std::string& name, int n) {
        return saveImage(dir / name, field.rows(), n, {});
      },
      [&](const std::string& name, int n) {
        return saveGreyPng8(dir / (name + ".png"), pixels, n, 4);
      },
      [&](const std::string& name, int n) {
        return saveFloatTiff(dir / (name + ".tif"), field.rows(), n, {});
      }};
  testing::internal::CaptureStderr();
  for (const Writer& write : writers) {
    EXPECT_EQ(write("full", 4), "No space left on device");
    EXPECT_EQ(write("none/x", 4), "No such file or directory");
    EXPECT_EQ(write("empty", 0), "the picture is empty");
  }
  EXPECT_EQ(saveImage(dir / "x", nullptr, 4, {}), "the picture is empty");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.dir), {}), 2);
  EXPECT_TRUE(fs::is_symlink(dir / "full.png") &&
              fs::is_symlink(dir / "full.tif"));
}

// libtiff reads back the tags, the description line for line and every
// value bit for bit, the file's top line being the field's last row.
// (scripts/check-tiff shows what ImageJ makes of such a file.)
TEST(Writing, FloatTiffsReadBackExactlyWithTheirRecord) {
  const int n = 64;  // libtiff's default strips would be two of 32 lines
  RealField field(n);
  std::vector<float> expected(n * n);  // row by row, as the field
  for (int i = 0; i < n * n; ++i)
    expected[std::size_t(i)] = float(field[i / n][i % n] = i / 8.0 - 1);
  // Inexact or special values at (row, column), with the float expected.
  const std::tuple<int, int, double, float> special[] = {
      {0, 1, 0.1, 0.1f},
      {4, 3, kNaN, std::nanf("")},
      {2, 2, -0.0, -0.0f},
      {1, 0, 1e300, HUGE_VALF},
      {3, 4, -1e300, -HUGE_VALF}};
  for (const auto& [r, c, v, f] : special)
    field[r][c] = v, expected[std::size_t(r * n + c)] = f;
  struct Case {
    FloatTiffRecord record;
    const char* description;  // null: refused
    float resolution;         // 0: no resolution tags
  };
  const Case cases[] = {
      {{3.45, "micron", "rad", {{"wavelength", "0.532"}, {"z", "-5e3"}}},
       "ImageJ=1.53t\nunit=micron\nvunit=rad\nwavelength=0.532\nz=-5e3\n",
       1 / 3.45f},
      {{-0.5, "", "", {}}, "ImageJ=1.53t\n", 2},
      {{0, "mm", "", {}}, "ImageJ=1.53t\nunit=mm\n", 0},
      {{kNaN, "", "", {{"a", "b"}}}, "ImageJ=1.53t\na=b\n", 0},
      {{1, "", "", {{"a=", "b"}}}, nullptr, 0},
      {{1, "", "", {{"a", "b\nc=d"}}}, nullptr, 0}};
  const Scratch dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description ? c.description : "refused");
    const std::string reason =
        saveFloatTiff(dir / "x.tif", field.rows(), n, c.record);
    ASSERT_EQ(reason.empty(), c.description != nullptr) << reason;
    if (!c.description) continue;
    TIFF* tiff = TIFFOpen((dir / "x.tif").c_str(), "rc");  // c: as stored
    ASSERT_NE(tiff, nullptr);
    const auto tag = [tiff]<typename T>(ttag_t t, T value) -> long {
      return TIFFGetField(tiff, t, &value) ? long(value) : -1;
    };
    const std::uint16_t short16 = 0;
    EXPECT_EQ((std::vector<long>{tag(TIFFTAG_IMAGEWIDTH, 0u),
                                 tag(TIFFTAG_IMAGELENGTH, 0u),
                                 tag(TIFFTAG_SAMPLESPERPIXEL, short16),
                                 tag(TIFFTAG_BITSPERSAMPLE, short16),
                                 tag(TIFFTAG_SAMPLEFORMAT, short16),
                                 tag(TIFFTAG_COMPRESSION, short16),
                                 tag(TIFFTAG_RESOLUTIONUNIT, short16),
                                 long(TIFFNumberOfStrips(tiff))}),
              // ImageJ 1.53t misreads two strips' byte counts in the tag.
              (std::vector<long>{n, n, 1, 32, SAMPLEFORMAT_IEEEFP, 1,
                                 c.resolution != 0 ? RESUNIT_NONE : -1, 1}));
    const char* text = "";
    float resolution[2] = {};
    TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution[0]);
    TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &resolution[1]);
    EXPECT_STREQ(text, c.description);
    EXPECT_FLOAT_EQ(resolution[0], c.resolution);
    EXPECT_FLOAT_EQ(resolution[1], c.resolution);
    std::vector<float> stored(n * n);  // back in the field's row order
    for (int y = 0; y < n; ++y) {
      float* row = stored.data() + (n - 1 - y) * n;
      ASSERT_EQ(TIFFReadScanline(tiff, row, std::uint32_t(y)), 1);
    }
    EXPECT_EQ(std::memcmp(stored.data(), expected.data(), 4 * stored.size()),
              0);
    TIFFClose(tiff);
  }
}

}  // namespace
