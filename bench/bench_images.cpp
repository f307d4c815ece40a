// Loading hologram pictures at 512, 1024 and 2048: the program's scanline
// access against one library call per pixel. Writing result pictures at
// 1024: the program's PNG encoding against its other filters and deflate
// levels, against libpng at zlib level 1 (the program's writer before
// libdeflate) and against FreeImage's writer, in the same run.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "access.h"
#include "images.h"
#include "picture_baselines.h"
#include "pixel_reader.h"
#include "png_writer.h"
#include "reconstruction.h"
#include "simulation.h"

using numerics::Method;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::ReconstructionOutputs;

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

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(512)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);
  b->Repetitions(5)->ReportAggregatesOnly(true);
}

BENCHMARK_CAPTURE(load, grey8_scanline, true, false)->Apply(sizes);
BENCHMARK_CAPTURE(load, grey8_per_pixel, true, true)->Apply(sizes);
BENCHMARK_CAPTURE(load, rgb24_scanline, false, false)->Apply(sizes);
BENCHMARK_CAPTURE(load, rgb24_per_pixel, false, true)->Apply(sizes);
/// The result pictures written: a reconstruction of a simulated recording,
/// mostly dark around the bright object, its twin and the undiffracted
/// light, as most result pictures are; fully developed speckle spread over
/// the whole grey range, which hardly compresses; and a set of the sweep
/// bench/speed3 times, the angular spectrum of a noisy recording.
enum class Scene { Reconstruction, Speckle, Sweep };

constexpr int kPictureEdge = 1024;

struct ResultPicture {
  RealField values;
  OutputOptions options;
};

/// holosim's bars recorded as simulation says, reconstructed by method at
/// the recorded distance: the intensity, normalised.
ResultPicture reconstructedBars(const SimulationOptions& simulation,
                                Method method) {
  const RealField object = barsPattern(kPictureEdge);
  const RealField hologram = simulate(object.rows(), simulation).first;
  const Recording& r = simulation.recording;
  RealField intensity(kPictureEdge);
  ReconstructionOutputs outputs;
  outputs.intensity = intensity.rows();
  reconstruct(method, prepareHologram(hologram.rows(), kPictureEdge),
              {r.wavelength, r.angle, r.distance, r.pitch}, outputs);
  return {std::move(intensity), OutputOptions{true, 1.0}};
}

ResultPicture reconstruction() {
  SimulationOptions simulation;
  simulation.recording.size = kPictureEdge;
  // Far enough for the convolution's sampling at this edge; a rough object
  // and camera noise, as in a recording.
  simulation.recording.distance = 0.03;
  simulation.diffuse = true;
  simulation.noise = 2.0;
  return reconstructedBars(simulation, Method::convolution);
}

ResultPicture speckle() {
  RealField field(kPictureEdge);
  std::mt19937 random(7);
  std::exponential_distribution<double> intensity(1.0);
  for (int i = 0; i < kPictureEdge; ++i) {
    for (int j = 0; j < kPictureEdge; ++j) field[i][j] = intensity(random);
  }
  // Mean intensity at grey 80: a few per cent of the pixels saturate.
  return {std::move(field), OutputOptions{false, 80.0}};
}

// holosim --size 1024 --wavelength 6.328e-7 --pitch 6.8e-6 --distance 0.2
// --angle 0.01 --noise 13, reconstructed at its distance.
ResultPicture sweep() {
  SimulationOptions simulation;
  simulation.recording = {kPictureEdge, 6.328e-7, 6.8e-6, 0.2, 0.01};
  simulation.noise = 13.0;
  return reconstructedBars(simulation, Method::angularSpectrum);
}

const ResultPicture& picture(Scene scene) {
  static const ResultPicture pictures[] = {reconstruction(), speckle(),
                                           sweep()};
  return pictures[static_cast<int>(scene)];
}

void reportSize(benchmark::State& state, const std::string& path) {
  state.counters["kB"] =
      static_cast<double>(std::filesystem::file_size(path)) / 1024.0;
}

void program(benchmark::State& state, Scene scene, PngEncoding encoding) {
  const ResultPicture& p = picture(scene);
  const std::string name = scratch() + "/result_program";
  for (auto _ : state) {
    if (!saveImage(name, p.values.rows(), kPictureEdge, p.options, encoding)
             .empty()) {
      state.SkipWithError("save failed");
      break;
    }
  }
  reportSize(state, name + ".png");
}

