// Reading hologram pictures: what each kind of picture samples to, where
// the window lies, and how every failure is reported.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <sstream>
#include <vector>

#include "images/images.h"
#include "images/picture.h"
#include "pictures.h"

namespace {

/// Non-zero everywhere, different for neighbours in x and in y, so a zero
/// sample can only come from outside the picture.
int pattern(int x, int y) { return 1 + (3 * x + 7 * y) % 255; }

RGBQUAD patternColour(int x, int y) {
  const int red = pattern(x, y);
  return rgb(red, 255 - red, (red * 5) % 256);
}

// ---------------------------------------------------------------------------
// Picture kinds: each kind saved to a file and loaded whole gives the red
// (or grey) value of every pixel at samples[y][x].

struct KindCase {
  const char* name;
  std::function<Picture()> make;
  FREE_IMAGE_FORMAT format;
  const char* file;
  std::function<double(int x, int y)> expected;
};

constexpr int kEdge = 23;  // odd, so rows carry padding and packed bits split

std::vector<KindCase> kindCases() {
  const auto colour = [](int x, int y) { return patternColour(x, y); };
  const auto red = [](int x, int y) { return double(pattern(x, y)); };
  // A palette whose red differs from its green and blue: the sample must
  // be the red of the pixel's colour, not its index or a luminance.
  const auto oddPalette = [](int i) { return rgb((i * 37) % 256, i, 255 - i); };
  const auto word = [](int x, int y) {
    return double(pattern(x, y) * 257 + x);
  };
  return {
      {"24-bit", [=] { return makeColourPicture(kEdge, kEdge, 24, colour); },
       FIF_PNG, "rgb.png", red},
      {"32-bit with alpha",
       [=] { return makeColourPicture(kEdge, kEdge, 32, colour); }, FIF_PNG,
       "rgba.png", red},
      {"8-bit palette",
       [=] {
         return makePalettePicture(kEdge, kEdge, 8, oddPalette,
                                   [](int x, int y) { return pattern(x, y); });
       },
       FIF_BMP, "palette8.bmp",
       [](int x, int y) { return double((pattern(x, y) * 37) % 256); }},
      {"8-bit grey",
       [=] {
         return makePalettePicture(
             kEdge, kEdge, 8, [](int i) { return rgb(i, i, i); },
             [](int x, int y) { return pattern(x, y); });
       },
       FIF_PNG, "grey8.png", red},
      {"4-bit palette",
       [=] {
         return makePalettePicture(
             kEdge, kEdge, 4, oddPalette,
             [](int x, int y) { return (x + 3 * y) % 16; });
       },
       FIF_BMP, "palette4.bmp",
       [](int x, int y) { return double(((x + 3 * y) % 16 * 37) % 256); }},
      {"1-bit",
       [=] {
         return makePalettePicture(
             kEdge, kEdge, 1,
             [](int i) { return i == 0 ? rgb(10, 0, 0) : rgb(250, 0, 0); },
             [](int x, int y) { return (x * x + y) % 3 == 0 ? 1 : 0; });
       },
       FIF_BMP, "mono.bmp",
       [](int x, int y) { return (x * x + y) % 3 == 0 ? 250.0 : 10.0; }},
      {"16-bit grey TIFF",
       [=] { return makeTypedPicture(FIT_UINT16, kEdge, kEdge, word); },
       FIF_TIFF, "grey16.tif",
       [=](int x, int y) { return word(x, y) * 255.0 / 65535.0; }},
      {"16-bit-per-channel colour TIFF",
       [=] { return makeTypedPicture(FIT_RGB16, kEdge, kEdge, word); },
       FIF_TIFF, "rgb16.tif",
       [=](int x, int y) { return word(x, y) * 255.0 / 65535.0; }},
      {"16-bit-per-channel colour with alpha PNG",
       [=] { return makeTypedPicture(FIT_RGBA16, kEdge, kEdge, word); },
       FIF_PNG, "rgba16.png",
       [=](int x, int y) { return word(x, y) * 255.0 / 65535.0; }},
      {"float grey TIFF",
       [=] {
         return makeTypedPicture(FIT_FLOAT, kEdge, kEdge, [](int x, int y) {
           return pattern(x, y) / 256.0;
         });
       },
       FIF_TIFF, "float.tif",
       [](int x, int y) { return pattern(x, y) / 256.0 * 255.0; }},
      {"float colour TIFF",
       [=] {
         return makeTypedPicture(FIT_RGBF, kEdge, kEdge, [](int x, int y) {
           return pattern(x, y) / 256.0;
         });
       },
       FIF_TIFF, "rgbf.tif",
       [](int x, int y) { return pattern(x, y) / 256.0 * 255.0; }},
  };
}

TEST(PictureKinds, EveryKindSamplesItsRedAtRowYColumnX) {
  const ScratchDir dir;
  for (const KindCase& kind : kindCases()) {
    SCOPED_TRACE(kind.name);
    const std::string path = dir.path(kind.file);
    savePicture(kind.make().get(), kind.format, path);
    RealField samples;
    int size = -1;
    std::ostringstream stream;
    ASSERT_TRUE(loadSquareImage(path, samples, size, stream)) << stream.str();
    EXPECT_EQ(stream.str(), "");
    ASSERT_EQ(size, kEdge);
    ASSERT_EQ(samples.size(), kEdge);
    int wrong = 0;
    for (int y = 0; y < kEdge; ++y) {
      for (int x = 0; x < kEdge; ++x) {
        if (samples[y][x] != kind.expected(x, y)) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0) << "e.g. [0][1] = " << samples[0][1] << ", expected "
                        << kind.expected(1, 0);
  }
}

// The bottom line of the picture is row 0. A PGM file is written by hand,
// top line first, so that the orientation is checked against the file
// itself and not against FreeImage's idea of it.
TEST(PictureKinds, FirstLineOfTheFileIsTheTopRow) {
  const ScratchDir dir;
  const std::string path = dir.path("rows.pgm");
  // 3 x 3: top line 10 20 30, middle 40 50 60, bottom 70 80 90.
  writeFile(path, std::string("P5\n3 3\n255\n") +
                      "\x0a\x14\x1e\x28\x32\x3c\x46\x50\x5a");
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  ASSERT_TRUE(loadSquareImage(path, samples, size, stream)) << stream.str();
  EXPECT_EQ(samples[0][0], 70.0);  // bottom-left
  EXPECT_EQ(samples[0][2], 90.0);
  EXPECT_EQ(samples[2][0], 10.0);  // top-left
  EXPECT_EQ(samples[1][1], 50.0);
}

TEST(PictureKinds, PurelyBlueAndGreenPicturesSampleZero) {
  const ScratchDir dir;
  const std::string path = dir.path("bluegreen.png");
  savePicture(
      makeColourPicture(
          4, 4, 24,
          [](int x, int) { return x % 2 ? rgb(0, 0, 255) : rgb(0, 255, 0); })
          .get(),
      FIF_PNG, path);
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  ASSERT_TRUE(loadSquareImage(path, samples, size, stream));
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) EXPECT_EQ(samples[r][c], 0.0);
  }
}

