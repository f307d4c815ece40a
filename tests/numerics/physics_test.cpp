#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "numerics/fft.h"
#include "numerics/reconstruction.h"
#include "simulate.h"
#include "support.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kSensor = 256;
constexpr int kGrid = 2 * kSensor;  // room for light leaving the sensor

// Object mask on the sensor window: two bars and two blocks, all within the
// centre half so that most of their light reaches the sensor.
RealField objectMask() {
  RealField mask(kSensor);
  struct Box {
    int top, left, height, width;
  };
  const Box boxes[] = {{70, 80, 100, 8},
                       {70, 110, 8, 70},
                       {120, 120, 30, 30},
                       {160, 150, 20, 40}};
  for (const Box& b : boxes) {
    for (int r = b.top; r < b.top + b.height; ++r) {
      for (int c = b.left; c < b.left + b.width; ++c) mask[r][c] = 1.0;
    }
  }
  return mask;
}

// Places mask * exp(i phase) in the middle of the simulation grid.
ComplexField embed(const RealField& mask, const RealField& phase) {
  ComplexField object(kGrid);
  const int offset = (kGrid - kSensor) / 2;
  for (int r = 0; r < kSensor; ++r) {
    for (int c = 0; c < kSensor; ++c) {
      object[r + offset][c + offset] = {mask[r][c] * std::cos(phase[r][c]),
                                        mask[r][c] * std::sin(phase[r][c])};
    }
  }
  return object;
}

double correlation(const RealField& a, const RealField& b) {
  const double count = static_cast<double>(a.size()) * a.size();
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  for (int r = 0; r < a.size(); ++r) {
    for (int c = 0; c < a.size(); ++c) {
      sa += a[r][c];
      sb += b[r][c];
      saa += a[r][c] * a[r][c];
      sbb += b[r][c] * b[r][c];
      sab += a[r][c] * b[r][c];
    }
  }
  const double cov = sab - sa * sb / count;
  return cov / std::sqrt((saa - sa * sa / count) * (sbb - sb * sb / count));
}

// The amplitude of the reconstruction resembles the object best at the
// distance it was recorded from.
TEST(Physics, ConvolutionFocusesAtTheRecordingDistance) {
  const simulate::Setup setup;
  const RealField mask = objectMask();
  const RealField flat(kSensor);
  const RealField hologram =
      simulate::record(embed(mask, flat), kSensor, setup);

  RealField intensity(kSensor), tangent(kSensor), amplitude(kSensor);
  int best = -1;
  double bestCorrelation = -1.0;
  std::vector<double> correlations;
  for (int i = 0; i <= 15; ++i) {
    const double z = setup.distance * (0.5 + 0.1 * i);
    reconstructConvolution(hologram.rows(), kSensor, intensity.rows(),
                           tangent.rows(), setup.wavelength, setup.angle, z,
                           setup.pitch);
    for (int r = 0; r < kSensor; ++r) {
      for (int c = 0; c < kSensor; ++c) {
        amplitude[r][c] = std::sqrt(intensity[r][c]);
      }
    }
    correlations.push_back(correlation(amplitude, mask));
    if (correlations.back() > bestCorrelation) {
      bestCorrelation = correlations.back();
      best = i;
    }
  }
  EXPECT_EQ(best, 5) << "z / z0 = " << 0.5 + 0.1 * best;
  EXPECT_GT(bestCorrelation, 0.5);
  EXPECT_GT(bestCorrelation, correlations[3] + 0.05);
  EXPECT_GT(bestCorrelation, correlations[7] + 0.05);
}

