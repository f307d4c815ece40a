// Reading hologram pictures: what each kind of picture samples to, where
// the window lies, and how every failure is reported.

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <vector>

#include "images/images.h"
#include "images/picture.h"
#include "pictures.h"

namespace {

// Every kind, saved and loaded whole, gives the red (or grey) of pixel
// (x, y) at samples[y][x]: the bottom line is row 0.
TEST(PictureKinds, EveryKindSamplesItsRedAtRowYColumnX) {
  struct Kind {
    const char* name;
    bool fromGrey;
    FIBITMAP* (*convert)(FIBITMAP*);
    FREE_IMAGE_FORMAT format;
    double (*expected)(int level);
  };
  const auto same = [](int level) { return double(level); };
  // FreeImage widens 8 bits to 16 by shifting, not by multiplying by 257.
  const auto wide = [](int level) { return level * 256 * 255 / 65535.0; };
  const auto reversed = [](FIBITMAP* p) {
    // Red differs from the index: the sample is the palette colour's red.
    FIBITMAP* copy = FreeImage_Clone(p);
    RGBQUAD* palette = FreeImage_GetPalette(copy);
    for (int i = 0; i < 256; ++i)
      palette[i].rgbRed = static_cast<BYTE>(255 - i);
    return copy;
  };
  const Kind kinds[] = {
      {"24-bit", false, FreeImage_Clone, FIF_PNG, same},
      {"32-bit with alpha", false, FreeImage_ConvertTo32Bits, FIF_PNG, same},
      {"8-bit grey", true, FreeImage_Clone, FIF_PNG, same},
      {"8-bit palette", true, reversed, FIF_BMP,
       [](int level) { return 255.0 - level; }},
      {"1-bit", true, [](FIBITMAP* p) { return FreeImage_Threshold(p, 128); },
       FIF_BMP, [](int level) { return level >= 128 ? 255.0 : 0.0; }},
      {"16-bit grey", true, FreeImage_ConvertToUINT16, FIF_TIFF, wide},
      {"16-bit RGB", false, FreeImage_ConvertToRGB16, FIF_TIFF, wide},
      {"16-bit RGBA", false, FreeImage_ConvertToRGBA16, FIF_PNG, wide},
      {"float grey", true, FreeImage_ConvertToFloat, FIF_TIFF, same},
      {"float RGB", false, FreeImage_ConvertToRGBF, FIF_TIFF, same},
      {"float RGBA", false, FreeImage_ConvertToRGBAF, FIF_TIFF, same},
  };
  const int edge = 23;  // odd: lines carry padding, packed bits split
  const Picture colour = patternPicture(edge, edge);
  const Picture grey(FreeImage_GetChannel(colour.get(), FICC_RED));
  const ScratchDir dir;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const std::string path = dir.path("kind");
    savePicture(
        Picture(kind.convert((kind.fromGrey ? grey : colour).get())).get(),
        kind.format, path);
    RealField samples;
    int size = -1;
    std::ostringstream stream;
    ASSERT_TRUE(loadSquareImage(path, samples, size, stream)) << stream.str();
    ASSERT_EQ(size, edge);
    int wrong = 0;
    for (int y = 0; y < edge; ++y) {
      for (int x = 0; x < edge; ++x) {
        wrong += std::abs(samples[y][x] - kind.expected(pattern(x, y))) > 1e-4;
      }
    }
    EXPECT_EQ(wrong, 0) << "[0][1] is " << samples[0][1];
  }
}

