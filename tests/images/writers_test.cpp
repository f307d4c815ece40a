// Pictures and data out: the grey PNGs as FreeImage and libpng decode them
// against FreeImage's per-pixel writer and libpng's, the float TIFFs as
// libtiff reads them back, and the reasons every writer gives when the file
// cannot be written.

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
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
#include "shortest.h"
#include "stack_writer.h"
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
    double saturate = 0.0;  // percent, half at each end
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
      {false, 10, {3}, {30}},  // 1 x 1
      // Ranks 1 and 2 of 4 (floor(4 * 50 / 200) = 1) are the limits.
      {true, 1, {0, 1000, 500, 250}, {0, 255, 255, 0}, 50},
      {true, 1, {0, 1000, 500, 250}, {0, 255, 127, 63}, 100},  // they meet
      {true, 1, {7.5, 7.5, 7.5, 7.5}, {0, 0, 0, 0}, 50},
      {true, 1, {kInf, 0, 1000, 500}, {255, 0, 255, 127}, 1},  // finite only
      {true, 1, {kInf, 0, 1000, 500}, {0, 0, 0, 0}},           // 1000 / inf
      {false, 1, {12.9, 300, -5, 127.9}, {12, 255, 0, 127}, 50}};
  const Scratch dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.values));
    const int n = c.values.size() > 1 ? 2 : 1;
    RealField field(n);
    for (std::size_t k = 0; k < c.greys.size(); ++k)
      field[int(k) / n][int(k) % n] = c.values[k < c.values.size() ? k : 0];
    const OutputOptions options{c.normalize, c.brightness, c.saturate};
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
// one at most 1.1 times libpng's size at its fastest; normalised with or
// without saturation, against a full sort. The 8-bit writer keeps a
// non-square picture's bytes.
TEST(Writing, EveryEncodingGivesTheBaselinesPixels) {
  using enum PngEncoding::Filters;
  const struct {
    int n;
    std::vector<PngEncoding> encodings;
    OutputOptions options;
  } cases[] = {{37,
                {kFastestPng, PngEncoding{All, 1}, PngEncoding{Paeth, -1},
                 PngEncoding{Sub, 9}, PngEncoding{Up, 0},
                 PngEncoding{Average, 12}, PngEncoding{None, 2}},
                {false, 80.0}},  // spread over every grey level
               {37, {kFastestPng}, {true, 1.5, 0.0}},
               {37, {kFastestPng}, {true, 1.5, 0.35}},
               {37, {kFastestPng}, {true, 0.8, 5.0}},
               {1024, {kFastestPng}, {false, 80.0}}};
  const Scratch dir;
  for (const auto& [n, encodings, options] : cases) {
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

// Saturated limits are exact ranks on pictures large enough for the limits
// to be estimated from a sample, also when the sample misleads: here every
// 64th value, the ones sampled, is smaller than all others.
TEST(Writing, SaturatedLimitsAreExactRanksOnLargePictures) {
  const int n = 300;
  const Scratch dir;
  std::mt19937 random(11);
  std::exponential_distribution<double> speckle(1.0);
  for (const bool misleading : {false, true}) {
    RealField field(n);
    for (int i = 0; i < n * n; ++i) {
      field[i / n][i % n] =
          misleading && i % 64 == 0 ? -1e6 - i : speckle(random);
    }
    for (const double percent : {0.35, 5.0}) {
      SCOPED_TRACE(testing::Message() << misleading << ", " << percent);
      const OutputOptions options{true, 1, percent};
      ASSERT_TRUE(baseline::saveFreeImagePng(
          dir / "b.png", field.rows(), n, options, baseline::Pixels::Scanline,
          baseline::Zlib::Fastest));
      ASSERT_EQ(saveImage(dir / "x", field.rows(), n, options), "");
      EXPECT_EQ(decodePng(dir / "x.png"), decodePng(dir / "b.png"));
    }
  }
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

/// Count and value (or offset of the values) of tag in the first directory
/// of a little-endian classic TIFF; {0, 0} when it has none.
std::pair<std::uint32_t, std::uint32_t> entry(const std::string& tiff,
                                              int tag) {
  const auto u = [&](std::size_t at, std::size_t bytes) {
    std::uint32_t v = 0;
    std::memcpy(&v, tiff.data() + at, bytes);
    return v;
  };
  const std::uint32_t first = u(4, 4);
  for (std::uint32_t k = 0; k < u(first, 2); ++k) {
    const std::size_t at = first + 2 + 12 * k;
    if (u(at, 2) == std::uint32_t(tag)) return {u(at + 4, 4), u(at + 8, 4)};
  }
  return {0, 0};
}

/// What ImageJ takes from a stack file besides the pixels: the description
/// and the slice labels, decoded from the metadata tags by hand.
std::pair<std::string, std::vector<std::string>> imagejRecord(
    const std::string& tiff) {
  const auto [length, text] = entry(tiff, 270);
  const auto [counts, at] = entry(tiff, 50838);
  std::uint32_t data = entry(tiff, 50839).second;
  std::vector<std::uint32_t> bytes(counts);
  std::memcpy(bytes.data(), tiff.data() + at, 4 * bytes.size());
  // "IJIJ", one type, "labl", and the number of labels, little-endian.
  EXPECT_EQ(tiff.substr(data, 12), "JIJIlbal" + le32(counts - 1));
  std::vector<std::string> labels;
  data += bytes[0];
  for (std::size_t k = 1; k < bytes.size(); data += bytes[k++]) {
    std::string label;  // UTF-16, little-endian as the file
    for (std::uint32_t i = 0; i < bytes[k]; i += 2) {
      label += tiff[data + i];
      EXPECT_EQ(tiff[data + i + 1], 0);
    }
    labels.push_back(label);
  }
  return {tiff.substr(text, length - 1), labels};
}

/// The pages of a TIFF file as libtiff reads them, each in the field's row
/// order; checks that they lie one after the other, as ImageJ reads them.
std::vector<std::vector<float>> tiffPages(const std::string& path, int n) {
  std::vector<std::vector<float>> pages;
  TIFFSetWarningHandler(nullptr);  // "unknown tag 50838": ImageJ's tags
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return pages;
  std::uint64_t* strips = nullptr;
  std::uint64_t first = 0;
  do {
    pages.emplace_back(std::size_t(n * n));
    for (int y = 0; y < n; ++y) {
      TIFFReadScanline(tiff, pages.back().data() + (n - 1 - y) * n, y);
    }
    TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &strips);
    if (pages.size() == 1) first = strips[0];
    EXPECT_EQ(strips[0], first + (pages.size() - 1) * 4 * n * n);
  } while (TIFFReadDirectory(tiff));
  TIFFClose(tiff);
  return pages;
}

// A hyperstack of 3 z values by 2 frames, its fifth set failed: libtiff
// reads every page back bit for bit as the per-set TIFF of its set, the
// failed one NaN; ImageJ's description and labels say what it holds.
TEST(Stacks, PagesReadBackAsThePerSetTiffsWithTheirLabels) {
  const int n = 33;
  const Scratch dir;
  const StackRecord record{
      {6.7e-6, "m", "rad", {{"quantity", "phase"}, {"method", "Convolution"}}},
      "",
      5e-4};
  StackWriter stack;
  ASSERT_EQ(stack.open(dir.dir, "phase", {n, 3, 2}, record), "");
  std::mt19937 random(7);
  std::normal_distribution<double> normal(0.0, 1e3);
  std::vector<std::string> labels;
  for (int p = 0; p < 6; ++p) {
    RealField field(n);
    for (int i = 0; i < n * n; ++i) field[i / n][i % n] = normal(random);
    field[1][2] = kNaN, field[3][4] = 1e300, field[5][6] = -0.0;
    const StackPage page{100 + p, 0.0015 + 5e-4 * (p % 3), p / 3};
    labels.push_back("set " + std::to_string(page.set) + ", z " +
                     numerics::shortestText(page.z) + ", frame " +
                     std::to_string(page.frame));
    if (p == 4) {
      ASSERT_EQ(stack.appendFailed(page), "");
      labels.back() += ", failed";
      continue;
    }
    ASSERT_EQ(
        saveFloatTiff(dir / std::to_string(p), field.rows(), n, record.tiff),
        "");
    ASSERT_EQ(stack.append(field.rows(), page), "");
  }
  EXPECT_EQ(stack.append(nullptr, {}), "the stack already holds its 6 pages");
  ASSERT_EQ(stack.close(), "");
  const std::vector<std::vector<float>> pages = tiffPages(dir / "phase.tif", n);
  ASSERT_EQ(pages.size(), 6U);
  for (int p = 0; p < 6; ++p) {
    SCOPED_TRACE(p);
    if (p == 4) {
      EXPECT_TRUE(std::all_of(pages[4].begin(), pages[4].end(),
                              [](float v) { return std::isnan(v); }));
      continue;
    }
    const auto single = tiffPages(dir / std::to_string(p), n).at(0);
    EXPECT_EQ(std::memcmp(pages[p].data(), single.data(), 4 * single.size()),
              0);
  }
  const std::string tiff = readFile(dir / "phase.tif");
  EXPECT_EQ(imagejRecord(tiff),
            std::make_pair(std::string("ImageJ=1.53t\nimages=6\nslices=3\n"
                                       "frames=2\nhyperstack=true\n"
                                       "spacing=5e-04\nloop=false\nunit=m\n"
                                       "vunit=rad\nquantity=phase\n"
                                       "method=Convolution\n"),
                           labels));
  // 1 / 6.7e-6 is 10000000 / 67 exactly.
  const std::uint32_t fraction = entry(tiff, 282).second;
  EXPECT_EQ(tiff.substr(fraction, 8), le32(10000000) + le32(67));
  EXPECT_EQ(fileNames(dir.dir).count("phase.tif.partial"), 0U);
}

// A run interrupted, a stack split below a file limit (here the size of a
// two-frame stack), one refused: each file a complete hyperstack of whole
// frames with its own description and labels, pages in order over the files.
TEST(Stacks, CutShortOrSplitIntoWholeHyperstacks) {
  const Scratch dir;
  const auto twoFrames = [&] {
    StackWriter stack;
    stack.open(dir.dir, "two", {8, 2, 2}, {});
    for (int p = 0; p < 4; ++p) stack.appendFailed({});
    stack.close();
    return fs::file_size(dir / "two.tif");
  }();
  fs::remove(dir / "two.tif");
  struct Case {
    int slices, frames, appended;
    std::uint64_t limit;
    std::vector<int> framesInFiles;  // phase.tif, phase_2.tif, ...
    std::string refused;
  };
  const Case cases[] = {
      {3, 4, 7, kMaxStackFileBytes, {2}, ""},
      {3, 4, 2, kMaxStackFileBytes, {}, ""},  // no whole frame: no file
      {2, 5, 10, twoFrames, {2, 2, 1}, ""},
      {2, 5, 7, twoFrames, {2, 1}, ""},
      {2,
       5,
       0,
       1000,
       {},
       "a frame of 2 pages of 8 x 8 floats does not fit into one TIFF file "
       "of at most 1000 bytes"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.appended << " of " << c.frames);
    StackWriter stack;
    ASSERT_EQ(
        stack.open(dir.dir, "phase", {8, c.slices, c.frames}, {}, c.limit),
        c.refused);
    RealField field(8);
    for (int p = 0; p < c.appended; ++p) {
      field[0][0] = p;
      ASSERT_EQ(stack.append(field.rows(), {p, 0.5, p / c.slices}), "");
    }
    ASSERT_EQ(stack.close(), "");
    std::set<std::string> expected;
    int page = 0;
    for (std::size_t k = 0; k < c.framesInFiles.size(); ++k) {
      std::string name = "phase";
      if (k > 0) name.append("_").append(std::to_string(k + 1));
      name.append(".tif");
      expected.insert(name);
      const int frames = c.framesInFiles[k], pages = frames * c.slices;
      const auto [description, labels] = imagejRecord(readFile(dir / name));
      EXPECT_NE(description.find("images=" + std::to_string(pages) + "\n"),
                std::string::npos);
      EXPECT_EQ(description.find("frames="),
                frames > 1 ? description.find(
                                 "frames=" + std::to_string(frames) + "\n")
                           : std::string::npos);
      const auto read = tiffPages(dir / name, 8);
      ASSERT_EQ(read.size(), std::size_t(pages));
      ASSERT_EQ(labels.size(), std::size_t(pages));
      for (int p = 0; p < pages; ++p, ++page) {
        EXPECT_EQ(read[p][0], page);
        EXPECT_EQ(labels[p].rfind("set " + std::to_string(page) + ",", 0), 0U);
      }
      // Its pixels end the file.
      EXPECT_LE(fs::file_size(dir / name), c.limit);
      EXPECT_EQ(fs::file_size(dir / name),
                entry(readFile(dir / name), 273).second + pages * 256U);
    }
    EXPECT_EQ(fileNames(dir.dir), expected);
    for (const std::string& name : expected) fs::remove(dir / name);
  }
  // A write that fails (here past a file size limit, as on a full disk)
  // stops the stack; closing keeps the whole frames before it.
  StackWriter stack;
  EXPECT_EQ(stack.open(dir / "none", "phase", {8, 3, 4}, {}),
            "No such file or directory");
  ASSERT_EQ(stack.open(dir.dir, "phase", {8, 3, 4}, {}), "");
  const std::uintmax_t whole = fs::file_size(dir / "phase.tif.partial") +
                               12 * 256;  // the head, then 12 pages
  std::signal(SIGXFSZ, SIG_IGN);          // EFBIG instead of the signal
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = whole - 4 * 256 - 100;  // page 7 does not fit
  setrlimit(RLIMIT_FSIZE, &small);
  std::vector<std::string> reasons;
  for (int p = 0; p < 9; ++p) reasons.push_back(stack.appendFailed({}));
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(reasons, (std::vector<std::string>{"", "", "", "", "", "", "",
                                               "File too large", ""}));
  EXPECT_EQ(stack.close(), "");
  EXPECT_EQ(tiffPages(dir / "phase.tif", 8).size(), 6U);
}

// A pitch whose 1 / |pitch| a TIFF resolution cannot hold gives a file
// without resolution tags whose description says why, per set and in a
// stack, as does a stack whose pages share no pitch; the others keep their
// resolution: within a float of 1 / pitch per set (libtiff keeps a float),
// within 1 / 0xFFFFFFFF in a stack, over the whole range.
TEST(Writing, PitchesATiffCannotHoldAreSaidInsteadOfStored) {
  const Scratch dir;
  const RealField field(2);
  const auto none = [](const std::string& pitch) {
    return "resolution=none (the pitch " + pitch +
           " cannot be stored as a TIFF resolution)\n";
  };
  // Pitch, the description's last line when it is not stored.
  std::vector<std::pair<double, std::string>> cases = {
      {1 / 4294967040.0, ""},  // the largest float below 2^32 per unit
      {1 / 4294967295.0, none("2.3283064370807974e-10")},  // 2^32 as a float
      {1e-12, none("1e-12")},
      {1e12, none("1e+12")},
      {4e9, ""},
      {5e9, none("5e+09")},
      {0, "resolution=none (the output pitch changes with z)\n"}};
  for (double pitch = 3e-10; pitch < 4e9; pitch *= 1.7)
    cases.push_back({pitch, ""});
  for (const auto& [pitch, line] : cases) {
    SCOPED_TRACE(pitch);
    const FloatTiffRecord record{pitch, "", "", {}};
    StackWriter stack;
    ASSERT_EQ(stack.open(dir.dir, "s", {2, 1, 1},
                         {record, "the output pitch changes with z", 0}),
              "");
    ASSERT_EQ(stack.append(field.rows(), {}), "");
    ASSERT_EQ(stack.close(), "");
    ASSERT_EQ(saveFloatTiff(dir / "t.tif", field.rows(), 2, record), "");
    for (const char* file : {"s.tif", "t.tif"}) {
      TIFFSetWarningHandler(nullptr);
      TIFF* tiff = TIFFOpen((dir / file).c_str(), "r");
      const char* text = "";
      float perUnit = 0;
      TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text);
      const std::string description = text;
      const bool stored = TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &perUnit);
      TIFFClose(tiff);
      EXPECT_EQ(stored, line.empty() && pitch != 0);
      const bool inStack = file[0] == 's';
      if (!line.empty() && (inStack || pitch != 0)) {
        EXPECT_EQ(description.substr(description.size() - line.size()), line);
      }
      if (!stored) continue;
      const std::string bytes = readFile(dir / file);
      const std::uint32_t at = entry(bytes, 282).second;
      std::uint32_t fraction[2];
      std::memcpy(fraction, bytes.data() + at, 8);
      EXPECT_NEAR(double(fraction[0]) / fraction[1] * pitch, 1,
                  inStack ? 2.4e-10 : 6e-8);
    }
  }
}
