#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "numerics/reconstruction.h"
#include "support.h"

namespace {

constexpr double kPi = std::numbers::pi;

// The examples given for tangents, read as the phases atan of them with
// positive real parts, and the same phases with real parts of other signs.
TEST(InterferencePhase, KnownValues) {
  struct Case {
    double phase1, phase2, expected;
  };
  const Case cases[] = {
      {std::atan(1.0), std::atan(-1.0), kPi / 2},
      {std::atan(-1.0), std::atan(1.0), 3 * kPi / 2},
      {std::atan(2.0), std::atan(0.5), 0.6435011087932844},
      {std::atan(0.5), std::atan(2.0), 5.639684198386302},
      // Real parts of opposite sign: tangent 2 at phi and at phi - pi.
      {std::atan(2.0), std::atan(2.0) - kPi, kPi},
      {std::atan2(-2.0, -1.0), std::atan2(2.0, 1.0), kPi},
      {kPi, -kPi, 0.0},
      {1.0, 1.0, 0.0},
      {-3.0, 3.0, 2 * kPi - 6.0},
      // A difference of -1e-17 rounds up to 2 pi, which is the phase 0.
      {0.0, 1e-17, 0.0},
  };
  for (const Case& c : cases) {
    const double d = interferencePhase(c.phase1, c.phase2);
    EXPECT_NEAR(d, c.expected, 1e-12) << c.phase1 << " - " << c.phase2;
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 2 * kPi);
  }
  EXPECT_TRUE(std::isnan(interferencePhase(std::nan(""), 0.0)));
}

// The interference phase is the difference of the wrapped phases that the
// single reconstructions give, and the intensities are theirs too.
TEST(ReconstructDhi, CombinesTheTwoSingleReconstructions) {
  const int n = 20;
  const RealField first = randomHologram(n, 1u);
  const RealField second = randomHologram(n, 2u);
  for (const bool convolution : {false, true}) {
    RealField intensity1(n), intensity2(n), difference(n);
    reconstructDhi(convolution, first.rows(), second.rows(), n,
                   intensity1.rows(), intensity2.rows(), difference.rows(),
                   532e-9, 0.02, 5e-3, 3.45e-6);
    RealField single1(n), single2(n), phase1(n), phase2(n);
    if (convolution) {
      reconstructConvolution(first.rows(), n, single1.rows(), phase1.rows(),
                             PhaseOutput::wrapped, 532e-9, 0.02, 5e-3, 3.45e-6);
      reconstructConvolution(second.rows(), n, single2.rows(), phase2.rows(),
                             PhaseOutput::wrapped, 532e-9, 0.02, 5e-3, 3.45e-6);
    } else {
      reconstructFresnel(first.rows(), n, single1.rows(), phase1.rows(),
                         PhaseOutput::wrapped, 532e-9, 0.02, 5e-3, 3.45e-6);
      reconstructFresnel(second.rows(), n, single2.rows(), phase2.rows(),
                         PhaseOutput::wrapped, 532e-9, 0.02, 5e-3, 3.45e-6);
    }
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        EXPECT_EQ(intensity1[r][c], single1[r][c]);
        EXPECT_EQ(intensity2[r][c], single2[r][c]);
        EXPECT_EQ(difference[r][c],
                  interferencePhase(phase1[r][c], phase2[r][c]));
      }
    }
  }
}

TEST(ReconstructDhi, IdenticalHologramsGiveExactlyZero) {
  const int n = 16;
  const RealField hologram = randomHologram(n, 4u);
  for (const bool convolution : {false, true}) {
    RealField intensity1(n), intensity2(n), difference = filledField(n, 9.0);
    reconstructDhi(convolution, hologram.rows(), hologram.rows(), n,
                   intensity1.rows(), intensity2.rows(), difference.rows(),
                   532e-9, 0.02, 5e-3, 3.45e-6);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) EXPECT_EQ(difference[r][c], 0.0);
    }
  }
}

TEST(ReconstructDhi, FailsBeforeWritingAnyOutput) {
  const int n = 5;
  const RealField hologram = randomHologram(n, 4u);
  for (const bool convolution : {false, true}) {
    RealField intensity1 = filledField(n, 1.0),
              intensity2 = filledField(n, 2.0),
              difference = filledField(n, 3.0);
    EXPECT_ANY_THROW(reconstructDhi(
        convolution, hologram.rows(), hologram.rows(), n, intensity1.rows(),
        intensity2.rows(), difference.rows(), 0.0, 0.02, 5e-3, 3.45e-6));
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        EXPECT_EQ(intensity1[r][c], 1.0);
        EXPECT_EQ(intensity2[r][c], 2.0);
        EXPECT_EQ(difference[r][c], 3.0);
      }
    }
  }
}

}  // namespace
