// The simulator's parts: propagation against the diffraction integral, the
// reference wave against the program's, the pictures, the experiment file.

#include "tools/simulation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
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
  const double centre = 0.5 * (m - 1);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      const double d2 =
          (r - centre) * (r - centre) + (c - centre) * (c - centre);
      field[r][c].re = std::exp(-d2 / (w * w));
    }
  }
  return field;
}

/// The first Rayleigh-Sommerfeld integral as a plain sum over the source's
/// pixels: U(P) = sum U0 (z / r) (1 / r - i k) exp(i k r) / (2 pi r) pitch^2.
Complex rayleighSommerfeld(const ComplexField& source, double z, int row,
                           int column) {
  const double k = 2 * kPi / kWavelength;
  double re = 0.0, im = 0.0;
  for (int r = 0; r < source.size(); ++r) {
    for (int c = 0; c < source.size(); ++c) {
      const Complex u = source[r][c];
      if (u.re == 0.0 && u.im == 0.0) continue;
      const double dx = (column - c) * kPitch, dy = (row - r) * kPitch;
      const double distance = std::sqrt(dx * dx + dy * dy + z * z);
      const double scale =
          z / (2 * kPi * distance * distance) * kPitch * kPitch;
      // (1 / r - i k) exp(i k r)
      const double a = 1.0 / distance, b = -k;
      const double cs = std::cos(k * distance), sn = std::sin(k * distance);
      const double kre = (a * cs - b * sn) * scale,
                   kim = (a * sn + b * cs) * scale;
      re += u.re * kre - u.im * kim;
      im += u.re * kim + u.im * kre;
    }
  }
  return {re, im};
}

TEST(Propagation, MatchesTheDiffractionIntegral) {
  const int m = 64;
  ComplexField source = gaussian(m, 3.0);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      if (std::abs(source[r][c].re) < 1e-12) source[r][c] = {};
    }
  }
  for (const double z : {1e-3, 2e-3}) {
    ComplexField field = gaussian(m, 3.0);
    propagate(field.rows(), m, kPitch, kWavelength, z);
    double peak = 0.0;
    for (int r = 0; r < m; ++r) {
      for (int c = 0; c < m; ++c)
        peak = std::max(peak, std::hypot(field[r][c].re, field[r][c].im));
    }
    // Near the axis only: the sampled source also sends grating orders,
    // which land some 45 pixels away at 1 mm.
    for (const auto& [row, column] :
         {std::pair{32, 32}, {28, 35}, {36, 30}, {32, 24}}) {
      SCOPED_TRACE(testing::Message()
                   << "z " << z << " at " << row << ", " << column);
      const Complex expected = rayleighSommerfeld(source, z, row, column);
      EXPECT_NEAR(field[row][column].re, expected.re, 1e-4 * peak);
      EXPECT_NEAR(field[row][column].im, expected.im, 1e-4 * peak);
    }
  }
}

TEST(Propagation, ThereAndBackAgainRestoresTheField) {
  const int m = 64;
  ComplexField field = gaussian(m, 4.0);
  propagate(field.rows(), m, kPitch, kWavelength, 5e-4);
  propagate(field.rows(), m, kPitch, kWavelength, -5e-4);
  const ComplexField original = gaussian(m, 4.0);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      ASSERT_NEAR(field[r][c].re, original[r][c].re, 1e-9);
      ASSERT_NEAR(field[r][c].im, original[r][c].im, 1e-9);
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
    for (const int n : {16, 17}) {
      Recording recording;
      recording.size = n;
      recording.angle = angle;
      const ComplexField wave = referenceWave(recording, 2.5);
      const std::vector<Complex> rows = referenceWaveRows(
          n, angle, recording.wavelength, 2.5, recording.pitch);
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; c += n - 1) {
          ASSERT_NEAR(wave[r][c].re, rows[r].re, 1e-12)
              << angle << " row " << r;
          ASSERT_NEAR(wave[r][c].im, rows[r].im, 1e-12)
              << angle << " row " << r;
        }
      }
    }
  }
}

