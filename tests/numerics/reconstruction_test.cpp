#include "numerics/reconstruction.h"

#include <ap.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "literal.h"
#include "support.h"

namespace {

constexpr double kPi = std::numbers::pi;

struct Optics {
  double wavelength, angle, z, pitch;
};

using Reconstruct = void (*)(const double* const*, int, double* const*,
                             double* const*, double, double, double, double);
using Literal = void (*)(const double* const*, int, double* const*,
                         double* const*, double, double, double, double, bool);

struct Method {
  const char* name;
  Reconstruct fast;
  Literal slow;
};

const Method kMethods[] = {
    {"Fresnel", reconstructFresnel, literal::fresnel},
    {"Convolution", reconstructConvolution, literal::convolution},
};

double largest(const RealField& field) {
  double value = 0.0;
  for (int r = 0; r < field.size(); ++r) {
    for (int c = 0; c < field.size(); ++c) {
      value = std::max(value, field[r][c]);
    }
  }
  return value;
}

// The fast reconstructions against the plain transcription: intensities to
// 1e-9 of the largest intensity, tangents to 1e-6 relative where the real
// part is not tiny.
TEST(Reconstruction, AgreesWithThePlainFormulas) {
  const Optics optics[] = {{532e-9, 0.02, 5e-3, 3.45e-6},
                           {633e-9, -0.1, 0.3, 6.7e-6},
                           {1.0, 0.5, 250.0, 2.0}};
  for (const Method& method : kMethods) {
    for (const int n : {1, 2, 3, 8, 17, 64, 101}) {
      int compared = 0;
      for (const Optics& o : optics) {
        const RealField hologram = randomHologram(n, static_cast<unsigned>(n));
        RealField intensity(n), tangent(n), slowIntensity(n), slowTangent(n);
        method.fast(hologram.rows(), n, intensity.rows(), tangent.rows(),
                    o.wavelength, o.angle, o.z, o.pitch);
        method.slow(hologram.rows(), n, slowIntensity.rows(),
                    slowTangent.rows(), o.wavelength, o.angle, o.z, o.pitch,
                    false);
        const double top = largest(slowIntensity);
        for (int r = 0; r < n; ++r) {
          for (int c = 0; c < n; ++c) {
            ASSERT_NEAR(intensity[r][c], slowIntensity[r][c], 1e-9 * top)
                << method.name << " n = " << n << " at " << r << ", " << c;
            // |U_re| above 1e-3 |U| keeps the tangent's condition number
            // below about 1e6 times the rounding of U itself.
            const double t = slowTangent[r][c];
            if (slowIntensity[r][c] > 1e-12 * top && 1.0 + t * t < 1e6) {
              ASSERT_NEAR(tangent[r][c], t, 1e-6 * std::max(1.0, std::abs(t)))
                  << method.name << " n = " << n << " at " << r << ", " << c;
              ++compared;
            }
          }
        }
      }
      EXPECT_GT(compared, n * n) << method.name << " n = " << n;
    }
  }
}

TEST(Reconstruction, WrappedPhaseAgreesWithThePlainFormulas) {
  const int n = 24;
  const RealField hologram = randomHologram(n, 11u);
  RealField fast(n), slow(n), slowIntensity(n);
  reconstructFresnel(hologram.rows(), n, nullptr, fast.rows(),
                     PhaseOutput::wrapped, 532e-9, 0.02, 5e-3, 3.45e-6);
  literal::fresnel(hologram.rows(), n, slowIntensity.rows(), slow.rows(),
                   532e-9, 0.02, 5e-3, 3.45e-6, true);
  const double top = largest(slowIntensity);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      if (slowIntensity[r][c] < 1e-12 * top) continue;
      const double d = std::remainder(fast[r][c] - slow[r][c], 2.0 * kPi);
      EXPECT_NEAR(d, 0.0, 1e-6) << r << ", " << c;
    }
  }
}

// n = 1, hologram value 9: filtered 8, a_R = sqrt(8), intensity
// 512 / (lambda z)^2 whatever the angle.
TEST(Reconstruction, SingleSampleKnownValues) {
  const RealField hologram = filledField(1, 9.0);
  const double wavelength = 0.5, z = 0.3;
  const double intensityValue = 512.0 / (wavelength * z * wavelength * z);
  const double t0 = -(2.0 * kPi / wavelength) * z;
  const double k = 2.0 * kPi / wavelength;
  struct Case {
    const Method& method;
    double z;
    double tangent;
  };
  const Case cases[] = {
      {kMethods[0], z, std::cos(t0) / std::sin(t0)},
      {kMethods[1], z, std::cos(k * z) / std::sin(k * z)},
      {kMethods[1], -z, std::cos(k * z) / std::sin(k * z)},
  };
  for (const Case& c : cases) {
    for (const double angle : {0.0, 0.7}) {
      RealField intensity(1), tangent(1);
      c.method.fast(hologram.rows(), 1, intensity.rows(), tangent.rows(),
                    wavelength, angle, c.z, 1e-3);
      EXPECT_NEAR(intensity[0][0], intensityValue, 1e-12 * intensityValue)
          << c.method.name;
      EXPECT_NEAR(tangent[0][0], c.tangent, 1e-12 * std::abs(c.tangent))
          << c.method.name;
    }
  }
}

