// Timings of the 2-D transform and of one reconstruction of each method at
// the edges cameras give (1024, 2000) and awkward ones (1023 = 3 * 11 * 31,
// 1028 = 4 * 257, 1944 = 2^3 * 3^5), each beside the plain transcription the
// tests compare with (ALGLIB's transform, one call per line). Run with
//   build/release/bench/bench_numerics --benchmark_repetitions=5
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
// and compare medians; interleaving spreads the load of a shared machine
// over all entries alike. bench/numpy_reconstruction.py gives the numpy
// baseline on the same sizes.
//
// The three methods from a prepared hologram (prepared once, as a run does)
// at 1024, Convolution and the angular spectrum also from the hologram's
// spectrum (made once, as for a z sweep), and the sideband filter's
// one-time cost there; Fresnel and Convolution taking the hologram itself
// are the baselines.
#include <benchmark/benchmark.h>

#include <random>

#include "fft.h"
#include "literal.h"
#include "prepare.h"
#include "reconstruction.h"
#include "sideband.h"

using numerics::Complex;
using numerics::ComplexField;
using numerics::fft2d;
using numerics::filterSideband;
using numerics::Method;
using numerics::PhaseOutput;
using numerics::PreparedHologram;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::ReconstructionOutputs;
using numerics::SidebandResult;

namespace {

constexpr double kWavelength = 532e-9;
constexpr double kAngle = 0.02;
constexpr double kDistance = 0.1;
constexpr double kPitch = 3.45e-6;

RealField randomHologram(int n) {
  std::mt19937 random(1u);
  std::uniform_real_distribution<double> level(0.0, 255.0);
  RealField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = level(random);
  }
  return field;
}

ComplexField randomField(int n) {
  std::mt19937 random(2u);
  std::uniform_real_distribution<double> part(-1.0, 1.0);
  ComplexField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = {part(random), part(random)};
  }
  return field;
}

template <void (*Transform)(Complex* const*, int, bool)>
void transformBench(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  ComplexField field = randomField(n);
  bool forward = true;
  for (auto _ : state) {
    Transform(field.rows(), n, forward);
    forward = !forward;  // keeps the values bounded
    benchmark::DoNotOptimize(field[0][0]);
  }
}

template <typename Reconstruct>
void reconstructionBench(benchmark::State& state, Reconstruct reconstruct) {
  const int n = static_cast<int>(state.range(0));
  const RealField hologram = randomHologram(n);
  RealField intensity(n), tangent(n);
  for (auto _ : state) {
    reconstruct(hologram.rows(), n, intensity.rows(), tangent.rows());
    benchmark::DoNotOptimize(intensity[0][0]);
  }
}

void Fft2d(benchmark::State& state) { transformBench<fft2d>(state); }
void Fft2dLiteral(benchmark::State& state) {
  transformBench<literal::fft2d>(state);
}

void Fresnel(benchmark::State& state) {
  reconstructionBench(state, [](auto h, int n, auto i, auto t) {
    reconstruct(Method::fresnel, prepareHologram(h, n),
                {kWavelength, kAngle, kDistance, kPitch},
                {i, t, PhaseOutput::tangent});
  });
}
void FresnelLiteral(benchmark::State& state) {
  reconstructionBench(state, [](auto h, int n, auto i, auto t) {
    literal::fresnel(h, n, i, t, kWavelength, kAngle, kDistance, kPitch);
  });
}
void Convolution(benchmark::State& state) {
  reconstructionBench(state, [](auto h, int n, auto i, auto t) {
    reconstruct(Method::convolution, prepareHologram(h, n),
                {kWavelength, kAngle, kDistance, kPitch},
                {i, t, PhaseOutput::tangent});
  });
}
void ConvolutionLiteral(benchmark::State& state) {
  reconstructionBench(state, [](auto h, int n, auto i, auto t) {
    literal::convolution(h, n, i, t, kWavelength, kAngle, kDistance, kPitch);
  });
}

template <Method method>
void Prepared(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const PreparedHologram hologram =
      prepareHologram(randomHologram(n).rows(), n);
  RealField intensity(n);
  ReconstructionOutputs outputs;
  outputs.intensity = intensity.rows();
  for (auto _ : state) {
    reconstruct(method, hologram, {kWavelength, kAngle, kDistance, kPitch},
                outputs);
    benchmark::DoNotOptimize(intensity[0][0]);
  }
}

template <Method method>
void FromSpectrum(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const numerics::Optics optics{kWavelength, kAngle, kDistance, kPitch};
  const numerics::HologramSpectrum spectrum = numerics::transformHologram(
      prepareHologram(randomHologram(n).rows(), n), optics);
  RealField intensity(n);
  ReconstructionOutputs outputs;
  outputs.intensity = intensity.rows();
  for (auto _ : state) {
    numerics::reconstructFromSpectrum(method, spectrum, optics, outputs);
    benchmark::DoNotOptimize(intensity[0][0]);
  }
}

void SidebandFilter(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const PreparedHologram hologram =
      prepareHologram(randomHologram(n).rows(), n);
  for (auto _ : state) {
    const SidebandResult result =
        filterSideband(hologram, {}, {kWavelength, kAngle, kDistance, kPitch});
    benchmark::DoNotOptimize(result.hologram.complex[0][0]);
  }
}

void sizes(benchmark::internal::Benchmark* bench) {
  for (const int n : {1023, 1024, 1028, 1944, 2000}) bench->Arg(n);
  bench->Unit(benchmark::kMillisecond);
}

BENCHMARK(Fft2d)->Apply(sizes);
BENCHMARK(Fft2dLiteral)->Apply(sizes);
BENCHMARK(Fresnel)->Apply(sizes);
BENCHMARK(FresnelLiteral)->Apply(sizes);
BENCHMARK(Convolution)->Apply(sizes);
BENCHMARK(ConvolutionLiteral)->Apply(sizes);
BENCHMARK(Prepared<Method::fresnel>)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(Prepared<Method::convolution>)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Prepared<Method::angularSpectrum>)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FromSpectrum<Method::convolution>)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FromSpectrum<Method::angularSpectrum>)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SidebandFilter)->Arg(1024)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
