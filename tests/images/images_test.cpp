// Hologram pictures in (every kind, windows, failures) and result pictures
// out (the grey mapping), and the round trip between the two.

#include "images.h"

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "inputs.h"
#include "library.h"
#include "listener.h"
#include "memory.h"
#include "picture.h"
#include "support.h"

using numerics::RealField;

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Errors = std::vector<std::string>;

/// 1 to 255, different for neighbours in x and in y: a zero sample can
/// only come from outside the picture.
int pattern(int x, int y) { return 1 + (3 * x + 7 * y) % 255; }

/// 24-bit picture with red pattern(x, y), green 255 - red and blue 0.
Picture patternPicture(int width, int height) {
  Picture picture(FreeImage_Allocate(width, height, 24));
  for (int i = 0; i < width * height; ++i) {
    const int x = i % width, y = i / width;
    RGBQUAD c{0, BYTE(255 - pattern(x, y)), BYTE(pattern(x, y)), 0};
    FreeImage_SetPixelColor(picture.get(), unsigned(x), unsigned(y), &c);
  }
  return picture;
}

void savePicture(const Picture& picture, FREE_IMAGE_FORMAT format,
                 const std::string& path) {
  ASSERT_TRUE(FreeImage_Save(format, picture.get(), path.c_str(), 0)) << path;
}

/// Samples of the n x n field further than tolerance from expected(r, c).
int mismatches(const RealField& samples, int n,
               const std::function<double(int, int)>& expected,
               double tolerance = 0) {
  int wrong = 0;
  for (int i = 0; i < n * n; ++i) {
    const double sample = samples[i / n][i % n];
    wrong += !(std::abs(sample - expected(i / n, i % n)) <= tolerance);
  }
  return wrong;
}

struct Listener : Vantor::SilentListener {
  Errors errors;
  void onError(const std::string& m) override { errors.push_back(m); }
};

/// The run's loadHologram, which gives the same outcome whoever listens;
/// the reports to onError.
Errors load(const std::string& path, RealField& samples, int& size,
            int preferredSize = 0, ClipType clip = ClipType::Center) {
  Experiment experiment;
  experiment.preferredSize = preferredSize;
  experiment.clipType = clip;
  RealField quiet;
  int quietSize = size;
  std::string bytes;
  Vantor::SilentListener silent;
  loadHologram(experiment, silent, path, quiet, quietSize, bytes);
  Listener listener;
  loadHologram(experiment, listener, path, samples, size, bytes);
  EXPECT_EQ(bool(quiet), listener.errors.empty());
  // What was decoded is what the run archives.
  if (samples.size() == size) {
    EXPECT_EQ(bytes, readFile(path));
  }
  return listener.errors;
}

