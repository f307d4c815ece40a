// The angular spectrum against the diffraction integral; the sideband
// filter's refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <optional>
#include <string>

#include "literal.h"
#include "reconstruction.h"
#include "sideband.h"

using numerics::ComplexField;
using numerics::filterSideband;
using numerics::Frequency;
using numerics::Method;
using numerics::PreparedHologram;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::reconstruct;
using numerics::Sideband;
using numerics::SidebandRequest;
using numerics::SidebandResult;

namespace {

using C = std::complex<double>;
using literal::each;
constexpr double kPi = std::numbers::pi, kWavelength = 532e-9, kPitch = 3.45e-6;

// A Gaussian spot (waist 3 samples) taken back over z, against the
// Rayleigh-Sommerfeld integral as a plain sum,
//   U(x) = sum U0 z / (2 pi d^2) (1 / d + i k) exp(-i k d) pitch^2,
// at the place the sample shows (half a sample on for even n, one for odd
// n, as with the Convolution method) and on its scale (over pitch^2). The
// band limit stays beyond the spot's frequencies.
TEST(AngularSpectrum, MatchesTheRayleighSommerfeldSum) {
  const double k = 2 * kPi / kWavelength;
  for (const int n : {64, 63}) {
    const double middle = (n - 1) / 2.0, shift = n % 2 ? 1.0 : 0.5;
    PreparedHologram spot;  // the object's wave alone, reference amplitude 1
    spot.complex = ComplexField(n);
    spot.referenceAmplitude = 1;
    each(n, [&](int r, int c) {
      const double d2 =
          (r - middle) * (r - middle) + (c - middle) * (c - middle);
      spot.complex[r][c].re = std::exp(-d2 / 9);
    });
    for (const double z : {1e-3, 2e-3}) {
      ComplexField u(n);
      reconstruct(Method::angularSpectrum, spot, {kWavelength, 0.0, z, kPitch},
                  {.field = u.rows()});
      const double top = std::hypot(u[31][31].re, u[31][31].im);
      for (const auto& [y, x] :
           {std::pair{31, 31}, {28, 35}, {36, 30}, {31, 24}}) {
        C sum;
        each(n, [&](int r, int c) {
          const double d =
              std::hypot((x + shift - c) * kPitch, (y + shift - r) * kPitch, z);
          sum += spot.complex[r][c].re * z / (2 * kPi * d * d) * C(1 / d, k) *
                 std::polar(1.0, -k * d);
        });
        SCOPED_TRACE(testing::Message()
                     << n << " " << z << " " << y << " " << x);
        EXPECT_NEAR(u[y][x].re, sum.real(), 1e-5 * top);
        EXPECT_NEAR(u[y][x].im, sum.imag(), 1e-5 * top);
        printf("%g %g %g %g\n", top, std::abs(sum), u[y][x].re - sum.real(),
               u[y][x].im - sum.imag());
      }
    }
  }
}

// Requests the filter cannot meet name the reason and give no hologram.
TEST(Sideband, RefusesWhatItCannotMeet) {
  const struct {
    std::optional<Frequency> centre;
    int order;
    double radius, edge, wavelength, angle;
    const char* problem;
  } cases[] = {
      {{}, 2, 0, 4, 1, 0.1, "order must be 1 or -1"},
      {{}, 1, -1, 4, 1, 0.1, "radius must be 0 (automatic) or a positive"},
      {Frequency{0, 0}, 1, 0, 4, 1, 0.1, "centre is the zero frequency"},
      {Frequency{0, 8.5}, 1, 0, 4, 1, 0.1,
       "centre (0, 8.5) lies beyond the highest frequency of the hologram, 8 "},
      {Frequency{2.5, 2.5}, 1, 0.3, 4, 1, 0.1,
       "disk of radius 0.3 holds no frequency sample"},
      {{}, 1, 0, 4, 1, 0.6, "lies beyond the highest"},  // 16 sin(0.6) = 9
  };
  RealField hologram(16);
  each(16, [&](int r, int c) { hologram[r][c] = (r * 7 + c * c) % 11; });
  const PreparedHologram prepared = prepareHologram(hologram.rows(), 16);
  for (const auto& test : cases) {
    const SidebandRequest request{test.centre, test.order, test.radius,
                                  test.edge, false};
    const SidebandResult result = filterSideband(
        prepared, request, {test.wavelength, test.angle, 1.0, 1.0});
    EXPECT_NE(result.problem.find(test.problem), std::string::npos)
        << result.problem;
    EXPECT_EQ(result.hologram.size(), 0);
  }
}

}  // namespace