TEST(Reconstruction, EverySampleIsWrittenAndIntensityIsOptional) {
  for (const Method& method : kMethods) {
    for (const int n : {4, 7}) {
      const RealField hologram = randomHologram(n, 3u);
      RealField intensity = filledField(n, -1.0);
      RealField tangent = filledField(n, 1e300);
      RealField alone = filledField(n, 7.0);
      method.fast(hologram.rows(), n, intensity.rows(), tangent.rows(), 532e-9,
                  0.02, 5e-3, 3.45e-6);
      method.fast(hologram.rows(), n, nullptr, alone.rows(), 532e-9, 0.02, 5e-3,
                  3.45e-6);
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
          EXPECT_GE(intensity[r][c], 0.0) << method.name;
          EXPECT_NE(tangent[r][c], 1e300) << method.name;
          EXPECT_EQ(alone[r][c], tangent[r][c]) << method.name;
        }
      }
    }
  }
}

TEST(Reconstruction, ZeroHologramGivesZeroIntensityAndNanTangent) {
  for (const Method& method : kMethods) {
    const RealField hologram(5);
    RealField intensity = filledField(5, 1.0), tangent(5);
    method.fast(hologram.rows(), 5, intensity.rows(), tangent.rows(), 532e-9,
                0.02, 5e-3, 3.45e-6);
    for (int r = 0; r < 5; ++r) {
      for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(intensity[r][c], 0.0);
        EXPECT_TRUE(std::isnan(tangent[r][c]));
      }
    }
  }
}

TEST(Reconstruction, SignOfZDoesNotMatterForConvolution) {
  const int n = 12;
  const RealField hologram = randomHologram(n, 8u);
  RealField near(n), far(n), tangentNear(n), tangentFar(n);
  reconstructConvolution(hologram.rows(), n, near.rows(), tangentNear.rows(),
                         532e-9, 0.02, 5e-3, 3.45e-6);
  reconstructConvolution(hologram.rows(), n, far.rows(), tangentFar.rows(),
                         532e-9, 0.02, -5e-3, 3.45e-6);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      EXPECT_EQ(near[r][c], far[r][c]);
      EXPECT_EQ(tangentNear[r][c], tangentFar[r][c]);
    }
  }
}

// The documented failures: ALGLIB's message, and no output sample touched.
TEST(Reconstruction, NonFiniteParametersThrowBeforeWritingOutputs) {
  const char* forward = "FFTC1D: A contains infinite or NAN values!";
  const char* inverse = "FFTC1DInv: A contains infinite or NAN values!";
  struct Case {
    const Method& method;
    int n;
    double wavelength, z;
    const char* message;
  };
  const Case cases[] = {
      {kMethods[0], 4, 0.0, 5e-3, inverse},
      {kMethods[0], 5, 532e-9, 0.0, inverse},
      {kMethods[0], 1, 532e-9, 0.0, inverse},
      {kMethods[1], 4, 0.0, 5e-3, forward},
      {kMethods[1], 5, 532e-9, 0.0, forward},
      {kMethods[1], 1, 532e-9, 0.0, forward},
  };
  for (const Case& c : cases) {
    const RealField hologram = randomHologram(c.n, 2u);
    RealField intensity = filledField(c.n, 42.0);
    RealField tangent = filledField(c.n, 43.0);
    try {
      c.method.fast(hologram.rows(), c.n, intensity.rows(), tangent.rows(),
                    c.wavelength, 0.02, c.z, 3.45e-6);
      ADD_FAILURE() << c.method.name << " did not throw, n = " << c.n;
    } catch (const alglib::ap_error& error) {
      EXPECT_EQ(error.msg, c.message) << c.method.name << " n = " << c.n;
    }
    for (int r = 0; r < c.n; ++r) {
      for (int col = 0; col < c.n; ++col) {
        EXPECT_EQ(intensity[r][col], 42.0);
        EXPECT_EQ(tangent[r][col], 43.0);
      }
    }
  }
}

TEST(Reconstruction, DegenerateParametersThatDoNotThrow) {
  const RealField even = randomHologram(4, 6u);
  RealField intensity(4), tangent(4);
  // No sample lies on the axis for even n, so z = 0 keeps rho positive.
  EXPECT_NO_THROW(reconstructConvolution(even.rows(), 4, intensity.rows(),
                                         tangent.rows(), 532e-9, 0.02, 0.0,
                                         3.45e-6));
  // A zero pitch puts every sample at rho = |z|.
  EXPECT_NO_THROW(reconstructConvolution(even.rows(), 4, intensity.rows(),
                                         tangent.rows(), 532e-9, 0.02, 5e-3,
                                         0.0));
  // Fresnel with zero pitch: L = 0 makes the outputs non-finite, no error.
  EXPECT_NO_THROW(reconstructFresnel(even.rows(), 4, intensity.rows(),
                                     tangent.rows(), 532e-9, 0.02, 5e-3, 0.0));
  EXPECT_FALSE(std::isfinite(intensity[0][0]));
}

TEST(Reconstruction, ScratchBytesCoverTheWorkingFields) {
  const std::size_t n = 1024;
  const std::size_t fresnel = reconstructionScratchBytes(1024, false, false);
  EXPECT_GE(fresnel, n * n * (sizeof(Complex) + sizeof(double)));
  EXPECT_LT(fresnel, n * n * (sizeof(Complex) + sizeof(double)) * 11 / 10);
  EXPECT_EQ(reconstructionScratchBytes(1024, true, false) - fresnel,
            ComplexField::bytesFor(1024));
  EXPECT_EQ(reconstructionScratchBytes(1024, false, true) - fresnel,
            RealField::bytesFor(1024));
  EXPECT_EQ(
      reconstructionScratchBytes(std::numeric_limits<int>::max(), true, true),
      std::numeric_limits<std::size_t>::max());
}

}  // namespace
