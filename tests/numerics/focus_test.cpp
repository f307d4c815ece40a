#include "focus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "field.h"

using numerics::Extreme;
using numerics::FocusFigures;
using numerics::focusFigures;
using numerics::FocusRegion;
using numerics::focusRegionProblem;
using numerics::goldenSectionSearch;
using numerics::RealField;
using numerics::SearchResult;

namespace {

// The figures as their formulas read, straight from the intensity.
FocusFigures plainFigures(const RealField& intensity, const FocusRegion& g) {
  const int n = intensity.size();
  auto a = [&](int r, int c) {
    return std::sqrt(
        intensity[std::clamp(r, 0, n - 1)][std::clamp(c, 0, n - 1)]);
  };
  std::vector<double> as, gs;
  for (int r = g.row; r < g.row + g.rows; ++r) {
    for (int c = g.column; c < g.column + g.columns; ++c) {
      const double gx = a(r - 1, c + 1) + 2 * a(r, c + 1) + a(r + 1, c + 1) -
                        a(r - 1, c - 1) - 2 * a(r, c - 1) - a(r + 1, c - 1);
      const double gy = a(r + 1, c - 1) + 2 * a(r + 1, c) + a(r + 1, c + 1) -
                        a(r - 1, c - 1) - 2 * a(r - 1, c) - a(r - 1, c + 1);
      as.push_back(a(r, c));
      gs.push_back(std::hypot(gx, gy));
    }
  }
  auto mean = [](const std::vector<double>& v, double about, int power) {
    double sum = 0.0;
    for (double x : v) sum += std::pow(x - about, power);
    return sum / static_cast<double>(v.size());
  };
  const double mu = mean(as, 0, 1), muG = mean(gs, 0, 1);
  return {mean(as, mu, 2) / (mu * mu), mean(gs, 0, 2) / (mu * mu),
          std::sqrt(std::sqrt(mean(gs, muG, 2)) / muG), mu};
}

// Vertical bars in amplitude over most rows, blurred along the rows by a
// periodic box of half width blur (which keeps the mean); as intensity.
RealField bars(int n, int blur) {
  RealField intensity(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      double sum = 0.0;
      for (int k = c - blur + n; k <= c + blur + n; ++k) {
        sum += 0.2 + (k % n % 16 < 4 && r > n / 4);
      }
      intensity[r][c] = std::pow(sum / (2 * blur + 1), 2);
    }
  }
  return intensity;
}

// Against the plain formulas on regions of several shapes, some touching the
// field's edges, on amplitudes whose spread is a millionth of their mean
// (the variance must not cancel away); then sharp bars score higher than
// blurred ones on the three sharpness figures, with the same mean.
TEST(FocusFigures, MatchThePlainFormulasAndPreferSharpPictures) {
  const int n = 37;
  std::mt19937 random(9u);
  std::exponential_distribution<double> speckle(0.5);
  RealField intensity(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) intensity[r][c] = 1e6 + speckle(random);
  }
  const FocusRegion regions[] = {{0, 0, n, n},
                                 {5, 7, 1, 1},
                                 {0, 30, 12, 7},
                                 {36, 0, 1, 13},
                                 {3, 4, 20, 21}};
  for (const FocusRegion& g : regions) {
    SCOPED_TRACE(testing::Message() << g.row << ", " << g.column);
    const FocusFigures fast = focusFigures(intensity.rows(), n, g);
    const FocusFigures plain = plainFigures(intensity, g);
    for (auto figure :
         {&FocusFigures::normalizedVariance, &FocusFigures::tenenbaumGradient,
          &FocusFigures::tamuraGradient, &FocusFigures::integratedAmplitude}) {
      EXPECT_NEAR(fast.*figure, plain.*figure, 1e-9 * plain.*figure);
    }
  }
  const FocusRegion all{0, 0, 64, 64};
  const FocusFigures sharp = focusFigures(bars(64, 0).rows(), 64, all);
  const FocusFigures blurred = focusFigures(bars(64, 2).rows(), 64, all);
  EXPECT_GT(sharp.normalizedVariance, 1.5 * blurred.normalizedVariance);
  EXPECT_GT(sharp.tenenbaumGradient, 2 * blurred.tenenbaumGradient);
  EXPECT_GT(sharp.tamuraGradient, 1.2 * blurred.tamuraGradient);
  EXPECT_NEAR(sharp.integratedAmplitude, blurred.integratedAmplitude, 1e-12);
}

TEST(FocusFigures, RefuseRegionsOutsideTheField) {
  const struct {
    FocusRegion region;
    std::string reason;
  } cases[] = {
      {{7, 0, 1, 8}, ""},
      {{2, 3, 4, 0},
       "The focus region is empty (4 x 0 samples from row 2, column 3)"},
      {{0, 5, 8, 4},
       "The focus region (8 x 4 samples from row 0, column 5) does not lie "
       "inside the 8 x 8 field"},
      {{2147483647, -1, 2147483647, 1},
       "The focus region (2147483647 x 1 samples from row 2147483647, column "
       "-1) "
       "does not lie inside the 8 x 8 field"}};
  for (const auto& s : cases)
    EXPECT_EQ(focusRegionProblem(s.region, 8), s.reason);
}

// A parabola's vertex as maximum and, upside down with the bracket given
// backwards, as minimum: within the tolerance, in the predicted calls.
TEST(GoldenSectionSearch, FindsAParabolasVertex) {
  for (const double sign : {-1.0, 1.0}) {
    auto f = [&](double x) { return sign * (x - 1.3) * (x - 1.3) + 2.0; };
    const SearchResult found =
        sign < 0 ? goldenSectionSearch(f, 0.0, 5.0, 1e-6, Extreme::maximum)
                 : goldenSectionSearch(f, 5.0, 0.0, 1e-6, Extreme::minimum);
    EXPECT_NEAR(found.x, 1.3, 1e-6);
    EXPECT_EQ(found.value, f(found.x));
    const double golden = (1 + std::sqrt(5.0)) / 2;
    EXPECT_EQ(found.evaluations,
              2 + std::ceil(std::log(5.0 / 1e-6) / std::log(golden)));
  }
}

}  // namespace
