// The simulator's parts: propagation against the diffraction integral, the
// reference wave against the program's, the pictures, the experiment file.

#include "tools/simulation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "experiment/experiment.h"
#include "numerics/fft.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kWavelength = 532e-9;
constexpr double kPitch = 3.45e-6;

/// Gaussian spot of waist w pixels centred on the m x m grid.
ComplexField gaussian(int m, double w) {
  ComplexField field(m);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      const double x = c - 0.5 * (m - 1), y = r - 0.5 * (m - 1);
      field[r][c].re = std::exp(-(x * x + y * y) / (w * w));
    }
  }
  return field;
}

/// The first Rayleigh-Sommerfeld integral as a plain sum over the source's
/// pixels: U = sum U0 z / (2 pi d^2) (1 / d - i k) exp(i k d) pitch^2.
std::complex<double> rayleighSommerfeld(const ComplexField& source, double z,
                                        int row, int column) {
  const double k = 2 * kPi / kWavelength;
  std::complex<double> sum;
  for (int r = 0; r < source.size(); ++r) {
    for (int c = 0; c < source.size(); ++c) {
      const double d = std::hypot((column - c) * kPitch, (row - r) * kPitch, z);
      sum += source[r][c].re * z / (2 * kPi * d * d) *
             std::complex<double>(1 / d, -k) * std::polar(1.0, k * d);
    }
  }
  return sum * kPitch * kPitch;
}

TEST(Propagation, MatchesTheDiffractionIntegral) {
  const int m = 64;
  const ComplexField source = gaussian(m, 3.0);
  for (const double z : {1e-3, 2e-3}) {
    ComplexField field = gaussian(m, 3.0);
    propagate(field.rows(), m, kPitch, kWavelength, z);
    // Near the axis only: the sampled source also sends grating orders,
    // which land some 45 pixels away at 1 mm. The peak there is about 0.5.
    for (const auto& [row, column] :
         {std::pair{32, 32}, {28, 35}, {36, 30}, {32, 24}}) {
      const std::complex<double> expected =
          rayleighSommerfeld(source, z, row, column);
      EXPECT_NEAR(field[row][column].re, expected.real(), 1e-4) << z;
      EXPECT_NEAR(field[row][column].im, expected.imag(), 1e-4) << z;
    }
  }
}

struct PlaneWaveCase {
  int bin;  // spatial frequency along the columns, in DFT bins
  double pitch;
  double distance;
  bool kept;  // passes, or is dropped (evanescent, or would wrap)
};

class PlaneWaves : public testing::TestWithParam<PlaneWaveCase> {};

// A plane wave e^{2 pi i f x} travels as e^{i k z cos}: a phase that grows
// with the distance (light running as exp(+i k r)).
TEST_P(PlaneWaves, GainTheirPhaseOrAreDropped) {
  const PlaneWaveCase& test = GetParam();
  const int m = 32;
  ComplexField field(m);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      const double p = 2 * kPi * test.bin * c / m;
      field[r][c] = {std::cos(p), std::sin(p)};
    }
  }
  propagate(field.rows(), m, test.pitch, kWavelength, test.distance);
  const double sine = kWavelength * test.bin / (m * test.pitch);
  const double phase =
      2 * kPi * test.distance / kWavelength * std::sqrt(1 - sine * sine);
  for (int c = 0; c < m; ++c) {
    const double p = 2 * kPi * test.bin * c / m + phase;
    const Complex expected =
        test.kept ? Complex{std::cos(p), std::sin(p)} : Complex{};
    ASSERT_NEAR(field[5][c].re, expected.re, 1e-9) << "column " << c;
    ASSERT_NEAR(field[5][c].im, expected.im, 1e-9) << "column " << c;
  }
}

// Sideways travel is sine * distance / cosine against half the grid width:
// pitch 3.45e-6, m = 32 gives 55.2e-6; bin 8 has sine 0.0385, which gets
// there at 1.43e-3.
INSTANTIATE_TEST_SUITE_P(
    Bins, PlaneWaves,
    testing::Values(PlaneWaveCase{0, kPitch, 1e-3, true},
                    PlaneWaveCase{8, kPitch, 1e-3, true},
                    PlaneWaveCase{-8, kPitch, 1.4e-3, true},
                    PlaneWaveCase{8, kPitch, 1.5e-3, false},
                    PlaneWaveCase{-8, kPitch, -1.5e-3, false},
                    PlaneWaveCase{3, 0.2e-6, 1e-7, true},
                    // Sine 1.08: evanescent.
                    PlaneWaveCase{-13, 0.2e-6, 1e-7, false}));

