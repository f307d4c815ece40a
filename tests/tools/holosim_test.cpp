// holosim as a user runs it, and its recordings checked against the physics.

#include <algorithm>
#include <cmath>
#include <complex>
#include <iostream>
#include <numbers>
#include <tuple>

#include "experiment.h"
#include "images.h"
#include "reconstruction.h"
#include "simulation.h"
#include "support.h"
#include "unwrap.h"

using numerics::ComplexField;
using numerics::Method;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::reconstructDhi;
using numerics::unwrapPhase;

namespace {

constexpr double kPi = std::numbers::pi, kWavelength = 532e-9, kPitch = 3.45e-6;

// Status 2 for bad arguments (nothing written), 1 for files; one error line.
TEST(Holosim, RefusesBadArgumentsAndReportsUnusableFiles) {
  const ScratchDir dir;
  dir.write("text.png", "not a picture");
  const std::vector<std::uint8_t> black(32 * 32, 0);
  ASSERT_EQ(saveGreyPng8(dir.path("black.png"), black.data(), 32, 32), "");
  const struct {
    const char* words;
    int status;
    const char* message;
  } cases[] = {
      {"", 2, "no output picture given"},
      {"a.png b.png", 2, "one picture only"},
      {"a.png --frobnicate", 2, "unknown option '--frobnicate'"},
      {"a.png --size", 2, "--size needs a value"},
      {"--size=2.5 a.png", 2, "--size: '2.5' is not a whole number"},
      {"--size 0 a.png", 2, "size must be at least 16"},
      {"--wavelength 0 a.png", 2, "wavelength must be a positive"},
      {"--distance 1cm a.png", 2, "--distance: '1cm' is not a number"},
      {"--angle 0.5 a.png", 2, "angle is too steep"},
      {"--surround a.png", 2, "--surround needs --phase-object"},
      {"--inline --deform 1 a.png", 2, "--deform needs an off-axis recording"},
      {"--illumination -1 a.png", 2, "illumination's radius must be"},
      {"--curvature 1e200 a.png", 2, "curvature radius must be 0 (none)"},
      {"--offset 300 a.png", 2, "offset must be a grey level from 0 to 255"},
      {"--gain 0 a.png", 2, "gain must be a positive number up to 1e6"},
      {"--carrier-shift 2 a.png", 2, "--carrier-shift needs --background"},
      {"--inline --background b.png --carrier-shift 2 a.png", 2,
       "--carrier-shift needs an off-axis recording"},
      {"--dark d.png a.png", 2, "--dark needs --offset or --gain"},
      {"--background a.png a.png", 2, "the empty frame and the picture are"},
      {"--method fresnel a.png", 2,
       "is not Fresnel, Convolution or AngularSpectrum"},
      {"--diffuse=yes a.png", 2, "--diffuse takes no value"},
      {"--size 32 no/a.png", 1, "can't write the picture 'no/a.png'"},
      {"--size 32 --deform 1 --experiment no/e.xml a.png", 1,
       "can't write the experiment file 'no/e.xml'"},
      {"--size 32 --object text.png a.png", 1, "can't read the object picture"},
      {"--size 32 --object black.png a.png", 1, "is black"},
  };
  for (const auto& [words, status, message] : cases) {
    SCOPED_TRACE(words);
    const RunOutcome outcome = runProgram(kHolosim, words, dir.dir);
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.err.rfind("holosim: ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1);
    EXPECT_TRUE(status != 2 || !fs::exists(dir.path("a.png")));
  }
  const RunOutcome help = runProgram(kHolosim, "--help", dir.dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: holosim [OPTIONS] PICTURE", 0), 0u);
  // An in-line recording has no reference wave: the default angle, too
  // steep for a coarse pitch, does not stop it.
  EXPECT_EQ(
      runProgram(kHolosim, "--size 32 --pitch 6.7e-6 --inline a.png", dir.dir)
          .status,
      0);
}

// The pictures hold exactly what the simulation records (the built-in bars
// given as a picture give the same holograms, or its rows were taken upside
// down somewhere), and the experiment's paths work from its own directory.
TEST(Holosim, WritesTheSimulatedPicturesAndAWorkingExperiment) {
  const ScratchDir dir;
  const RealField bars = barsPattern(64);
  std::vector<std::uint8_t> pixels;
  for (int i = 0; i < 64 * 64; ++i)
    pixels.push_back(bars[i / 64][i % 64] ? 200 : 0);
  ASSERT_EQ(saveGreyPng8(dir.path("mask.png"), pixels.data(), 64, 64), "");
  fs::create_directory(dir.path("runs"));
  const RunOutcome outcome = runProgram(
      kHolosim,
      "--size 64 --distance=2e-3 --object mask.png --diffuse --seed 5 "
      "--noise 1.5 --deform 2 --method Fresnel --experiment runs/dhi.xml h.png",
      dir.dir);
  ASSERT_EQ(outcome.out + outcome.err, "");
  ASSERT_EQ(outcome.status, 0);
  const Holograms expected =
      simulate(bars.rows(),
               {{64, kWavelength, kPitch, 2e-3, 0.05}, true, 5, 1.5, true, 2});
  Experiment dhi, plain;
  ASSERT_TRUE(dhi.load(dir.path("runs/dhi.xml"))) << dhi.loadError;
  EXPECT_EQ(dhi.type, ExperimentType::DHI);
  EXPECT_EQ(dhi.method, ReconstructionMethod::Fresnel);
  EXPECT_EQ(dhi.hologramPath, "../h.png");
  EXPECT_EQ(dhi.hologramPath2, "../h_deformed.png");
  for (const auto& [path, field] :
       {std::pair{dhi.hologramPath, &expected.first},
        {dhi.hologramPath2, &expected.second}}) {
    RealField samples;
    int size = 0;
    ASSERT_TRUE(
        loadSquareImage(dir.path("runs/" + path), samples, size, std::cerr));
    ASSERT_EQ(size, 64);
    for (int i = 0; i < 64 * 64; ++i) {
      ASSERT_EQ(samples[i / 64][i % 64], (*field)[i / 64][i % 64]) << path << i;
    }
  }
  // Without --deform: one picture, a plain reconstruction, by Convolution,
  // normalised, over five distances whose middle one is exactly z.
  ASSERT_EQ(runProgram(kHolosim,
                       "--size 32 --distance=7.77e-5 --experiment e.xml "
                       "'&\"b.png'",
                       dir.dir)
                .status,
            0);
  ASSERT_TRUE(plain.load(dir.path("e.xml"))) << plain.loadError;
  EXPECT_EQ(plain.type, ExperimentType::Reconstruction);
  EXPECT_EQ(plain.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(plain.hologramPath, "&\"b.png");
  EXPECT_TRUE(plain.output.normalize);
  ASSERT_EQ(plain.parameterSets.size(), 5u);
  const ParameterSet& middle = plain.parameterSets[2];
  EXPECT_EQ(std::tuple(middle.wavelength, middle.ccdPixelDistance, middle.angle,
                       middle.zDistance),
            std::tuple(kWavelength, kPitch, 0.05, 7.77e-5));
  EXPECT_NEAR(plain.parameterSets[0].zDistance, 0.75 * 7.77e-5, 1e-16);
}

// One camera scale for a recording's frames: uniform light through a clear
// plate has the intensity 1, so the empty frame is offset + gain and the
// dark frame the offset.
TEST(Holosim, FramesShareTheCameraScale) {
  const ScratchDir dir;
  ASSERT_EQ(runProgram(kHolosim,
                       "--size 64 --inline --offset 10 --gain 100 "
                       "--background b.png --dark d.png h.png",
                       dir.dir)
                .status,
            0);
  for (const auto& [name, level] : {std::pair{"b.png", 110}, {"d.png", 10}}) {
    RealField picture;
    int size = 0;
    ASSERT_TRUE(loadSquareImage(dir.path(name), picture, size, std::cerr));
    for (int i = 0; i < 64 * 64; ++i)
      ASSERT_EQ(picture[i / 64][i % 64], level) << name;
  }
}

// Near the axis (farther out lie the sampled source's grating orders), the
// Rayleigh-Sommerfeld sum U = sum U0 z/(2 pi d^2) (1/d - ik) e^(ikd) pitch^2.
TEST(Physics, PropagationMatchesTheDiffractionIntegral) {
  const double k = 2 * kPi / kWavelength;
  const auto source = [](int r, int c) {  // Gaussian spot, waist 3 pixels
    return std::exp(-((c - 31.5) * (c - 31.5) + (r - 31.5) * (r - 31.5)) / 9);
  };
  for (const double z : {1e-3, 2e-3}) {
    ComplexField field(64);
    for (int i = 0; i < 64 * 64; ++i)
      field[i / 64][i % 64].re = source(i / 64, i % 64);
    propagate(field.rows(), 64, kPitch, kWavelength, z);
    for (const auto& [y, x] :
         {std::pair{32, 32}, {28, 35}, {36, 30}, {32, 24}}) {
      std::complex<double> u;
      for (int i = 0; i < 64 * 64; ++i) {
        const int r = i / 64, c = i % 64;
        const double d = std::hypot((x - c) * kPitch, (y - r) * kPitch, z);
        u += source(r, c) * z / (2 * kPi * d * d) * kPitch * kPitch *
             std::complex<double>(1 / d, -k) * std::polar(1.0, k * d);
      }
      EXPECT_NEAR(field[y][x].re, u.real(), 1e-4) << z << " " << y << " " << x;
      EXPECT_NEAR(field[y][x].im, u.imag(), 1e-4) << z << " " << y << " " << x;
    }
  }
}

constexpr int kN = 256;

/// A field as the reconstruction at z shows it: at the sensor's pitch by
/// Convolution, by Fresnel at wavelength z / (N pitch) about sample N / 2.
RealField asSeenAt(const RealField& field, bool convolution, double z) {
  const double scale = kWavelength * z / (kN * kPitch * kPitch);
  const auto at = [&](int i) {
    return convolution ? i : int(std::lround((i - kN / 2) * scale + 127.5));
  };
  RealField seen(kN);
  for (int i = 0; i < kN * kN; ++i) {
    const int r = at(i / kN), c = at(i % kN);
    if (std::min(r, c) >= 0 && std::max(r, c) < kN)
      seen[i / kN][i % kN] = field[r][c];
  }
  return seen;
}

/// The pair reconstructed at z: the first's intensity, the interference phase.
std::pair<RealField, RealField> reconstruct(const Holograms& pictures,
                                            bool convolution, double z) {
  RealField one(kN), two(kN), difference(kN);
  reconstructDhi(convolution ? Method::convolution : Method::fresnel,
                 prepareHologram(pictures.first.rows(), kN),
                 prepareHologram(pictures.second.rows(), kN),
                 {kWavelength, 0.05, z, kPitch},
                 {one.rows(), two.rows(), difference.rows()});
  return {std::move(one), std::move(difference)};
}

/// Pearson correlation of the amplitude of the intensity a with the field b.
double correlation(const RealField& a, const RealField& b) {
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, n = kN * kN;
  for (int i = 0; i < kN * kN; ++i) {
    const double x = std::sqrt(a[i / kN][i % kN]), y = b[i / kN][i % kN];
    sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
  }
  return (sab - sa * sb / n) /
         std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
}

// Over 0.5 z to 2 z (finer near z) the amplitude best correlated with the
// object, drawn at the method's scale, is at z. A deformed pair's phase
// follows the bump over the object, mean |error| below the stated bound,
// without offset: a sign slip would show as twice the bump.
TEST(SlowPhysics, ReconstructionFocusesAtTheDistanceAndShowsTheDeformation) {
  const struct {
    const char* name;
    bool convolution, diffuse;
    double noise, z, deform, meanError;
  } cases[] = {{"ConvolutionBars", true, false, 0.0, 5e-3, 3.0, 0.3},
               {"ConvolutionDiffuseNoisy", true, true, 4.0, 5e-3, 3.0, 0.5},
               {"FresnelBars", false, false, 0.0, 5e-3, 3.0, 0.3},
               {"FresnelFar", false, false, 0.0, 8e-3, 3.0, 0.0},
               {"NoDeformationNoisy", true, true, 2.0, 5e-3, 0.0, 0.3},
               {"NoDeformation", false, false, 0.0, 5e-3, 0.0, 1e-12}};
  const RealField object = barsPattern(kN);
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const Recording recording{kN, kWavelength, kPitch, test.z, 0.05};
    const Holograms pictures =
        simulate(object.rows(),
                 {recording, test.diffuse, 1, test.noise, true, test.deform});
    const auto focus = [&](double z) {
      return correlation(reconstruct(pictures, test.convolution, z).first,
                         asSeenAt(object, test.convolution, z));
    };
    std::vector<std::pair<double, double>> sweep;  // focus, factor
    for (const double f : {0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0, 1.05, 1.1,
                           1.15, 1.2, 1.3, 1.5, 1.75, 2.0}) {
      sweep.emplace_back(focus(f * test.z), f);
    }
    EXPECT_NEAR(std::max_element(sweep.begin(), sweep.end())->second, 1.0,
                test.convolution ? 0.0 : 0.1);
    EXPECT_GT(focus(test.z), test.diffuse ? 0.3 : 0.5);
    const auto [intensity, difference] =
        reconstruct(pictures, test.convolution, test.z);
    if (!test.convolution) {  // the object's own scale, not the sensor's
      EXPECT_GT(focus(test.z), correlation(intensity, object) + 0.1);
    }
    if (test.meanError == 0.0) continue;  // focus only
    const RealField bump = asSeenAt(phaseBump(object.rows(), kN, test.deform),
                                    test.convolution, test.z);
    const RealField mask = asSeenAt(object, test.convolution, test.z);
    double error = 0.0, bias = 0.0, count = 0;
    for (int i = 0; i < kN * kN; ++i) {
      const int r = i / kN, c = i % kN;
      if (mask[r][c] == 0.0) continue;
      const double e = std::remainder(difference[r][c] - bump[r][c], 2 * kPi);
      error += std::abs(e), bias += e, ++count;
    }
    ASSERT_GT(count, 1000);
    EXPECT_LT(error / count, test.meanError);
    EXPECT_LT(std::abs(bias / count), 0.1);
  }
}

// A deformation of several turns (peak 12 rad) over a solid object:
// unwrapped, the interference phase is the bump itself up to one constant,
// mean |error| over the object below 0.3 rad, where the wrapped phase is
// off by whole turns; without deformation it is 0 within the noise.
TEST(SlowPhysics, UnwrappedInterferencePhaseIsTheDeformation) {
  RealField object(kN);
  for (int r = 3 * kN / 8; r < 5 * kN / 8; ++r) {
    for (int c = 3 * kN / 8; c < 5 * kN / 8; ++c) object[r][c] = 1.0;
  }
  for (const bool convolution : {true, false}) {
    for (const double deform : {12.0, 0.0}) {
      SCOPED_TRACE(testing::Message() << convolution << " " << deform);
      const Recording recording{kN, kWavelength, kPitch, 8e-3, 0.05};
      const Holograms pictures =
          simulate(object.rows(), {recording, false, 1, 2.0, true, deform});
      const RealField difference =
          reconstruct(pictures, convolution, 8e-3).second;
      RealField unwrapped(kN);
      ASSERT_EQ(unwrapPhase(difference.rows(), kN, unwrapped.rows()), "");
      const RealField bump =
          asSeenAt(phaseBump(object.rows(), kN, deform), convolution, 8e-3);
      const RealField mask = asSeenAt(object, convolution, 8e-3);
      std::vector<double> errors, wrapped;
      for (int i = 0; i < kN * kN; ++i) {
        const int r = i / kN, c = i % kN;
        if (mask[r][c] == 0.0) continue;
        errors.push_back(unwrapped[r][c] - bump[r][c]);
        wrapped.push_back(difference[r][c] - bump[r][c]);
      }
      const auto meanAbsoluteAboutMean = [](const std::vector<double>& e) {
        double mean = 0.0, deviation = 0.0;
        for (const double x : e) mean += x / static_cast<double>(e.size());
        for (const double x : e) deviation += std::abs(x - mean);
        return deviation / static_cast<double>(e.size());
      };
      EXPECT_LT(meanAbsoluteAboutMean(errors), 0.3);
      if (deform > 0) {
        EXPECT_GT(meanAbsoluteAboutMean(wrapped), 1.0);
      }
    }
  }
}

}  // namespace