// ---------------------------------------------------------------------------
// Scanline reading against FreeImage's own per-pixel accessors, on random
// pixels and windows that hang over every edge: unpacking bits, nibbles and
// 16-bit words by hand is where an off-by-one would hide.

TEST(ScanlineReading, MatchesPerPixelCallsForEveryBitmapDepth) {
  std::mt19937 random(42);
  const auto any = [&random](int, int) {
    return rgb(int(random() % 256), int(random() % 256), int(random() % 256));
  };
  const auto anyIndex = [&random](int, int) { return double(random() % 256); };
  const auto anyPalette = [](int i) { return rgb((i * 97 + 13) % 256, 0, 0); };
  const int width = 37;
  const int height = 29;
  struct Depth {
    const char* name;
    Picture picture;
  };
  std::vector<Depth> depths;
  depths.push_back(
      {"1", makePalettePicture(width, height, 1, anyPalette, [&](int x, int y) {
         return double(int(anyIndex(x, y)) % 2);
       })});
  depths.push_back(
      {"4", makePalettePicture(width, height, 4, anyPalette, [&](int x, int y) {
         return double(int(anyIndex(x, y)) % 16);
       })});
  depths.push_back(
      {"8", makePalettePicture(width, height, 8, anyPalette, anyIndex)});
  depths.push_back({"16 (5-6-5)", make16BitPicture(width, height, true, any)});
  depths.push_back({"16 (5-5-5)", make16BitPicture(width, height, false, any)});
  depths.push_back({"24", makeColourPicture(width, height, 24, any)});
  depths.push_back({"32", makeColourPicture(width, height, 32, any)});
  struct Window {
    int n, x0, y0;
  };
  const Window windows[] = {{width, 0, 0}, {16, 5, 3},    {64, -13, -17},
                            {8, 33, 25},   {20, -19, 20}, {3, 40, 0}};
  for (const Depth& depth : depths) {
    for (const Window& w : windows) {
      SCOPED_TRACE(std::string(depth.name) + " bits, window n " +
                   std::to_string(w.n) + " at " + std::to_string(w.x0) + "," +
                   std::to_string(w.y0));
      RealField fast;
      RealField slow;
      std::ostringstream stream;
      ASSERT_TRUE(readSamples(depth.picture.get(), fast, w.n, w.x0, w.y0,
                              stream, {}, PixelAccess::Scanline));
      ASSERT_TRUE(readSamples(depth.picture.get(), slow, w.n, w.x0, w.y0,
                              stream, {}, PixelAccess::PerPixel));
      int differing = 0;
      for (int r = 0; r < w.n; ++r) {
        for (int c = 0; c < w.n; ++c) {
          if (fast[r][c] != slow[r][c]) ++differing;
        }
      }
      EXPECT_EQ(differing, 0);
    }
  }
}