TEST(BarsPattern, IsABinaryMaskThatShowsEveryFlip) {
  for (const int n : {16, 64, 255, 512}) {
    SCOPED_TRACE(n);
    const RealField mask = barsPattern(n);
    int lit = 0, flipRows = 0, flipColumns = 0, transpose = 0;
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const double v = mask[r][c];
        ASSERT_TRUE(v == 0.0 || v == 1.0);
        lit += v == 1.0;
        flipRows += v != mask[n - 1 - r][c];
        flipColumns += v != mask[r][n - 1 - c];
        transpose += v != mask[c][r];
        // Within the central quarter, clear of the undiffracted light.
        if (v == 1.0) {
          ASSERT_LT(std::abs(r - 0.5 * (n - 1)), n / 6.0);
          ASSERT_LT(std::abs(c - 0.5 * (n - 1)), n / 6.0);
        }
      }
    }
    const int side = n / 4;
    EXPECT_GT(lit, side * side / 4);
    EXPECT_GT(flipRows, lit / 5);
    EXPECT_GT(flipColumns, lit / 5);
    EXPECT_GT(transpose, lit / 5);
  }
}

TEST(PhaseBump, PeaksOnTheObjectAndFallsOffSmoothly) {
  const int n = 64;
  RealField amplitude(n);
  for (int r = 10; r <= 29; ++r) {
    for (int c = 20; c <= 39; ++c) amplitude[r][c] = 1.0;
  }
  // Box rows 10..29, columns 20..39: centre (19.5, 29.5), s = 20 / 4 = 5.
  const RealField bump = phaseBump(amplitude.rows(), n, 2.0);
  EXPECT_NEAR(bump[19][29], 2.0 * std::exp(-0.5 / 50.0), 1e-12);
  EXPECT_NEAR(bump[29][29], 2.0 * std::exp(-(9.5 * 9.5 + 0.25) / 50.0), 1e-12);
  EXPECT_LT(bump[0][0], 1e-6);
  const RealField none = phaseBump(RealField(n).rows(), n, 2.0);
  EXPECT_EQ(none[32][32], 0.0);
}

TEST(Random, IsReproducibleAndDistributedAsPromised) {
  Random a(7), b(7), c(8);
  EXPECT_EQ(a.uniform(), b.uniform());
  EXPECT_NE(a.uniform(), c.uniform());
  double sum = 0.0, squares = 0.0, low = 1.0, high = 0.0;
  const int count = 100000;
  for (int i = 0; i < count; ++i) {
    const double x = a.normal();
    sum += x;
    squares += x * x;
    const double u = b.uniform();
    low = std::min(low, u);
    high = std::max(high, u);
  }
  EXPECT_NEAR(sum / count, 0.0, 0.02);
  EXPECT_NEAR(squares / count, 1.0, 0.02);
  EXPECT_GE(low, 0.0);
  EXPECT_LT(high, 1.0);
  EXPECT_LT(low, 1e-3);
  EXPECT_GT(high, 1.0 - 1e-3);
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

TEST(Simulate, AnUndeformedSecondPictureEqualsTheFirst) {
  SimulationOptions options;
  options.recording.size = 32;
  options.recording.distance = 1e-3;
  options.diffuse = true;
  options.deformed = true;
  const RealField object = barsPattern(32);
  const Holograms pictures = simulate(object.rows(), options);
  ASSERT_TRUE(pictures.second);
  for (int r = 0; r < 32; ++r) {
    for (int c = 0; c < 32; ++c)
      ASSERT_EQ(pictures.first[r][c], pictures.second[r][c]);
  }
}

TEST(RecordingProblem, NamesEveryNonsenseValue) {
  struct Case {
    void (*spoil)(Recording&);
    const char* words;
  };
  const Case cases[] = {
      {[](Recording&) {}, ""},
      {[](Recording& r) { r.size = 0; }, "size must be at least 16"},
      {[](Recording& r) { r.size = -5; }, "size must be at least 16"},
      {[](Recording& r) { r.size = 5000; }, "size must be at most 4096"},
      {[](Recording& r) { r.wavelength = 0.0; },
       "wavelength must be a positive"},
      {[](Recording& r) { r.wavelength = NAN; },
       "wavelength must be a positive"},
      {[](Recording& r) { r.pitch = -1.0; }, "pitch must be a positive"},
      {[](Recording& r) { r.pitch = INFINITY; }, "pitch must be a positive"},
      {[](Recording& r) { r.distance = 0.0; }, "distance must be a positive"},
      {[](Recording& r) { r.distance = 1e7; }, "1e12 wavelengths"},
      {[](Recording& r) { r.angle = NAN; }, "angle must be a number"},
      // wavelength / (2 pitch) = 0.0771
      {[](Recording& r) { r.angle = 0.08; }, "angle is too steep"},
      {[](Recording& r) { r.angle = -0.08; }, "angle is too steep"},
      {[](Recording& r) { r.angle = 0.077; }, ""},
  };
  for (const Case& test : cases) {
    Recording recording;
    test.spoil(recording);
    const std::string problem = recordingProblem(recording);
    if (*test.words == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(test.words), std::string::npos) << problem;
    }
  }
}