// Scanline reading against FreeImage's per-pixel calls on random pixels and
// windows over every edge: unpacking bits, nibbles and 16-bit words by hand
// is where an off-by-one would hide.
TEST(ScanlineReading, MatchesPerPixelCallsForEveryBitmapDepth) {
  const int width = 37;
  const int height = 29;
  Picture random(FreeImage_Allocate(width, height, 24));
  std::mt19937 engine(42);
  for (int y = 0; y < height; ++y) {
    BYTE* line = FreeImage_GetScanLine(random.get(), y);
    for (int i = 0; i < 3 * width; ++i) line[i] = static_cast<BYTE>(engine());
  }
  FIBITMAP* r = random.get();
  std::vector<std::pair<const char*, Picture>> depths;
  depths.emplace_back("1", FreeImage_Threshold(r, 100));
  depths.emplace_back("4", FreeImage_ConvertTo4Bits(r));
  depths.emplace_back("8", FreeImage_ColorQuantize(r, FIQ_WUQUANT));
  depths.emplace_back("16 (5-6-5)", FreeImage_ConvertTo16Bits565(r));
  depths.emplace_back("16 (5-5-5)", FreeImage_ConvertTo16Bits555(r));
  depths.emplace_back("24", FreeImage_Clone(r));
  depths.emplace_back("32", FreeImage_ConvertTo32Bits(r));
  struct Window {
    int n, x0, y0;
  };
  const Window windows[] = {{width, 0, 0}, {16, 5, 3},    {64, -13, -17},
                            {8, 33, 25},   {20, -19, 20}, {3, 40, 0}};
  for (const auto& [name, picture] : depths) {
    ASSERT_NE(picture, nullptr) << name;
    for (const Window& w : windows) {
      SCOPED_TRACE(std::string(name) + " bits, n " + std::to_string(w.n) +
                   " at " + std::to_string(w.x0) + "," + std::to_string(w.y0));
      RealField fast;
      RealField slow;
      std::ostringstream stream;
      ASSERT_TRUE(readSamples(picture.get(), fast, w.n, w.x0, w.y0, stream, {},
                              PixelAccess::Scanline));
      ASSERT_TRUE(readSamples(picture.get(), slow, w.n, w.x0, w.y0, stream, {},
                              PixelAccess::PerPixel));
      int differing = 0;
      for (int row = 0; row < w.n; ++row) {
        for (int c = 0; c < w.n; ++c) differing += fast[row][c] != slow[row][c];
      }
      EXPECT_EQ(differing, 0);
    }
  }
}

