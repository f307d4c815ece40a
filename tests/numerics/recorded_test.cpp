// What recorded holograms need: preparation, background frames, phase
// compensation, the angular spectrum at z = 0, the sideband search.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <iostream>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "compensation.h"
#include "literal.h"
#include "prepare.h"
#include "reconstruction.h"
#include "sideband.h"

namespace numerics {
namespace {

using literal::each;
constexpr double kPi = std::numbers::pi;

// A 4 x 4 window whose picture covers field rows 1 and 2 (14 .. 21, mean
// 17.5); row 0 and 3 are padding. Then background frames: (H - D) / (B -
// D) times mean(B - D) = 50 / 100 * 87.6; the sample whose B - D is 0.5
// (below a grey level) takes the others' mean, 100: the same value.
TEST(Preparation, TakesTheZeroOrderAwayAndCorrectsByBackgroundFrames) {
  const int n = 4;
  const Extent picture{1, 0, 2, 4};
  RealField h(n), local(n), empty(n), dark(n), black(n);
  each(n, [&](int r, int c) {
    h[r][c] = r == 1 || r == 2 ? 10 + 4 * r + c : 0;
    dark[r][c] = 8, empty[r][c] = r == 2 && c == 1 ? 8.5 : 108;
  });
  const double sum = subtractLocalMean(h.rows(), n, local.rows());
  const double rms = std::sqrt(17.5);
  for (const auto& [zeroOrder, corrected, amplitude] :
       {std::tuple{ZeroOrder::localMean, false, referenceAmplitude(sum, n)},
        {ZeroOrder::localMean, true, rms},
        {ZeroOrder::mean, false, rms},
        {ZeroOrder::none, true, rms}}) {
    const PreparedHologram p =
        prepareHologram(h.rows(), n, zeroOrder, picture, corrected);
    EXPECT_EQ(p.referenceAmplitude, amplitude);
    each(n, [&](int r, int c) {
      const double expected = zeroOrder == ZeroOrder::localMean ? local[r][c]
                              : zeroOrder == ZeroOrder::none    ? h[r][c]
                              : h[r][c] == 0.0 ? 0.0  // padding stays 0
                                               : h[r][c] - 17.5;
      ASSERT_EQ(p.real[r][c], expected) << r << " " << c;
    });
  }
  each(n, [&](int r, int c) { h[r][c] = 58; });
  const BackgroundCorrection divided = correctBackground(
      h.rows(), empty.rows(), dark.rows(), n, picture, BackgroundMode::divide);
  EXPECT_EQ(divided.problem + std::to_string(divided.neutralised), "1");
  const double mean = (7 * 100 + 0.5) / 8;
  each(n, [&](int r, int c) {
    EXPECT_NEAR(h[r][c], r % 3 == 0 ? 58 : 50 * mean / 100, 1e-12) << r << c;
  });
  EXPECT_EQ(prepareHologram(h.rows(), n, ZeroOrder::mean, picture, true)
                .referenceAmplitude,
            std::sqrt(h[1][1]));
  correctBackground(h.rows(), empty.rows(), dark.rows(), n, picture,
                    BackgroundMode::subtract);  // the dark frame cancels
  EXPECT_NEAR(h[1][1], 50 * mean / 100 - 108, 1e-12);
  EXPECT_EQ(prepareHologram(h.rows(), n, ZeroOrder::mean, picture, true)
                .referenceAmplitude,
            1.0);  // no light on average
  // An empty frame no brighter than the dark frame, or black: refused.
  for (const auto& [frame, text] :
       {std::pair{dark.rows(), " above the dark frame"}, {nullptr, ""}})
    EXPECT_EQ(correctBackground(h.rows(), frame ? dark.rows() : black.rows(),
                                frame, n, picture, BackgroundMode::divide)
                  .problem,
              std::string("the empty frame holds no light") + text);
}

// arg(U conj(U_B)) in (-pi, pi] and |U| / |U_B|; NaN where U_B is dark.
TEST(RelativeField, PhaseAndAmplitudeAgainstTheEmptyFrame) {
  ComplexField u(2), empty(2);
  RealField phase(2), amplitude(2);
  u[0][0] = {-1.0, -0.0}, empty[0][0] = {1.0, 0.0};  // -pi is pi
  u[0][1] = {2 * std::cos(0.5), 2 * std::sin(0.5)};
  empty[0][1] = {0.5 * std::cos(-0.25), 0.5 * std::sin(-0.25)};
  empty[1][0] = {1e-7, 0.0};  // below 1e-6 of the mean |U_B|, 0.375
  relativeField(u.rows(), empty.rows(), 2, phase.rows(), amplitude.rows());
  EXPECT_EQ(phase[0][0], kPi);
  EXPECT_NEAR(phase[0][1], 0.75, 1e-15);
  EXPECT_NEAR(amplitude[0][1], 4.0, 1e-15);
  for (const double* row : {phase[1], amplitude[1]})
    EXPECT_TRUE(std::isnan(row[0]) && std::isnan(row[1]));
}

// Known surfaces on a picture (x, y from its centre, y downwards; field
// row r is picture row n - 1 - r) with noise, outliers (uniform over 40
// rad), NaN holes, or objects ("cells" of 2 rad covering a share of it):
// the fit finds the surface and leaves the background at 0. Cells over a
// third hold the fit, unless a region of background is given (its top left
// corner: a region taken upside down would hold a cell).
TEST(Compensation, FindsPlanesAndQuadricsThroughOutliersHolesAndObjects) {
  const int n = 128;
  const double m = 0.5 * (n - 1);
  const auto at = [](const PhaseSurface& s, double x, double y) {
    return s.a + s.b * x + s.c * y + s.d * x * x + s.e * x * y + s.f * y * y;
  };
  const struct {
    const char* name;
    bool curvature, inRegion;
    double noise, outliers, holes, cells, tolerance, kept;
  } cases[] = {
      {"exact plane", false, false, 0, 0, 0, 0, 1e-12, 1.0},
      {"plane, cells over a third, region", false, true, 0.05, 0, 0, 0.35, 0.05,
       0.95},
      {"plane, outliers", false, false, 0.05, 0.3, 0, 0, 0.01, 0.65},
      {"bowl, outliers, holes", true, false, 0.05, 0.1, 0.02, 0, 0.01, 0.85},
      {"cells over a fifth", true, false, 0.05, 0, 0, 0.2, 0.05, 0.75},
      {"cells over a third", true, false, 0.05, 0, 0, 0.35, 10, 0}};
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const PhaseSurface truth =
        t.curvature ? PhaseSurface{-2, 0.1, 0.05, 4e-4, -3e-4, 2e-4}
                    : PhaseSurface{1.5, 0.3, -0.2};
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, t.noise);
    std::uniform_real_distribution<double> uniform(0, 1);
    const double radius = std::sqrt(t.cells * n * n / (5 * kPi));
    const auto inCell = [&](int r, int c) {
      for (const auto& [x, y] :
           {std::pair{-30, -25}, {25, -35}, {0, 5}, {-35, 35}, {35, 30}})
        if (std::hypot(c - m - x, n - 1 - r - m - y) < radius) return true;
      return false;
    };
    RealField phase(n), out(n);
    each(n, [&](int r, int c) {
      const double u = uniform(random);
      phase[r][c] = u < t.holes
                        ? std::nan("")
                        : at(truth, c - m, n - 1 - r - m) + noise(random) +
                              2.0 * inCell(r, c) +
                              (u < t.outliers ? 40 * uniform(random) - 20 : 0);
    });
    const Compensation fit = compensatePhase(
        phase.rows(), n,
        {true, t.curvature,
         t.inRegion ? std::optional(PictureRectangle{0, 0, 44, 19})
                    : std::nullopt},
        out.rows());
    ASSERT_EQ(fit.problem, "");
    EXPECT_GE(fit.keptShare, t.kept);
    std::vector<double> background;  // the compensated phase off the cells
    each(n, [&](int r, int c) {
      if (!inCell(r, c) && std::isfinite(out[r][c]))
        background.push_back(out[r][c]);
    });
    const auto middle = background.begin() + background.size() / 2;
    std::nth_element(background.begin(), middle, background.end());
    if (t.cells > 0)
      std::cout << t.name << ": background median " << *middle << " rad, "
                << fit.keptShare << " of the samples kept\n";
    EXPECT_LT(std::abs(*middle), t.tolerance);
    for (const auto& [x, y] : {std::pair{-m, -m}, {m, 0.0}, {0.0, m}})
      EXPECT_NEAR(at(fit.surface, x, y), at(truth, x, y),
                  t.tolerance + 3 * t.noise);
  }
}