// Every kind, saved under a misleading name, gives the red (or grey) of
// pixel (x, y) at samples[y - y0][x - x0]: the bottom line is row 0. Loaded
// whole (x0 = y0 = 0) and as a window from (1, 1), which splits packed bits.
TEST(Loading, EveryKindSamplesItsRedAtRowYColumnX) {
  const auto same = [](int level) { return double(level); };
  // FreeImage widens 8 bits to 16 by shifting, not by multiplying by 257.
  const auto wide = [](int level) { return level * 256 * 255 / 65535.0; };
  const auto red5 = [](int level) { return double((level >> 3) * 255 / 31); };
  const auto reversed = [](FIBITMAP* p) {  // palette red differs from index
    FIBITMAP* copy = FreeImage_Clone(p);
    for (int i = 0; i < 256; ++i)
      FreeImage_GetPalette(copy)[i].rgbRed = BYTE(255 - i);
    return copy;
  };
  // Name, made from the grey picture, conversion, format, sample of level.
  using Kind = std::tuple<const char*, bool, FIBITMAP* (*)(FIBITMAP*),
                          FREE_IMAGE_FORMAT, double (*)(int)>;
  const Kind kinds[] = {
      {"24-bit", false, FreeImage_Clone, FIF_PNG, same},
      {"32-bit alpha", false, FreeImage_ConvertTo32Bits, FIF_PNG, same},
      {"16-bit 5-6-5", false, FreeImage_ConvertTo16Bits565, FIF_BMP, red5},
      {"16-bit 5-5-5", false, FreeImage_ConvertTo16Bits555, FIF_BMP, red5},
      {"8-bit grey", true, FreeImage_Clone, FIF_PNG, same},
      {"8-bit palette", true, reversed, FIF_BMP,
       [](int level) { return 255.0 - level; }},
      {"4-bit grey", true, FreeImage_ConvertTo4Bits, FIF_BMP,
       [](int level) { return (level >> 4) * 17.0; }},
      {"1-bit", true, [](FIBITMAP* p) { return FreeImage_Threshold(p, 128); },
       FIF_BMP, [](int level) { return level >= 128 ? 255.0 : 0.0; }},
      {"16-bit grey", true, FreeImage_ConvertToUINT16, FIF_TIFF, wide},
      {"16-bit RGB", false, FreeImage_ConvertToRGB16, FIF_TIFF, wide},
      {"16-bit RGBA", false, FreeImage_ConvertToRGBA16, FIF_PNG, wide},
      {"float grey", true, FreeImage_ConvertToFloat, FIF_TIFF, same},
      {"float RGB", false, FreeImage_ConvertToRGBF, FIF_TIFF, same},
      {"float RGBA", false, FreeImage_ConvertToRGBAF, FIF_TIFF, same}};
  const int edge = 23;  // odd: lines carry padding
  const Picture colour = patternPicture(edge, edge);
  const Picture grey(FreeImage_GetChannel(colour.get(), FICC_RED));
  const ScratchDir dir;
  const std::string path = dir.path("kind.jpg");
  for (const auto& [name, fromGrey, convert, format, expected] : kinds) {
    savePicture(Picture(convert((fromGrey ? grey : colour).get())), format,
                path);
    for (const int n : {0, edge - 2}) {
      SCOPED_TRACE(testing::Message() << name << ", n " << n);
      RealField samples;
      int size = -1;
      ASSERT_EQ(load(path, samples, size, n), Errors{});
      ASSERT_EQ(size, n ? n : edge);
      const int at = n ? 1 : 0;
      const auto level = [&](int y, int x) {
        return expected(pattern(x + at, y + at));
      };
      EXPECT_EQ(mismatches(samples, size, level, 1e-4), 0);
    }
  }
}

// A little-endian TIFF, 4 x 4, 8-bit grey, with two private tags (65000,
// 65001) that no reader knows, as camera software writes them.
std::string tiffWithUnknownTags() {
  std::string t("II*\0\x08\0\0\0\x0b\0", 10);  // 11 entries follow
  const auto u16 = [&t](unsigned v) { t += {char(v), char(v >> 8)}; };
  const unsigned tags[][3] = {{256, 3, 4},   {257, 3, 4},  {258, 3, 8},
                              {259, 3, 1},   {262, 3, 1},  {273, 4, 146},
                              {277, 3, 1},   {278, 3, 4},  {279, 4, 16},
                              {65000, 4, 1}, {65001, 3, 7}};
  for (const auto& [tag, type, value] : tags)
    u16(tag), u16(type), u16(1), u16(0), u16(value), u16(0);
  t.append(4, '\0');  // no further directory; pixels start at 146
  for (int i = 0; i < 16; ++i) t.push_back(char(i * 16));
  return t;
}

