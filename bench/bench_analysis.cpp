// Timings of the phase unwrapper and of the focus figures, each beside
// baselines measured in the same run: one plain loop over the field (the
// amplitude sqrt(I) written to a second field) and one 1024 x 1024 Fresnel
// reconstruction, the work each analysis follows.
// Run with
//   build/release/bench/bench_analysis --benchmark_repetitions=5
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true
// and compare medians.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include "focus.h"
#include "reconstruction.h"
#include "unwrap.h"

using numerics::FocusFigures;
using numerics::focusFigures;
using numerics::FocusRegion;
using numerics::interferencePhase;
using numerics::Method;
using numerics::PhaseOutput;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::unwrapPhase;

namespace {

constexpr double kPi = std::numbers::pi;

// An interference phase as a DHI run makes it, in [0, 2 pi): a smooth bump
// of 40 rad with 0.3 rad of noise on the middle half of the field, random
// phase (no object light) around it.
RealField interferencePhase(int n) {
  std::mt19937 random(3u);
  std::normal_distribution<double> noise(0.0, 0.3);
  std::uniform_real_distribution<double> anyPhase(0.0, 2 * kPi);
  RealField field(n);
  const double half = n / 2.0, spread = n / 6.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const double y = r - half, x = c - half;
      double phase = anyPhase(random);
      if (std::abs(x) < half / 2 && std::abs(y) < half / 2) {
        phase = 40.0 * std::exp(-(x * x + y * y) / (2 * spread * spread)) +
                noise(random);
      }
      field[r][c] = phase - 2 * kPi * std::floor(phase / (2 * kPi));
    }
  }
  return field;
}

// A speckled intensity: exponentially distributed, mean 1.
RealField speckle(int n) {
  std::mt19937 random(4u);
  std::exponential_distribution<double> intensity(1.0);
  RealField field(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) field[r][c] = intensity(random);
  }
  return field;
}

/// Times unwrapPhase on wrapped.
void timeUnwrapping(benchmark::State& state, const RealField& wrapped) {
  const int n = wrapped.size();
  RealField unwrapped(n);
  for (auto _ : state) {
    const std::string problem =
        unwrapPhase(wrapped.rows(), n, unwrapped.rows());
    if (!problem.empty()) state.SkipWithError(problem.c_str());
    benchmark::DoNotOptimize(unwrapped[0][0]);
  }
}

void Unwrap(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const RealField wrapped = interferencePhase(n);
  timeUnwrapping(state, wrapped);
}

// The same phase with no-phase samples: a NaN disc in the object and a NaN
// column through the field, as a mask leaves them; the rows they cross take
// the unwrapper's general path.
void UnwrapMasked(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RealField wrapped = interferencePhase(n);
  for (int r = 0; r < n; ++r) {
    wrapped[r][n / 8] = std::nan("");
    for (int c = 0; c < n; ++c) {
      if (std::hypot(r - n * 0.4, c - n * 0.55) < n / 10.0) {
        wrapped[r][c] = std::nan("");
      }
    }
  }
  timeUnwrapping(state, wrapped);
}

void Focus(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const RealField intensity = speckle(n);
  for (auto _ : state) {
    const FocusFigures figures =
        focusFigures(intensity.rows(), n, FocusRegion{0, 0, n, n});
    benchmark::DoNotOptimize(figures);
  }
}

void AmplitudePass(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const RealField intensity = speckle(n);
  RealField amplitude(n);
  for (auto _ : state) {
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) amplitude[r][c] = std::sqrt(intensity[r][c]);
    }
    benchmark::DoNotOptimize(amplitude[0][0]);
  }
}

void Fresnel(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  RealField hologram = speckle(n), intensity(n), phase(n);
  for (auto _ : state) {
    reconstruct(Method::fresnel, prepareHologram(hologram.rows(), n),
                {532e-9, 0.02, 0.1, 3.45e-6},
                {intensity.rows(), phase.rows(), PhaseOutput::tangent});
    benchmark::DoNotOptimize(intensity[0][0]);
  }
}

void sizes(benchmark::internal::Benchmark* bench) {
  for (const int n : {512, 1024, 2048}) bench->Arg(n);
  bench->Unit(benchmark::kMillisecond);
}

BENCHMARK(Unwrap)->Apply(sizes);
BENCHMARK(UnwrapMasked)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(AmplitudePass)->Apply(sizes);
BENCHMARK(Focus)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(Fresnel)->Arg(1024)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
