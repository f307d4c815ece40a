#include "unwrap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "field.h"
#include "literal.h"

using numerics::RealField;
using numerics::unwrapPhase;

namespace {

constexpr double kPi = std::numbers::pi;

// Phase surfaces over x, y in [-1, 1] on a 128 x 128 grid, steep enough to
// wrap many times but never more than 1.3 rad per sample.
double plane(double x, double y) { return 57.0 * x + 32.0 * y; }
double paraboloid(double x, double y) { return 40.0 * (x * x + y * y); }

// A NaN disc or column, or random phase in a square (no object light).
enum class Mask { none, hole, wall, speckle };
struct Case {
  const char* name;
  double (*surface)(double, double);
  double noise;  // standard deviation in rad
  Mask mask;
  double low;  // wrapped into [low, low + 2 pi)
};

// Wraps, unwraps (the wall case in place) and checks that each connected
// part of the object is the true phase plus one constant 2 pi k, that no
// sample moved by anything but whole turns, and that each part's median lies
// in (-pi, pi]. Speckle must not disturb the object around it.
TEST(Unwrap, RecoversSurfacesUpToOneTurnCount) {
  const Case cases[] = {{"plane, hole", plane, 0.3, Mask::hole, 0.0},
                        {"paraboloid, hole", paraboloid, 0.3, Mask::hole, -kPi},
                        {"paraboloid, wall", paraboloid, 0.2, Mask::wall, 0.0},
                        {"plane, speckle", plane, 0.2, Mask::speckle, -kPi}};
  const int n = 128;
  for (const Case& s : cases) {
    SCOPED_TRACE(s.name);
    std::mt19937 random(5u);
    std::normal_distribution<double> noise(0.0, s.noise);
    std::uniform_real_distribution<double> anyPhase(-50.0, 50.0);
    auto wrap = [&](double t) {
      return t - 2 * kPi * std::floor((t - s.low) / (2 * kPi));
    };
    auto speckle = [&](int r, int c) {
      return s.mask == Mask::speckle && std::abs(r - n / 2) < n / 5 &&
             std::abs(c - n / 2) < n / 5;
    };
    RealField truth(n), field(n), out(n);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const double x = 2.0 * c / (n - 1) - 1, y = 2.0 * r / (n - 1) - 1;
        const bool masked =
            (s.mask == Mask::hole && std::hypot(x + 0.3, y - 0.2) < 0.25) ||
            (s.mask == Mask::wall && c == n / 2);
        truth[r][c] = masked          ? std::nan("")
                      : speckle(r, c) ? anyPhase(random)
                                      : s.surface(x, y) + noise(random);
        field[r][c] = wrap(truth[r][c]);
      }
    }
    RealField& result = s.mask == Mask::wall ? field : out;
    ASSERT_EQ(unwrapPhase(field.rows(), n, result.rows()), "");
    const int wall = s.mask == Mask::wall ? n / 2 : n;  // parts' columns
    for (const auto& [begin, end] : {std::pair{0, wall}, {wall + 1, n}}) {
      std::vector<double> values, offsets;
      for (int r = 0; r < n; ++r) {
        for (int c = begin; c < end; ++c) {
          const double u = result[r][c], offset = u - truth[r][c];
          EXPECT_EQ(std::isnan(u), std::isnan(truth[r][c]));
          if (std::isnan(offset)) continue;
          EXPECT_NEAR(std::remainder(offset, 2 * kPi), 0, 1e-9)
              << r << ", " << c;
          values.push_back(u);
          if (!speckle(r, c)) offsets.push_back(offset);
        }
      }
      if (values.empty()) continue;
      const auto [low, high] =
          std::minmax_element(offsets.begin(), offsets.end());
      EXPECT_LT(*high - *low, 1e-9);
      auto median = values.begin() + (values.size() - 1) / 2;
      std::nth_element(values.begin(), median, values.end());
      EXPECT_TRUE(*median > -kPi && *median <= kPi) << *median;
    }
  }
}

// The unwrapper gives the plain transcription's bits: speckle around a
// tilted object, NaN holes, a NaN column and scattered infinities, odd and
// tiny fields, a constant one, and a ramp large enough that its median is
// found in two steps, whose halves lie on either side of pi (the next
// larger value would turn it all by 2 pi); one after the other, so that
// the unwrapper's arrays are reused and remade.
TEST(Unwrap, GivesThePlainTranscriptionsBits) {
  std::mt19937 random(9u);
  std::uniform_real_distribution<double> anyPhase(-kPi, kPi);
  for (const int n : {64, 33, 1, 2, 5, 300, 40, 64}) {
    RealField wrapped(n), out(n);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const double x = c - n / 2.0, y = r - n / 3.0;
        const double t =
            x * x + y * y < n * n / 9.0 ? 0.4 * x + 0.3 * y : anyPhase(random);
        wrapped[r][c] = n == 5     ? 1.0
                        : n == 300 ? kPi + (c - 149.5) * 0.02
                                   : t - 2 * kPi * std::floor(t / (2 * kPi));
        if (n == 40 && c == 17) wrapped[r][c] = std::nan("");
        if (n == 40 && (r * 7 + c) % 13 == 0) wrapped[r][c] = HUGE_VAL;
        if (n == 33 && std::hypot(x - 4, y) < 5) wrapped[r][c] = std::nan("");
      }
    }
    ASSERT_EQ(unwrapPhase(wrapped.rows(), n, out.rows()), "");
    const std::vector<double> expected =
        literal::unwrapPhase(wrapped.rows(), n);
    for (int i = 0; i < n * n; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i / n][i % n]),
                std::bit_cast<std::uint64_t>(expected[std::size_t(i)]))
          << "n " << n << ", sample " << i;
    }
  }
}

// A phase that is not wrapped (spanning more than 2 pi) and a field too
// large to number are refused with their reason, and nothing is written.
TEST(Unwrap, RefusesWhatItCannotUnwrap) {
  RealField field(3), out(3);
  field[1][2] = 7.0;
  out[0][0] = 0.5;
  EXPECT_EQ(unwrapPhase(field.rows(), 3, out.rows()),
            "The phase to unwrap spans more than 2 pi (from 0 to 7), so it is "
            "not a wrapped phase");
  EXPECT_EQ(unwrapPhase(nullptr, 46341, nullptr),
            "The phase field is too large to unwrap (46341 x 46341; at most "
            "46340 x 46340)");
  EXPECT_EQ(out[0][0], 0.5);
}

}  // namespace