// Every load through loadHologram: preferredSize chooses the mode and the
// window (sample [r][c] is pixel (x0 + c, y0 + r), zero off the picture),
// the size left behind is the mode's, a failure is one report whose first
// line is its text (at most one "Detail: " line of the library's follows)
// and leaves the caller's samples, and nothing reaches the console.
TEST(Loading, WindowsFailuresAndSizes) {
  using enum ClipType;
  const char* notLoaded = "The image couldn't be loaded\n";
  const char* sizeOne = "The image size couldn't be 1\n";
  const char* memory = "Not enough memory for the hologram\n";
  // File (a pattern picture if width > 0), width, height, preferredSize,
  // clipType, window origin x0 and y0, size after (from -7), error.
  using Case = std::tuple<const char*, int, int, int, ClipType, int, int, int,
                          const char*>;
  const Case cases[] = {
      {"w.dat", 2, 2, 0, Center, 0, 0, 2, nullptr},  // PNG named .dat
      {"w.dat", 640, 480, 1, Center, 319, 239, 1, nullptr},
      {"w.dat", 640, 480, 256, Left, 0, 112, 256, nullptr},
      {"w.dat", 640, 480, 256, Center, 192, 112, 256, nullptr},
      {"w.dat", 640, 480, 256, Right, 384, 112, 256, nullptr},
      {"w.dat", 640, 480, 512, Center, 64, -16, 512, nullptr},
      {"w.dat", 300, 255, 256, Center, 22, 0, 256, nullptr},  // -1 / 2
      {"w.dat", 200, 300, 256, Right, -56, 22, 256, nullptr},
      {"w.dat", 201, 100, 256, Center, -27, -78, 256, nullptr},  // -55 / 2
      {"camera.tif", 0, 0, 0, Center, 0, 0, 4, nullptr},  // libtiff warns
      {"missing.png", 0, 0, 0, Center, 0, 0, -7, notLoaded},
      {"noise.png", 0, 0, 0, Center, 0, 0, -7, notLoaded},
      {"cut.png", 0, 0, 0, Center, 0, 0, -7, notLoaded},
      {"cut.tif", 0, 0, 0, Center, 0, 0, -7, notLoaded},  // libtiff errs
      {"double.tif", 0, 0, 4, Center, 0, 0, 4, notLoaded},
      {"wide.png", 640, 480, 0, Center, 0, 0, -7, "The image must be square\n"},
      {"dot.png", 1, 1, 0, Center, 0, 0, 1, sizeOne},
      {"column.png", 1, 300, 128, Center, 0, 0, 128, sizeOne},
      {"fifo.png", 0, 0, 0, Center, 0, 0, -7, notLoaded},  // never opened
      {"folder.png", 0, 0, 0, Center, 0, 0, -7, notLoaded},
      {"neg.png", 8, 8, -3, Center, 0, 0, -3,
       "The preferred size must be positive\n"},
      {"huge.png", 8, 8, INT_MAX, Center, 0, 0, INT_MAX, memory}};
  const ScratchDir dir;
  std::ofstream(dir.path("camera.tif")) << tiffWithUnknownTags();
  std::ofstream(dir.path("cut.tif")) << tiffWithUnknownTags().substr(0, 40);
  std::ofstream(dir.path("noise.png")) << std::string(300, 'Z');
  savePicture(patternPicture(64, 64), FIF_PNG, dir.path("cut.png"));
  std::filesystem::resize_file(dir.path("cut.png"), 100);
  ASSERT_EQ(mkfifo(dir.path("fifo.png").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.path("folder.png"));
  savePicture(Picture(FreeImage_AllocateT(FIT_DOUBLE, 8, 8)), FIF_TIFF,
              dir.path("double.tif"));
  for (const auto& [file, width, height, n, clip, x0, y0, sizeAfter, error] :
       cases) {
    SCOPED_TRACE(testing::Message()
                 << file << " " << width << " x " << height << ", n " << n);
    // Without the system's word the allocation itself would be tried.
    if (error == memory && !availableMemoryBytes()) continue;
    const std::string path = dir.path(file);
    if (width > 0) savePicture(patternPicture(width, height), FIF_PNG, path);
    RealField samples(2);
    samples[1][1] = 42.0;
    int size = -7;
    CaptureStderr();
    const Errors errors = load(path, samples, size, n, clip);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(size, sizeAfter);
    ASSERT_EQ(errors.size(), error ? 1U : 0U) << testing::PrintToString(errors);
    ASSERT_EQ(samples.size(), error ? 2 : size);
    const auto pixel = [&](int r, int c) {
      const int x = x0 + c, y = y0 + r;
      return x >= 0 && x < width && y >= 0 && y < height ? pattern(x, y) : 0;
    };
    if (error == nullptr) {  // camera.tif has no pattern
      EXPECT_EQ(width > 0 ? mismatches(samples, size, pixel) : 0, 0);
      // The extent is the rectangle of the samples from pixels.
      PictureExtent on{-1, -1, -1, -1};
      std::ostringstream quiet;
      ASSERT_TRUE(n ? loadClippedImage(path, samples, n, clip, quiet, &on)
                    : loadSquareImage(path, samples, size, quiet, &on));
      const auto inside = [&](int r, int c) {
        return r >= on.row && r < on.row + on.rows && c >= on.column &&
               c < on.column + on.columns;
      };
      int wrong = 0;
      for (int i = 0; i < size * size; ++i) {
        const int r = i / size, c = i % size;
        wrong += inside(r, c) != (width == 0 || pixel(r, c) != 0);
      }
      EXPECT_EQ(wrong, 0);
      continue;
    }
    EXPECT_EQ(samples[1][1], 42.0);
    ASSERT_EQ(errors[0].rfind(error, 0), 0U) << errors[0];
    const std::string rest = errors[0].substr(std::string(error).size());
    EXPECT_TRUE(rest.empty() || (rest.rfind("Detail: ", 0) == 0 &&
                                 rest.find('\n') == rest.size() - 1))
        << rest;
  }
}

/// The pages as one TIFF, through FreeImage's own multi-page writer (whose
/// libtiff complains on stderr about the EXIF tags it does not know).
void saveTiffPages(const std::vector<Picture>& pages, const std::string& path) {
  const QuietStderr quiet;
  FIMULTIBITMAP* file =
      FreeImage_OpenMultiBitmap(FIF_TIFF, path.c_str(), TRUE, FALSE, TRUE, 0);
  for (const Picture& page : pages) FreeImage_AppendPage(file, page.get());
  ASSERT_TRUE(FreeImage_CloseMultiBitmap(file, 0)) << path;
}

// Page k of a TIFF of every kind holds pattern(x + 5 k, y): each page loads
// as its own picture in both modes, page 0 exactly as the single-picture
// loaders load the file; the fingerprint tells the pages apart but not two
// windows of one page.
TEST(Pages, EachPageOfATiffLoadsAsItsOwnPicture) {
  const auto same = [](int level) { return double(level); };
  const auto wide = [](int level) { return level * 256 * 255 / 65535.0; };
  using Kind =
      std::tuple<const char*, bool, FIBITMAP* (*)(FIBITMAP*), double (*)(int)>;
  const Kind kinds[] = {{"8-bit grey", true, FreeImage_Clone, same},
                        {"24-bit", false, FreeImage_Clone, same},
                        {"16-bit grey", true, FreeImage_ConvertToUINT16, wide},
                        {"16-bit RGB", false, FreeImage_ConvertToRGB16, wide},
                        {"float grey", true, FreeImage_ConvertToFloat, same}};
  const int edge = 23, n = 9, pages = 3;
  const ScratchDir dir;
  const std::string path = dir.path("series.tif");
  for (const auto& [name, fromGrey, convert, expected] : kinds) {
    SCOPED_TRACE(name);
    std::vector<Picture> written;
    for (int k = 0; k < pages; ++k) {
      const Picture colour = patternPicture(edge + 5 * k, edge);
      const Picture cut(
          FreeImage_Copy(colour.get(), 5 * k, 0, edge + 5 * k, edge));
      const Picture grey(FreeImage_GetChannel(cut.get(), FICC_RED));
      written.emplace_back(convert((fromGrey ? grey : cut).get()));
    }
    saveTiffPages(written, path);
    PageReader reader;
    std::ostringstream errors;
    ASSERT_TRUE(reader.open(path, errors)) << errors.str();
    ASSERT_EQ(reader.pageCount(), pages);
    std::set<std::string> prints;
    for (int k = 0; k < pages; ++k) {
      PictureFrame whole, window;
      ASSERT_TRUE(reader.read(k, 0, ClipType::Center, whole, errors));
      ASSERT_TRUE(reader.read(k, n, ClipType::Right, window, errors));
      // FreeImage's y runs from the bottom; the copy's top is the bottom line.
      const auto level = [&](int y, int x) {
        return expected(pattern(x + 5 * k, y));
      };
      EXPECT_EQ(mismatches(whole.samples, edge, level, 1e-4), 0);
      EXPECT_EQ(mismatches(
                    window.samples, n,
                    [&](int r, int c) {
                      return level(r + (edge - n) / 2, c + edge - n);
                    },
                    1e-4),
                0);
      EXPECT_EQ(whole.sha256, window.sha256);
      prints.insert(whole.sha256);
      if (k > 0) continue;
      RealField single;
      int size = 0;
      PictureExtent extent;
      ASSERT_TRUE(loadSquareImage(path, single, size, errors, &extent));
      EXPECT_EQ(mismatches(single, edge,
                           [&](int r, int c) { return whole.samples[r][c]; }),
                0);
      EXPECT_EQ(
          std::tie(extent.row, extent.column, extent.rows, extent.columns),
          std::tie(whole.extent.row, whole.extent.column, whole.extent.rows,
                   whole.extent.columns));
    }
    EXPECT_EQ(prints.size(), 3U);
  }
}

// Three 16 x 16 grey pages written by libtiff, then damaged: how many pages
// each file lists, and what reading page 1 gives. Page 1 also loads from a
// big-endian BigTIFF, and the only picture of a PNG is its page 0.
TEST(Pages, ChainsAndFailuresOfTheFile) {
  const ScratchDir dir;
  for (const char* mode : {"w", "w8b"}) {
    TIFF* tiff = TIFFOpen(dir.path(mode).c_str(), mode);
    for (int k = 0; k < 3; ++k) {
      TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 16U);
      TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 16U);
      TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
      TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      for (int y = 0; y < 16; ++y) {  // TIFF's line 0 is the top one
        std::uint8_t line[16];
        for (int x = 0; x < 16; ++x)
          line[x] = std::uint8_t(pattern(x, 15 - y) + k);
        TIFFWriteScanline(tiff, line, std::uint32_t(y), 0);
      }
      TIFFWriteDirectory(tiff);
    }
    TIFFClose(tiff);
  }
  const std::string good = readFile(dir.path("w"));
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, good.data() + at, 4);
    return v;
  };
  // Page k's directory, and where its link to the next one is.
  std::vector<std::uint32_t> at{u32(4)}, link;
  for (int k = 0; k < 3; ++k) {
    link.push_back(at[k] + 2 + 12 * std::uint8_t(good[at[k]]));
    at.push_back(u32(link[k]));
  }
  ASSERT_EQ(at[3], 0U);
  const auto patched = [](std::string file, std::size_t offset,
                          const std::string& bytes) {
    return file.replace(offset, bytes.size(), bytes);
  };
  // Type LONG, count 1, 100000: page 1's width, then its height.
  std::string huge("\4\0\1\0\0\0", 6);
  huge += le32(100000);
  std::string topLine;  // page 1's, to change one pixel of it
  for (int x = 0; x < 16; ++x) topLine += char(pattern(x, 15) + 1);
  const std::string notLoaded = "The image couldn't be loaded\nDetail: ";
  // File, pages listed, what reading page 1 writes (empty: it loads).
  const std::tuple<std::string, int, std::string> cases[] = {
      {good, 3, ""},
      {patched(good, link[2], le32(at[0])), 3, ""},     // a loop
      {patched(good, link[1], le32(1u << 30)), 2, ""},  // past the end
      {patched(good, good.find(topLine), "*"), 3, ""},
      {patched(patched(good, at[1] + 4, huge), at[1] + 16, huge), 3,
       notLoaded + "the picture claims 100000 x 100000 pixels, more than "
                   "can be held in memory\n"},
      {readFile(dir.path("w8b")), 3, ""},
      {"", 0, notLoaded + "not a regular file\n"}};  // a FIFO
  std::set<std::string> prints;
  for (const auto& [bytes, pages, read] : cases) {
    SCOPED_TRACE(testing::Message() << &bytes - &std::get<0>(cases[0]));
    const std::string path = dir.write("x.tif", bytes);
    if (bytes.empty()) fs::remove(path), mkfifo(path.c_str(), 0600);
    PageReader reader;
    std::ostringstream errors;
    EXPECT_EQ(reader.open(path, errors), pages > 0);
    EXPECT_EQ(reader.pageCount(), pages);
    PictureFrame frame;
    if (pages > 0) {
      EXPECT_EQ(reader.read(1, 0, ClipType::Center, frame, errors),
                read.empty());
    }
    EXPECT_EQ(errors.str(), read);
    if (!read.empty()) continue;
    EXPECT_LE(mismatches(frame.samples, 16,
                         [](int r, int c) { return pattern(c, r) + 1.0; }),
              1);
    prints.insert(frame.sha256);
  }
  EXPECT_EQ(prints.size(), 2U);  // only page 1's pixel changed it
  PageReader reader;
  std::ostringstream errors;
  savePicture(patternPicture(8, 8), FIF_PNG, dir.path("p.png"));
  ASSERT_TRUE(reader.open(dir.path("p.png"), errors));
  PictureFrame frame;
  EXPECT_EQ(reader.pageCount(), 1);
  EXPECT_TRUE(reader.read(0, 4, ClipType::Left, frame, errors));
  EXPECT_EQ(mismatches(frame.samples, 4,
                       [](int r, int c) { return pattern(c, r + 2); }),
            0);
  EXPECT_FALSE(reader.read(1, 4, ClipType::Left, frame, errors));
  EXPECT_EQ(errors.str(), notLoaded + "the file has no page 2\n");
}