void libpng(benchmark::State& state, Scene scene) {
  const ResultPicture& p = picture(scene);
  const std::string path = scratch() + "/result_libpng.png";
  for (auto _ : state) {
    if (!baseline::saveLibpngPng(path, p.values.rows(), kPictureEdge, p.options,
                                 1)) {
      state.SkipWithError("save failed");
      break;
    }
  }
  reportSize(state, path);
}

// The encoding alone, of rows already mapped to grey: the program's and
// libpng's at zlib level 1 (its encoding before libdeflate).
void encodeOnly(benchmark::State& state, Scene scene, bool before) {
  const ResultPicture& p = picture(scene);
  const std::vector<std::uint8_t> rows =
      baseline::greyRows(p.values.rows(), kPictureEdge, p.options);
  const std::size_t line = 3 * kPictureEdge;
  const PngRowSource fill = [&](int y, std::uint8_t* row) {
    std::memcpy(row, rows.data() + line * static_cast<std::size_t>(y), line);
  };
  std::string png;
  for (auto _ : state) {
    const bool encoded =
        before
            ? baseline::encodeLibpng(kPictureEdge, kPictureEdge, 3, rows.data(),
                                     1, png)
            : encodePng(kPictureEdge, kPictureEdge, 3, fill, kFastestPng, png)
                  .empty();
    if (!encoded) {
      state.SkipWithError("encoding failed");
      break;
    }
  }
  state.counters["kB"] = static_cast<double>(png.size()) / 1024.0;
}

void freeimage(benchmark::State& state, Scene scene, baseline::Pixels pixels,
               baseline::Zlib zlib) {
  const ResultPicture& p = picture(scene);
  const std::string path = scratch() + "/result_freeimage.png";
  for (auto _ : state) {
    if (!baseline::saveFreeImagePng(path, p.values.rows(), kPictureEdge,
                                    p.options, pixels, zlib)) {
      state.SkipWithError("save failed");
      break;
    }
  }
  reportSize(state, path);
}

void medians(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

using Filters = PngEncoding::Filters;

#define WRITERS(scene)                                                        \
  BENCHMARK_CAPTURE(libpng, scene##_none_zlib1_before, Scene::scene)          \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_none_level1_program, Scene::scene,       \
                    kFastestPng)                                              \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_none_level2, Scene::scene,               \
                    PngEncoding{Filters::None, 2})                            \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_none_level_default, Scene::scene,        \
                    PngEncoding{Filters::None, -1})                           \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_sub_level1, Scene::scene,                \
                    PngEncoding{Filters::Sub, 1})                             \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_up_level1, Scene::scene,                 \
                    PngEncoding{Filters::Up, 1})                              \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_paeth_level1, Scene::scene,              \
                    PngEncoding{Filters::Paeth, 1})                           \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_all_level1, Scene::scene,                \
                    PngEncoding{Filters::All, 1})                             \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(program, scene##_all_level_default, Scene::scene,         \
                    PngEncoding{Filters::All, -1})                            \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(freeimage, scene##_scanline_fastest_before, Scene::scene, \
                    baseline::Pixels::Scanline, baseline::Zlib::Fastest)      \
      ->Apply(medians);                                                       \
  BENCHMARK_CAPTURE(freeimage, scene##_per_pixel_default, Scene::scene,       \
                    baseline::Pixels::PerPixel, baseline::Zlib::Default)      \
      ->Apply(medians)

WRITERS(Reconstruction);
WRITERS(Speckle);
WRITERS(Sweep);

#define ENCODINGS(scene)                                                   \
  BENCHMARK_CAPTURE(encodeOnly, scene##_libpng_zlib1_before, Scene::scene, \
                    true)                                                  \
      ->Apply(medians);                                                    \
  BENCHMARK_CAPTURE(encodeOnly, scene##_program, Scene::scene, false)      \
      ->Apply(medians)

ENCODINGS(Reconstruction);
ENCODINGS(Speckle);
ENCODINGS(Sweep);

}  // namespace

BENCHMARK_MAIN();