/// The values the experiment loader's range rule makes of a sweep.
std::vector<double> sweepValues(const ZSweep& sweep) {
  const auto count = static_cast<int>(std::floor(
                         (sweep.max - sweep.min) / sweep.step + 1e-9)) +
                     1;
  std::vector<double> values;
  for (int i = 0; i < count; ++i) values.push_back(sweep.min + i * sweep.step);
  return values;
}

TEST(ZSweep, HasFiveDistancesWithTheSimulatedOneExactly) {
  for (const double z :
       {0.01, 5e-3, 0.3, 3.3e-3, 123.456, 1e-7, 0.1 + 0.2, 7.77e-5}) {
    const std::vector<double> values = sweepValues(zSweepAround(z));
    ASSERT_EQ(values.size(), 5u) << z;
    EXPECT_EQ(values[2], z);
    EXPECT_NEAR(values[0], 0.75 * z, 1e-12 * z);
    EXPECT_NEAR(values[4], 1.25 * z, 1e-12 * z);
  }
}

TEST(FormatNumber, ReadsBackExactly) {
  for (const double x : {532e-9, 0.1 + 0.2, 1.0 / 3.0, 3.45e-6, -0.05, 1e300}) {
    EXPECT_EQ(std::stod(formatNumber(x)), x);
  }
  EXPECT_EQ(formatNumber(0.05), "0.05");
}

TEST(ExperimentXml, LoadsBackAsTheSimulatedRecording) {
  const auto directory = std::filesystem::temp_directory_path() /
                         ("holosim_xml_" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  for (const bool dhi : {false, true}) {
    ExperimentDescription description;
    description.dhi = dhi;
    description.convolution = !dhi;
    description.hologram = "a&b \"c\" <d>.png";
    description.hologram2 = "pictures/x'y.png";
    description.recording.wavelength = 0.1 + 0.2;
    description.recording.angle = -1.0 / 30.0;
    description.recording.distance = 3.3e-3;
    description.recording.pitch = 6.5e-6 / 3.0;
    const std::string path = (directory / "experiment.xml").string();
    std::ofstream(path) << experimentXml(description);

    Experiment experiment;
    ASSERT_TRUE(experiment.load(path)) << experiment.loadError;
    EXPECT_EQ(experiment.type,
              dhi ? ExperimentType::DHI : ExperimentType::Reconstruction);
    EXPECT_EQ(experiment.method, dhi ? ReconstructionMethod::Fresnel
                                     : ReconstructionMethod::Convolution);
    EXPECT_EQ(experiment.hologramPath, description.hologram);
    if (dhi) {
      EXPECT_EQ(experiment.hologramPath2, description.hologram2);
    }
    EXPECT_EQ(experiment.preferredSize, 0);
    EXPECT_TRUE(experiment.output.normalize);
    ASSERT_EQ(experiment.parameterSets.size(), 5u);
    const ParameterSet& middle = experiment.parameterSets[2];
    EXPECT_EQ(middle.wavelength, description.recording.wavelength);
    EXPECT_EQ(middle.angle, description.recording.angle);
    EXPECT_EQ(middle.zDistance, description.recording.distance);
    EXPECT_EQ(middle.ccdPixelDistance, description.recording.pitch);
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