TEST(Loading, EveryRecordedHologramLoadsWithItsSize) {
  const std::string data = HOLORECON_SOURCE_DIR "/../shared/data/";
  if (!std::filesystem::exists(data + "README.md")) GTEST_SKIP() << data;
  // The size each gives; the negative ones as a window of that size.
  const std::pair<const char*, int> recorded[] = {
      {"pydhm/die_1.jpg", 512},
      {"pydhm/horse.bmp", -1024},
      {"pydhm/usaf_1_cut.jpg", 1080},
      {"pydhm/usaf_2_cut.jpg", 1080},
      {"pydhm/I0_Fresnel_Lens.bmp", 1024},  // JPEG behind a BMP name
      {"pydhm/RBC.jpg", 1023},
      {"qpretrieve/hologram_cell_data.png", -200},
      {"qpretrieve/hologram_cell_bg.png", -200}};
  for (const auto& [file, expected] : recorded) {
    SCOPED_TRACE(file);
    RealField samples;
    int size = 0;
    ASSERT_EQ(load(data + file, samples, size, std::max(0, -expected)),
              Errors{});
    ASSERT_EQ(size, std::abs(expected));
    // Fringes: grey levels, and not all alike.
    const auto [lo, hi] =
        std::minmax_element(samples[size / 2], samples[size / 2] + size);
    EXPECT_TRUE(*lo >= 0.0 && *hi <= 255.0 && *hi - *lo > 20.0)
        << *lo << " to " << *hi;
  }
}

}  // namespace
