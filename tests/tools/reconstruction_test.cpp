// Simulated recordings reconstructed by the program's own numerics: the
// object must come back in focus at the simulated distance, at the scale
// each method promises, and a deformation must come back as its phase.

#include "numerics/reconstruction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "tools/simulation.h"

namespace {

constexpr int kN = 256;

/// A small, quick recording: the object a little nearer than the distance at
/// which both methods reconstruct at the sensor's own pitch (N pitch^2 /
/// wavelength, about 5.7 mm here).
SimulationOptions smallRecording() {
  SimulationOptions options;
  options.recording.size = kN;
  options.recording.distance = 5e-3;
  return options;
}

/// Pearson correlation of two fields over all samples.
double correlation(const RealField& a, const RealField& b) {
  const int n = a.size();
  const double count = static_cast<double>(n) * n;
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      sa += a[r][c];
      sb += b[r][c];
      saa += a[r][c] * a[r][c];
      sbb += b[r][c] * b[r][c];
      sab += a[r][c] * b[r][c];
    }
  }
  const double cov = sab / count - (sa / count) * (sb / count);
  const double va = saa / count - (sa / count) * (sa / count);
  const double vb = sbb / count - (sb / count) * (sb / count);
  return cov / std::sqrt(va * vb);
}

/// Where an output sample of a reconstruction at distance z lies on the
/// object's grid, per axis. Convolution keeps the sensor's pitch; Fresnel's
/// output pitch is wavelength z / (N pitch), its axis on sample N / 2.
double objectIndex(bool convolution, int index, const Recording& recording,
                   double z) {
  const int n = recording.size;
  if (convolution) return index;
  const double outputPitch = recording.wavelength * z / (n * recording.pitch);
  return (index - n / 2) * outputPitch / recording.pitch + 0.5 * (n - 1);
}

/// A field of the object's grid as the reconstruction at z should show it
/// (nearest sample; zero off the grid).
RealField asSeenAt(const RealField& field, bool convolution,
                   const Recording& recording, double z) {
  const int n = recording.size;
  RealField seen(n);
  for (int r = 0; r < n; ++r) {
    const auto row = static_cast<int>(
        std::lround(objectIndex(convolution, r, recording, z)));
    for (int c = 0; c < n; ++c) {
      const auto column = static_cast<int>(
          std::lround(objectIndex(convolution, c, recording, z)));
      if (row >= 0 && row < n && column >= 0 && column < n) {
        seen[r][c] = field[row][column];
      }
    }
  }
  return seen;
}

/// Reconstructed amplitude |U| at z.
RealField reconstructedAmplitude(const RealField& hologram, bool convolution,
                                 const Recording& recording, double z) {
  const int n = recording.size;
  RealField intensity(n);
  RealField tangent(n);
  if (convolution) {
    reconstructConvolution(hologram.rows(), n, intensity.rows(), tangent.rows(),
                           recording.wavelength, recording.angle, z,
                           recording.pitch);
  } else {
    reconstructFresnel(hologram.rows(), n, intensity.rows(), tangent.rows(),
                       recording.wavelength, recording.angle, z,
                       recording.pitch);
  }
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) intensity[r][c] = std::sqrt(intensity[r][c]);
  }
  return intensity;
}

/// Similarity of the reconstruction at z to the object drawn at that z's
/// output scale: a focus measure that also checks the scale.
double focus(const RealField& hologram, const RealField& object,
             bool convolution, const Recording& recording, double z) {
  return correlation(
      reconstructedAmplitude(hologram, convolution, recording, z),
      asSeenAt(object, convolution, recording, z));
}

struct FocusCase {
  const char* name;
  bool convolution;
  bool diffuse;
  double noise;
  double distance;
};

class ReconstructionFocus : public testing::TestWithParam<FocusCase> {};

