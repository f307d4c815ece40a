// Loading hologram pictures and saving result pictures at 512, 1024 and
// 2048: the program's scanline access and fast PNG level against one
// library call per pixel and zlib's default level, in the same run.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "access.h"
#include "images.h"
#include "pixel_reader.h"

namespace {

const std::string& scratch() {
  static const std::string dir = [] {
    const auto path =
        std::filesystem::temp_directory_path() / "holorecon_bench_images";
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return dir;
}

/// A reconstructed intensity: a bright object spot on speckle, whose
/// intensities are exponentially distributed, as in a real result picture.
RealField intensity(int n) {
  RealField field(n);
  std::mt19937 random(7);
  std::exponential_distribution<double> speckle(1.0);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const double di = (i - n / 2) / (0.1 * n);
      const double dj = (j - n / 3) / (0.1 * n);
      field[i][j] =
          speckle(random) * (1.0 + 20.0 * std::exp(-di * di - dj * dj));
    }
  }
  return field;
}

/// A hologram picture of edge n: straight fringes with noise, written as
/// 8-bit grey like a camera's, or as 24-bit grey.
std::string hologramPicture(int n, bool grey8) {
  const std::string path = scratch() + "/hologram_" + std::to_string(n) +
                           (grey8 ? "_grey8" : "_rgb24");
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, 8.0);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n) *
                                   static_cast<std::size_t>(n));
  RealField field(n);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      const double level =
          128.0 + 90.0 * std::cos(0.9 * x + 0.4 * y) + noise(random);
      const double clamped = std::fmin(255.0, std::fmax(0.0, level));
      pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(n) +
             static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(clamped);
      field[y][x] = clamped;
    }
  }
  if (grey8) {
    saveGreyPng8(path + ".png", pixels.data(), n, n);
  } else {
    saveImage(path, field.rows(), n, OutputOptions{false, 1.0});
  }
  return path + ".png";
}

void load(benchmark::State& state, bool grey8, bool perPixel) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = hologramPicture(n, grey8);
  for (auto _ : state) {
    RealField samples;
    int size = 0;
    std::ostringstream stream;
    const bool loaded = perPixel
                            ? bool(reference::samplesPerPixel(path, n, 0, 0))
                            : loadSquareImage(path, samples, size, stream);
    if (!loaded) {
      state.SkipWithError("load failed");
      break;
    }
    benchmark::DoNotOptimize(samples[0][0]);
  }
}

void save(benchmark::State& state, PixelAccess access,
          PngCompression compression) {
  const int n = static_cast<int>(state.range(0));
  const RealField values = intensity(n);
  const std::string name = scratch() + "/result_" + std::to_string(n);
  for (auto _ : state) {
    if (!saveImage(name, values.rows(), n, OutputOptions{true, 1.0}, access,
                   compression)) {
      state.SkipWithError("save failed");
      break;
    }
  }
  state.counters["kB"] =
      static_cast<double>(std::filesystem::file_size(name + ".png")) / 1024.0;
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
  b->Repetitions(5)->ReportAggregatesOnly(true);
}

BENCHMARK_CAPTURE(load, grey8_scanline, true, false)->Apply(sizes);
BENCHMARK_CAPTURE(load, grey8_per_pixel, true, true)->Apply(sizes);
BENCHMARK_CAPTURE(load, rgb24_scanline, false, false)->Apply(sizes);
BENCHMARK_CAPTURE(load, rgb24_per_pixel, false, true)->Apply(sizes);
BENCHMARK_CAPTURE(save, scanline_fastest, PixelAccess::Scanline,
                  PngCompression::Fastest)
    ->Apply(sizes);
BENCHMARK_CAPTURE(save, per_pixel_fastest, PixelAccess::PerPixel,
                  PngCompression::Fastest)
    ->Apply(sizes);
BENCHMARK_CAPTURE(save, scanline_zlib_default, PixelAccess::Scanline,
                  PngCompression::ZlibDefault)
    ->Apply(sizes);
BENCHMARK_CAPTURE(save, per_pixel_zlib_default, PixelAccess::PerPixel,
                  PngCompression::ZlibDefault)
    ->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