// Sample [r][c] is pixel (x0 + c, y0 + r), and zero outside the picture.
TEST(WindowPlacement, WindowOriginAndZerosOutsideThePicture) {
  struct Case {
    int width, height, n;
    ClipType clip;
    int x0, y0;
  };
  const Case cases[] = {
      {640, 480, 1, ClipType::Center, 319, 239},
      {640, 480, 256, ClipType::Left, 0, 112},
      {640, 480, 256, ClipType::Center, 192, 112},
      {640, 480, 256, ClipType::Right, 384, 112},
      {640, 480, 512, ClipType::Center, 64, -16},
      {300, 255, 256, ClipType::Center, 22, 0},  // (255 - 256) / 2 is 0
      {200, 300, 256, ClipType::Right, -56, 22},
      {201, 100, 256, ClipType::Center, -27, -78},  // -55 / 2 is -27
  };
  const ScratchDir dir;
  for (const Case& w : cases) {
    SCOPED_TRACE(std::to_string(w.width) + " x " + std::to_string(w.height) +
                 ", n " + std::to_string(w.n));
    const std::string path = dir.path("window.png");
    savePicture(patternPicture(w.width, w.height).get(), FIF_PNG, path);
    RealField samples;
    std::ostringstream stream;
    ASSERT_TRUE(loadClippedImage(path, samples, w.n, w.clip, stream));
    int wrong = 0;
    for (int r = 0; r < w.n; ++r) {
      for (int c = 0; c < w.n; ++c) {
        const int x = w.x0 + c;
        const int y = w.y0 + r;
        const bool inside = x >= 0 && x < w.width && y >= 0 && y < w.height;
        wrong += samples[r][c] != (inside ? pattern(x, y) : 0);
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

// Each failure: its text as the first line (at most one "Detail: " line
// of the library's may follow), the size left behind, the caller's
// samples untouched.
TEST(LoadFailures, EachFailureWritesItsTextAndLeavesTheSamples) {
  const auto picture = [](int width, int height) {
    return [=](const std::string& p) {
      savePicture(patternPicture(width, height).get(), FIF_PNG, p);
    };
  };
  const auto cut = [picture](const std::string& p) {
    picture(64, 64)(p);
    const std::string whole = readFile(p);
    writeFile(p, whole.substr(0, whole.size() / 3));
  };
  const auto bytes = [](std::string content) {
    return [=](const std::string& p) { writeFile(p, content); };
  };
  const auto typed = [](FREE_IMAGE_TYPE type) {
    return [=](const std::string& p) {
      savePicture(Picture(FreeImage_AllocateT(type, 8, 8)).get(), FIF_TIFF, p);
    };
  };
  struct Case {
    const char* file;
    std::function<void(const std::string&)> make;
    int n;  // 0: whole picture; size starts at -7
    int sizeAfter;
    const char* text;
  };
  const char* notLoaded = "The image couldn't be loaded\n";
  const char* sizeOne = "The image size couldn't be 1\n";
  const Case cases[] = {
      {"missing.png", bytes(""), 0, -7, notLoaded},  // made, then removed
      {"missing.png", bytes(""), 64, 64, notLoaded},
      {"noise.xyz", bytes(std::string(300, 'Z')), 0, -7, notLoaded},
      {"noise.png", bytes(std::string(300, 'Z')), 0, -7, notLoaded},
      {"empty.png", bytes(""), 16, 16, notLoaded},
      {"cut.png", cut, 0, -7, notLoaded},
      {"int32.tif", typed(FIT_INT32), 0, -7, notLoaded},
      {"double.tif", typed(FIT_DOUBLE), 4, 4, notLoaded},
      {"wide.png", picture(640, 480), 0, -7, "The image must be square\n"},
      {"dot.png", picture(1, 1), 0, 1, sizeOne},
      {"column.png", picture(1, 300), 128, 128, sizeOne},
      {"line.png", picture(300, 1), 128, 128, sizeOne},
      {"neg.png", picture(8, 8), -3, -3,
       "The preferred size must be positive\n"},
  };
  const ScratchDir dir;
  for (const Case& f : cases) {
    SCOPED_TRACE(f.file);
    const std::string path = dir.path(f.file);
    f.make(path);
    if (std::string(f.file) == "missing.png") std::filesystem::remove(path);
    RealField samples(2);
    samples[1][1] = 42.0;
    std::ostringstream stream;
    int size = f.n == 0 ? -7 : f.n;
    EXPECT_FALSE(f.n == 0 ? loadSquareImage(path, samples, size, stream)
                          : loadClippedImage(path, samples, size,
                                             ClipType::Center, stream));
    EXPECT_EQ(size, f.sizeAfter);
    ASSERT_EQ(samples.size(), 2);
    EXPECT_EQ(samples[1][1], 42.0);
    const std::string text = stream.str();
    ASSERT_EQ(text.rfind(f.text, 0), 0U) << text;
    const std::string rest = text.substr(std::string(f.text).size());
    EXPECT_TRUE(rest.empty() || (rest.rfind("Detail: ", 0) == 0 &&
                                 rest.find('\n') == rest.size() - 1))
        << rest;
  }
}

TEST(FormatDetection, ContentDecidesOverTheFileName) {
  const ScratchDir dir;
  for (const char* file : {"picture.dat", "picture.jpg", "picture"}) {
    SCOPED_TRACE(file);
    savePicture(patternPicture(6, 6).get(), FIF_PNG, dir.path(file));
    RealField samples;
    int size = 0;
    std::ostringstream stream;
    ASSERT_TRUE(loadSquareImage(dir.path(file), samples, size, stream));
    EXPECT_EQ(samples[5][4], pattern(4, 5));
  }
}

// A little-endian TIFF, 4 x 4, 8-bit grey, with two private tags (65000,
// 65001) that no reader knows, as camera software writes them.
std::string tiffWithUnknownTags() {
  std::string t("II*\0\x08\0\0\0", 8);
  const auto u16 = [&t](unsigned v) { t += {char(v), char(v >> 8)}; };
  const unsigned tags[][3] = {{256, 3, 4},   {257, 3, 4},  {258, 3, 8},
                              {259, 3, 1},   {262, 3, 1},  {273, 4, 146},
                              {277, 3, 1},   {278, 3, 4},  {279, 4, 16},
                              {65000, 4, 1}, {65001, 3, 7}};
  u16(11);
  for (const auto& [tag, type, value] : tags) {
    u16(tag), u16(type), u16(1), u16(0), u16(value), u16(0);
  }
  t.append(4, '\0');  // no further directory; pixels start at 146
  for (int i = 0; i < 16; ++i) t.push_back(char(i * 16));
  return t;
}

TEST(LibraryChatter, TiffWithUnknownTagsLoadsWithoutPrinting) {
  const ScratchDir dir;
  const std::string path = dir.path("camera.tif");
  writeFile(path, tiffWithUnknownTags());
  // Unguarded, libtiff has something to say about this file.
  EXPECT_NE(captureStderr(
                [&] { Picture(FreeImage_Load(FIF_TIFF, path.c_str(), 0)); }),
            "");
  RealField samples;
  int size = 0;
  std::ostringstream stream;
  bool loaded = false;
  EXPECT_EQ(captureStderr(
                [&] { loaded = loadSquareImage(path, samples, size, stream); }),
            "");
  ASSERT_TRUE(loaded) << stream.str();
  EXPECT_EQ(samples[0][3], 240.0);  // the last pixel of the file
  // The guard gives stderr back.
  EXPECT_EQ(captureStderr([] { std::fputs("after\n", stderr); }), "after\n");
  // A broken one fails as quietly.
  writeFile(path, tiffWithUnknownTags().substr(0, 40));
  EXPECT_EQ(captureStderr([&] {
              EXPECT_FALSE(loadSquareImage(path, samples, size, stream));
            }),
            "");
}

TEST(RecordedHolograms, EveryOneLoadsWithItsSize) {
  const std::string data = HOLORECON_SOURCE_DIR "/../shared/data/";
  if (!std::filesystem::exists(data + "README.md")) {
    GTEST_SKIP() << "no recorded holograms at " << data;
  }
  struct Recorded {
    const char* file;
    int n;  // 0: whole picture, else the window and the expected size
    int size;
  };
  const Recorded recorded[] = {
      {"pydhm/die_1.jpg", 0, 512},
      {"pydhm/horse.bmp", 1024, 1024},
      {"pydhm/usaf_1_cut.jpg", 0, 1080},
      {"pydhm/usaf_2_cut.jpg", 0, 1080},
      {"pydhm/I0_Fresnel_Lens.bmp", 0, 1024},  // JPEG behind a BMP name
      {"pydhm/RBC.jpg", 0, 1023},
      {"qpretrieve/hologram_cell_data.png", 200, 200},
      {"qpretrieve/hologram_cell_bg.png", 200, 200},
  };
  for (const Recorded& r : recorded) {
    SCOPED_TRACE(r.file);
    RealField samples;
    int size = r.n;
    std::ostringstream stream;
    const std::string path = data + r.file;
    ASSERT_TRUE(r.n == 0 ? loadSquareImage(path, samples, size, stream)
                         : loadClippedImage(path, samples, r.n,
                                            ClipType::Center, stream))
        << stream.str();
    EXPECT_EQ(size, r.size);
    ASSERT_EQ(samples.size(), r.size);
    // Fringes: grey levels, and not all alike.
    const auto [lo, hi] =
        std::minmax_element(samples[size / 2], samples[size / 2] + size);
    EXPECT_GE(*lo, 0.0);
    EXPECT_LE(*hi, 255.0);
    EXPECT_GT(*hi - *lo, 20.0);
  }
}

}  // namespace