TEST_P(ReconstructionFocus, PeaksAtTheSimulatedDistance) {
  const FocusCase& test = GetParam();
  SimulationOptions options = smallRecording();
  options.recording.distance = test.distance;
  options.diffuse = test.diffuse;
  options.noise = test.noise;
  const RealField object = barsPattern(kN);
  const Holograms pictures = simulate(object.rows(), options);

  // 0.5 z to 2 z; around z finely, so that a peak off by more than 5 per
  // cent shows.
  const double z = options.recording.distance;
  double best = 0.0, bestFocus = -1.0;
  for (const double factor : {0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0, 1.05,
                              1.1, 1.15, 1.2, 1.3, 1.5, 1.75, 2.0}) {
    const double measure = focus(pictures.first, object, test.convolution,
                                 options.recording, factor * z);
    if (measure > bestFocus) {
      bestFocus = measure;
      best = factor;
    }
  }
  EXPECT_NEAR(best, 1.0, test.convolution ? 0.0 : 0.1);
  const double inFocus =
      focus(pictures.first, object, test.convolution, options.recording, z);
  EXPECT_GT(inFocus, test.diffuse ? 0.3 : 0.5);
  if (!test.convolution) {
    // Fresnel shows the object at its own scale, not the sensor's.
    const RealField amplitude =
        reconstructedAmplitude(pictures.first, false, options.recording, z);
    EXPECT_GT(inFocus, correlation(amplitude, object) + 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, ReconstructionFocus,
    testing::Values(FocusCase{"ConvolutionBars", true, false, 0.0, 5e-3},
                    FocusCase{"ConvolutionDiffuseNoisy", true, true, 4.0, 5e-3},
                    FocusCase{"FresnelBars", false, false, 0.0, 5e-3},
                    FocusCase{"FresnelFar", false, false, 0.0, 8e-3}),
    [](const testing::TestParamInfo<FocusCase>& param) {
      return std::string(param.param.name);
    });

/// Phase difference reduced to (-pi, pi].
double wrapped(double phase) {
  return std::remainder(phase, 2 * std::numbers::pi);
}

struct DeformCase {
  const char* name;
  bool convolution;
  bool diffuse;
  double noise;
  double deform;
  double meanError;  // largest mean |interference phase - bump| over the object
};

class Interferometry : public testing::TestWithParam<DeformCase> {};

TEST_P(Interferometry, ThePhaseFollowsTheBumpOverTheObject) {
  const DeformCase& test = GetParam();
  SimulationOptions options = smallRecording();
  options.diffuse = test.diffuse;
  options.noise = test.noise;
  options.deformed = true;
  options.deform = test.deform;
  const Recording& recording = options.recording;
  const RealField object = barsPattern(kN);
  const Holograms pictures = simulate(object.rows(), options);
  RealField intensity1(kN), intensity2(kN), difference(kN);
  reconstructDhi(test.convolution, pictures.first.rows(),
                 pictures.second.rows(), kN, intensity1.rows(),
                 intensity2.rows(), difference.rows(), recording.wavelength,
                 recording.angle, recording.distance, recording.pitch);

  const double z = recording.distance;
  const RealField bump = asSeenAt(phaseBump(object.rows(), kN, test.deform),
                                  test.convolution, recording, z);
  const RealField mask = asSeenAt(object, test.convolution, recording, z);
  double error = 0.0;
  double bias = 0.0;
  int count = 0;
  for (int r = 0; r < kN; ++r) {
    for (int c = 0; c < kN; ++c) {
      if (mask[r][c] == 0.0) continue;
      const double e = wrapped(difference[r][c] - bump[r][c]);
      error += std::abs(e);
      bias += e;
      ++count;
    }
  }
  ASSERT_GT(count, 1000);
  EXPECT_LT(error / count, test.meanError);
  // No systematic offset: a sign slip would show as twice the bump.
  EXPECT_LT(std::abs(bias / count), 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Deformations, Interferometry,
    testing::Values(DeformCase{"ConvolutionBars", true, false, 0.0, 3.0, 0.3},
                    DeformCase{"ConvolutionDiffuseNoisy", true, true, 2.0, 3.0,
                               0.5},
                    DeformCase{"FresnelBars", false, false, 0.0, 3.0, 0.3},
                    DeformCase{"NoDeformationNoisy", true, true, 2.0, 0.0, 0.3},
                    DeformCase{"NoDeformation", false, false, 0.0, 0.0, 1e-12}),
    [](const testing::TestParamInfo<DeformCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