TEST(Compensation, RefusesWhatItCannotFit) {
  RealField phase(8), out(8);
  each(8, [&](int r, int c) {
    phase[r][c] = r == 0 && c == 0 ? std::nan("") : r + c;
  });
  for (const auto& [request, problem] :
       {std::pair<CompensationRequest, const char*>{
            {false, false, {}},
            "the compensation needs a tilt or a curvature to fit"},
        {{true, false, {{0, 0, 9, 4}}},
         "the compensation region (0 0 9 4) does not lie within the picture of "
         "8 x 8 pixels"},
        {{true, false, {{0, 7, 3, 1}}},  // one NaN of three
         "the compensation region's 2 finite phase samples do not fix a tilted "
         "plane (3 coefficients): too few, or on too few rows or columns"}})
    EXPECT_EQ(compensatePhase(phase.rows(), 8, request, out.rows()).problem,
              problem);
}

// At z = 0 the angular spectrum gives the prepared field itself, moved and
// scaled as always (p shows p + 1/2 for even n, p + 1 for odd n; 1 / pitch^2):
// on sums of plane waves, which a half-sample shift evaluates exactly.
TEST(AngularSpectrum, IsTheIdentityAtZeroDistance) {
  const double pitch = 2e-6;
  for (const int n : {32, 31}) {
    const double s = n % 2 == 0 ? 0.5 : 1.0;
    const auto wave = [&](double r, double c) {
      return std::complex<double>(
          std::cos(2 * kPi * (3 * c + 5 * r) / n + 0.3),
          0.5 * std::sin(2 * kPi * (7 * c - 2 * r) / n));
    };
    PreparedHologram p{RealField(), ComplexField(n), 1.0};
    each(n, [&](int r, int c) {
      p.complex[r][c] = {wave(r, c).real(), wave(r, c).imag()};
    });
    ComplexField u(n);
    reconstruct(Method::angularSpectrum, p, {532e-9, 0.0, 0.0, pitch},
                {.field = u.rows()});
    each(n, [&](int r, int c) {
      const auto error = std::complex(u[r][c].re, u[r][c].im) * pitch * pitch -
                         wave(r + s, c + s);
      ASSERT_LT(std::abs(error), 1e-12) << r << " " << c;
    });
  }
}

// An empty hologram is named as such; the search for the order passes by
// a camera's column pattern at the Nyquist frequency, 10 times stronger.
TEST(Sideband, NamesAnEmptyHologramAndSearchesOffTheNyquistLines) {
  const int n = 64;
  RealField h(n);
  const auto filter = [&](ZeroOrder zeroOrder) {
    return filterSideband(
        prepareHologram(h.rows(), n, zeroOrder, Extent::whole(n), false), {},
        {1, 0, 1, 1});
  };
  each(n, [&](int r, int c) { h[r][c] = 200; });  // constant
  EXPECT_EQ(filter(ZeroOrder::none).problem,
            "the hologram is empty: its spectrum holds nothing but the zero "
            "frequency");
  each(n, [&](int r, int c) {
    h[r][c] = 100 + 20 * std::cos(2 * kPi * 20 * r / n) + (c % 2 ? 200 : 0);
  });
  const auto centre = filter(ZeroOrder::mean).sideband.centre;
  EXPECT_EQ(std::pair(centre.fx, centre.fy), std::pair(0.0, 20.0));
}

}  // namespace
}  // namespace numerics