TEST(ReferenceWave, IsTheWaveTheProgramDemodulatesWith) {
  for (const double angle : {0.0, 0.05, -0.03}) {
    Recording recording;
    recording.size = 17;
    recording.angle = angle;
    const ComplexField wave = referenceWave(recording, 2.5);
    const std::vector<Complex> rows =
        referenceWaveRows(17, angle, recording.wavelength, 2.5, kPitch);
    for (int r = 0; r < 17; ++r) {
      EXPECT_NEAR(wave[r][16].re, rows[r].re, 1e-12) << angle << " " << r;
      EXPECT_NEAR(wave[r][0].im, rows[r].im, 1e-12) << angle << " " << r;
    }
  }
}

TEST(Simulate, WritesWholeGreyLevelsOverTheFullRangeWithTheAskedNoise) {
  SimulationOptions options;
  options.recording.size = 64;
  options.recording.distance = 2e-3;
  const RealField object = barsPattern(64);
  const Holograms clean = simulate(object.rows(), options);
  EXPECT_FALSE(clean.second);
  options.noise = 3.0;
  const Holograms noisy = simulate(object.rows(), options);
  const Holograms again = simulate(object.rows(), options);
  double low = 255.0, high = 0.0, sum = 0.0, squares = 0.0;
  int count = 0;
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < 64; ++c) {
      const double v = clean.first[r][c];
      ASSERT_EQ(v, std::round(v));
      low = std::min(low, v);
      high = std::max(high, v);
      ASSERT_EQ(noisy.first[r][c], again.first[r][c]);
      if (v > 20.0 && v < 235.0) {  // clear of clipping
        const double d = noisy.first[r][c] - v;
        sum += d;
        squares += d * d;
        ++count;
      }
    }
  }
  EXPECT_EQ(low, 0.0);
  EXPECT_EQ(high, 255.0);
  ASSERT_GT(count, 1000);
  EXPECT_NEAR(sum / count, 0.0, 0.3);
  // Rounding adds 1/12 to the variance.
  EXPECT_NEAR(std::sqrt(squares / count), std::sqrt(9.0 + 1.0 / 12), 0.3);
}

TEST(ExperimentXml, LoadsBackAsTheSimulatedRecording) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("holosim_" + std::to_string(::getpid()) + ".xml");
  // Five distances, the middle one exactly z, also where z / 8 * 2 rounds.
  for (const double z : {0.01, 3.3e-3, 123.456, 1e-7, 0.1 + 0.2, 7.77e-5}) {
    ExperimentDescription description;
    description.dhi = z < 1e-2;
    description.convolution = !description.dhi;
    description.hologram = "a&b \"c\" <d>.png";
    description.hologram2 = "pictures/x'y.png";
    description.recording = {64, 0.1 + 0.2, 6.5e-6 / 3.0, z, -1.0 / 30.0};
    std::ofstream(path) << experimentXml(description);

    Experiment experiment;
    ASSERT_TRUE(experiment.load(path.string())) << experiment.loadError;
    EXPECT_EQ(experiment.type, description.dhi
                                   ? ExperimentType::DHI
                                   : ExperimentType::Reconstruction);
    EXPECT_EQ(experiment.method, description.dhi
                                     ? ReconstructionMethod::Fresnel
                                     : ReconstructionMethod::Convolution);
    EXPECT_EQ(experiment.hologramPath, description.hologram);
    EXPECT_EQ(experiment.hologramPath2,
              description.dhi ? description.hologram2 : "");
    EXPECT_TRUE(experiment.output.normalize);
    ASSERT_EQ(experiment.parameterSets.size(), 5u) << z;
    const ParameterSet& middle = experiment.parameterSets[2];
    EXPECT_EQ(middle.wavelength, description.recording.wavelength);
    EXPECT_EQ(middle.angle, description.recording.angle);
    EXPECT_EQ(middle.zDistance, z);
    EXPECT_EQ(middle.ccdPixelDistance, description.recording.pitch);
    EXPECT_NEAR(experiment.parameterSets[0].zDistance, 0.75 * z, 1e-12 * z);
  }
  std::filesystem::remove(path);
}

}  // namespace