// A smooth deformation between two recordings of a speckled object comes
// out as the interference phase on every bright object sample (brighter
// than the object's mean; darker ones are dominated by noise), also where
// the two reconstructed real parts differ in sign (a phase formed from
// tangents is off by pi there).
TEST(Physics, InterferencePhaseRecoversADeformation) {
  // A steeper reference than in the focus test moves the twin image
  // (2 z0 sin(angle) away, 145 samples) clear of the object. A weak
  // reference keeps the terms common to both recordings (the filtered
  // |R|^2, strongest along the border) small beside the object's; they
  // would pull the measured difference towards 0.
  simulate::Setup setup;
  setup.angle = 0.05;
  setup.referenceAmplitude = 0.2;

  RealField mask(kSensor);
  for (int r = 60; r < 100; ++r) {
    for (int c = 40; c < 216; ++c) mask[r][c] = 1.0;
  }

  // Speckle: random phase, low-passed so that the light stays within the
  // simulation grid's band and mostly on the sensor.
  std::mt19937 random(17u);
  std::uniform_real_distribution<double> uniform(0.0, 2.0 * kPi);
  ComplexField speckle(kSensor);
  for (int r = 0; r < kSensor; ++r) {
    for (int c = 0; c < kSensor; ++c) {
      const double p = uniform(random);
      speckle[r][c] = {std::cos(p), std::sin(p)};
    }
  }
  fft2d(speckle.rows(), kSensor, true);
  for (int r = 0; r < kSensor; ++r) {
    for (int c = 0; c < kSensor; ++c) {
      const int fr = std::min(r, kSensor - r);
      const int fc = std::min(c, kSensor - c);
      if (fr * fr + fc * fc > 24 * 24) speckle[r][c] = {0.0, 0.0};
    }
  }
  fft2d(speckle.rows(), kSensor, false);

  RealField amplitude(kSensor), phase1(kSensor), phase2(kSensor),
      deformation(kSensor);
  for (int r = 0; r < kSensor; ++r) {
    for (int c = 0; c < kSensor; ++c) {
      const Complex s = speckle[r][c];
      amplitude[r][c] = mask[r][c] * std::hypot(s.re, s.im);
      phase1[r][c] = std::atan2(s.im, s.re);
      // 0.5 to 2.5 rad across the object.
      deformation[r][c] = 0.5 + 2.0 * (c - 40) / 175.0;
      phase2[r][c] = phase1[r][c] - deformation[r][c];
    }
  }
  const RealField first =
      simulate::record(embed(amplitude, phase1), kSensor, setup);
  const RealField second =
      simulate::record(embed(amplitude, phase2), kSensor, setup);

  RealField intensity1(kSensor), intensity2(kSensor), difference(kSensor);
  reconstructDhi(true, first.rows(), second.rows(), kSensor, intensity1.rows(),
                 intensity2.rows(), difference.rows(), setup.wavelength,
                 setup.angle, setup.distance, setup.pitch);
  RealField wrapped1(kSensor), wrapped2(kSensor);
  reconstructConvolution(first.rows(), kSensor, nullptr, wrapped1.rows(),
                         PhaseOutput::wrapped, setup.wavelength, setup.angle,
                         setup.distance, setup.pitch);
  reconstructConvolution(second.rows(), kSensor, nullptr, wrapped2.rows(),
                         PhaseOutput::wrapped, setup.wavelength, setup.angle,
                         setup.distance, setup.pitch);

  double meanIntensity = 0.0;
  int objectSamples = 0;
  for (int r = 0; r < kSensor; ++r) {
    for (int c = 0; c < kSensor; ++c) {
      if (mask[r][c] > 0.0) {
        meanIntensity += intensity1[r][c];
        ++objectSamples;
      }
    }
  }
  meanIntensity /= objectSamples;

  int checked = 0, oppositeSigns = 0;
  for (int r = 2; r < kSensor - 2; ++r) {
    for (int c = 2; c < kSensor - 2; ++c) {
      // Bright samples well inside the object.
      if (mask[r - 2][c] * mask[r + 2][c] * mask[r][c - 2] * mask[r][c + 2] ==
              0.0 ||
          intensity1[r][c] < meanIntensity) {
        continue;
      }
      ++checked;
      if (std::cos(wrapped1[r][c]) * std::cos(wrapped2[r][c]) < 0.0) {
        ++oppositeSigns;
      }
      const double error =
          std::remainder(difference[r][c] - deformation[r][c], 2.0 * kPi);
      ASSERT_LT(std::abs(error), 0.8) << "at " << r << ", " << c;
    }
  }
  EXPECT_GT(checked, objectSamples / 4);
  EXPECT_GT(oppositeSigns, checked / 5);
}

}  // namespace