// ---------------------------------------------------------------------------
// Window placement: sample [r][c] is pixel (x0 + c, y0 + r), zero outside.

struct WindowCase {
  int width, height, n;
  ClipType clip;
  int x0, y0;
};

TEST(WindowPlacement, WindowOriginAndZerosOutsideThePicture) {
  const WindowCase cases[] = {
      {640, 480, 1, ClipType::Center, 319, 239},
      {640, 480, 256, ClipType::Left, 0, 112},
      {640, 480, 256, ClipType::Center, 192, 112},
      {640, 480, 256, ClipType::Right, 384, 112},
      {640, 480, 512, ClipType::Center, 64, -16},
      {640, 480, 512, ClipType::Left, 0, -16},
      {300, 255, 256, ClipType::Center, 22, 0},  // (255 - 256) / 2 is 0
      {200, 300, 256, ClipType::Right, -56, 22},
      {200, 300, 256, ClipType::Left, 0, 22},
      {201, 100, 256, ClipType::Center, -27, -78},  // -55 / 2 is -27
  };
  const ScratchDir dir;
  for (const WindowCase& w : cases) {
    SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) +
                 ", n " + std::to_string(w.n) + ", clip " +
                 std::to_string(int(w.clip)));
    const std::string path = dir.path("window.png");
    savePicture(makeColourPicture(w.width, w.height, 24, patternColour).get(),
                FIF_PNG, path);
    RealField samples;
    std::ostringstream stream;
    ASSERT_TRUE(loadClippedImage(path, samples, w.n, w.clip, stream))
        << stream.str();
    ASSERT_EQ(samples.size(), w.n);
    int wrong = 0;
    for (int r = 0; r < w.n; ++r) {
      for (int c = 0; c < w.n; ++c) {
        const int x = w.x0 + c;
        const int y = w.y0 + r;
        const bool inside = x >= 0 && x < w.width && y >= 0 && y < w.height;
        if (samples[r][c] != (inside ? pattern(x, y) : 0)) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

// ---------------------------------------------------------------------------
// Failures: the text written, the size left behind, and no samples.

enum class Mode { Square, Clipped };

struct FailureCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  const char* file;
  Mode mode;
  int n;             // clipped mode
  int sizeAfter;     // size starts at -7 in square mode
  const char* text;  // first line, without its newline
};

std::string garbage() { return std::string(300, '\x5a'); }

std::vector<FailureCase> failureCases() {
  const auto picture = [](int width, int height) {
    return [=](const std::string& path) {
      savePicture(makeColourPicture(width, height, 24, patternColour).get(),
                  FIF_PNG, path);
    };
  };
  const auto truncatedPng = [picture](const std::string& path) {
    picture(64, 64)(path);
    const std::string whole = readFile(path);
    writeFile(path, whole.substr(0, whole.size() / 3));
  };
  const auto damagedJpeg = [](const std::string& path) {
    savePicture(makeColourPicture(32, 32, 24, patternColour).get(), FIF_JPEG,
                path);
    std::string bytes = readFile(path);
    for (std::size_t i = 20; i < bytes.size(); i += 7) bytes[i] = '\xff';
    writeFile(path, bytes.substr(0, bytes.size() / 2));
  };
  const auto none = [](const std::string&) {};
  const auto unsupported = [](FREE_IMAGE_TYPE type) {
    return [=](const std::string& path) {
      savePicture(
          makeTypedPicture(type, 8, 8, [](int, int) { return 3.0; }).get(),
          FIF_TIFF, path);
    };
  };
  const char* notLoaded = "The image couldn't be loaded";
  const char* notSquare = "The image must be square";
  const char* sizeOne = "The image size couldn't be 1";
  return {
      {"missing file", none, "missing.png", Mode::Square, 0, -7, notLoaded},
      {"missing file, clipped", none, "missing.png", Mode::Clipped, 64, 64,
       notLoaded},
      {"unknown content and name",
       [](const std::string& p) { writeFile(p, garbage()); }, "noise.xyz",
       Mode::Square, 0, -7, notLoaded},
      {"garbage named png",
       [](const std::string& p) { writeFile(p, garbage()); }, "noise.png",
       Mode::Square, 0, -7, notLoaded},
      {"empty file", [](const std::string& p) { writeFile(p, ""); },
       "empty.png", Mode::Clipped, 16, 16, notLoaded},
      {"truncated png", truncatedPng, "cut.png", Mode::Square, 0, -7,
       notLoaded},
      {"damaged jpeg", damagedJpeg, "bad.jpg", Mode::Square, 0, -7, notLoaded},
      {"32-bit integer samples", unsupported(FIT_INT32), "int32.tif",
       Mode::Square, 0, -7, notLoaded},
      {"double samples", unsupported(FIT_DOUBLE), "double.tif", Mode::Clipped,
       4, 4, notLoaded},
      {"not square", picture(640, 480), "wide.png", Mode::Square, 0, -7,
       notSquare},
      {"1 x 1", picture(1, 1), "dot.png", Mode::Square, 0, 1, sizeOne},
      {"1 x 300 clipped", picture(1, 300), "column.png", Mode::Clipped, 128,
       128, sizeOne},
      {"300 x 1 clipped", picture(300, 1), "line.png", Mode::Clipped, 128, 128,
       sizeOne},
      {"negative size", picture(8, 8), "neg.png", Mode::Clipped, -3, -3,
       "The preferred size must be positive"},
  };
}

TEST(LoadFailures, EachFailureWritesItsTextAndLeavesNoSamples) {
  const ScratchDir dir;
  for (const FailureCase& f : failureCases()) {
    SCOPED_TRACE(f.name);
    const std::string path = dir.path(f.file);
    f.make(path);
    RealField samples;
    std::ostringstream stream;
    bool loaded = true;
    int size = -7;
    if (f.mode == Mode::Square) {
      loaded = loadSquareImage(path, samples, size, stream);
    } else {
      size = f.n;
      loaded = loadClippedImage(path, samples, size, ClipType::Center, stream);
    }
    EXPECT_FALSE(loaded);
    EXPECT_FALSE(samples);
    EXPECT_EQ(size, f.sizeAfter);
    // The fixed text is the first line; at most one more line may follow,
    // the library's own explanation.
    const std::string text = stream.str();
    const std::string first = std::string(f.text) + "\n";
    ASSERT_EQ(text.substr(0, first.size()), first) << text;
    const std::string rest = text.substr(first.size());
    if (!rest.empty()) {
      EXPECT_EQ(rest.rfind("Detail: ", 0), 0U) << rest;
      EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;
    }
  }
}

TEST(LoadFailures, FailedLoadKeepsTheCallersSamples) {
  const ScratchDir dir;
  RealField samples(3);
  samples[1][1] = 42.0;
  int size = 3;
  std::ostringstream stream;
  EXPECT_FALSE(loadSquareImage(dir.path("missing.png"), samples, size, stream));
  ASSERT_EQ(samples.size(), 3);
  EXPECT_EQ(samples[1][1], 42.0);
}

TEST(LoadFailures, RefusedMemoryAllocatesNothing) {
  const ScratchDir dir;
  const std::string path = dir.path("p.png");
  savePicture(makeColourPicture(8, 8, 24, patternColour).get(), FIF_PNG, path);
  int asked = 0;
  const FitsInMemory refuse = [&asked](int n) {
    asked = n;
    return false;
  };
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  EXPECT_FALSE(loadSquareImage(path, samples, size, stream, refuse));
  EXPECT_EQ(asked, 8);
  EXPECT_FALSE(samples);
  EXPECT_EQ(stream.str(), "Not enough memory for the hologram\n");
}

// ---------------------------------------------------------------------------
// Format detection and library chatter.

TEST(FormatDetection, ContentDecidesOverTheFileName) {
  const ScratchDir dir;
  struct Named {
    FREE_IMAGE_FORMAT format;
    const char* file;
  };
  for (const Named& named :
       {Named{FIF_PNG, "picture.dat"}, Named{FIF_PNG, "picture.jpg"},
        Named{FIF_BMP, "picture"}}) {
    SCOPED_TRACE(named.file);
    const std::string path = dir.path(named.file);
    savePicture(makeColourPicture(6, 6, 24, patternColour).get(), named.format,
                path);
    RealField samples;
    int size = 0;
    std::ostringstream stream;
    ASSERT_TRUE(loadSquareImage(path, samples, size, stream)) << stream.str();
    EXPECT_EQ(size, 6);
    EXPECT_EQ(samples[5][4], pattern(4, 5));
  }
}

// A little-endian TIFF, 4 x 4, 8-bit grey, uncompressed, with two private
// tags that no reader knows.
std::string tiffWithUnknownTags() {
  std::string t = "II*";
  t.push_back('\0');
  const auto u16 = [&t](unsigned v) {
    t.push_back(char(v & 0xff));
    t.push_back(char(v >> 8));
  };
  const auto u32 = [&t, &u16](unsigned v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  u32(8);  // first directory right after the header
  const unsigned entries = 11;
  const unsigned pixelsAt = 8 + 2 + entries * 12 + 4;
  const auto entry = [&](unsigned tag, unsigned type, unsigned value) {
    u16(tag);
    u16(type);
    u32(1);
    if (type == 3) {
      u16(value);
      u16(0);
    } else {
      u32(value);
    }
  };
  u16(entries);
  entry(256, 3, 4);         // width
  entry(257, 3, 4);         // height
  entry(258, 3, 8);         // bits per sample
  entry(259, 3, 1);         // no compression
  entry(262, 3, 1);         // black is zero
  entry(273, 4, pixelsAt);  // strip offset
  entry(277, 3, 1);         // samples per pixel
  entry(278, 3, 4);         // rows per strip
  entry(279, 4, 16);        // strip bytes
  entry(65000, 4, 1234);    // unknown
  entry(65001, 3, 7);       // unknown
  u32(0);                   // no further directory
  for (int i = 0; i < 16; ++i) t.push_back(char(i * 16));
  return t;
}

TEST(LibraryChatter, TiffWithUnknownTagsLoadsWithoutPrinting) {
  const ScratchDir dir;
  const std::string path = dir.path("camera.tif");
  writeFile(path, tiffWithUnknownTags());
  // Without the guard, libtiff has something to say about this file.
  const std::string unguarded = captureStderr([&] {
    const Picture raw(FreeImage_Load(FIF_TIFF, path.c_str(), 0));
    EXPECT_NE(raw, nullptr);
  });
  EXPECT_NE(unguarded, "");
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  bool loaded = false;
  const std::string printed = captureStderr(
      [&] { loaded = loadSquareImage(path, samples, size, stream); });
  EXPECT_TRUE(loaded) << stream.str();
  EXPECT_EQ(printed, "");
  EXPECT_EQ(size, 4);
  EXPECT_EQ(samples[3][0], 0.0);  // first line of the file is the top
  EXPECT_EQ(samples[0][3], 240.0);
  // The guard puts stderr back: what is printed after the load arrives.
  EXPECT_EQ(captureStderr([] { std::fputs("after\n", stderr); }), "after\n");
}

TEST(LibraryChatter, FailedLoadsPrintNothing) {
  const ScratchDir dir;
  const std::string path = dir.path("bad.tif");
  std::string tiff = tiffWithUnknownTags();
  writeFile(path, tiff.substr(0, 40));
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  const std::string printed = captureStderr(
      [&] { EXPECT_FALSE(loadSquareImage(path, samples, size, stream)); });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(stream.str().rfind("The image couldn't be loaded\n", 0), 0U);
}

// ---------------------------------------------------------------------------
// Recorded holograms, when they are at hand.

TEST(RecordedHolograms, EveryOneLoadsWithItsSize) {
  const std::string data = HOLORECON_SOURCE_DIR "/../shared/data/";
  if (!std::filesystem::exists(data + "README.md")) {
    GTEST_SKIP() << "no recorded holograms at " << data;
  }
  struct Recorded {
    const char* file;
    int preferredSize;  // 0: whole picture
    int size;
  };
  const Recorded recorded[] = {
      {"pydhm/die_1.jpg", 0, 512},
      {"pydhm/horse.bmp", 1024, 1024},
      {"pydhm/usaf_1_cut.jpg", 0, 1080},
      {"pydhm/usaf_2_cut.jpg", 0, 1080},
      {"pydhm/I0_Fresnel_Lens.bmp", 0, 1024},
      {"pydhm/RBC.jpg", 0, 1023},
      {"qpretrieve/hologram_cell_data.png", 200, 200},
      {"qpretrieve/hologram_cell_bg.png", 200, 200},
  };
  for (const Recorded& r : recorded) {
    SCOPED_TRACE(r.file);
    RealField samples;
    int size = 0;
    std::ostringstream stream;
    bool loaded = false;
    const std::string printed = captureStderr([&] {
      loaded = r.preferredSize == 0
                   ? loadSquareImage(data + r.file, samples, size, stream)
                   : loadClippedImage(data + r.file, samples, r.preferredSize,
                                      ClipType::Center, stream);
      if (r.preferredSize != 0) size = r.preferredSize;
    });
    ASSERT_TRUE(loaded) << stream.str();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(size, r.size);
    ASSERT_EQ(samples.size(), r.size);
    // A hologram is fringes: its samples are grey levels and not all alike.
    double lo = 255.0;
    double hi = 0.0;
    for (int i = 0; i < size; ++i) {
      for (int j = 0; j < size; ++j) {
        lo = std::min(lo, samples[i][j]);
        hi = std::max(hi, samples[i][j]);
      }
    }
    EXPECT_GE(lo, 0.0);
    EXPECT_LE(hi, 255.0);
    EXPECT_GT(hi - lo, 20.0);
  }
}

}  // namespace
