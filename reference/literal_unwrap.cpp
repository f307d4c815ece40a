#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "literal.h"

// The unwrapper as its documentation (unwrap.h) states it, step by step:
// every reliability from its four second differences, the edges sorted by
// their keys' buckets with std::stable_sort, a union-find without path
// compression, each group's median found by sorting its values.
namespace literal {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double wrapStep(double step) {
  return step + kTwoPi * ((step < -kPi) - (step > kPi));
}

struct Edge {
  int a, b;              // samples r * n + c, b the right or upper one
  std::uint32_t bucket;  // the key's top 20 value bits
};

struct Groups {
  std::vector<int> parent, size;
  std::vector<std::int64_t> turns;  // k of the sample minus k of its parent

  // The root of x, and k of x minus k of the root.
  std::pair<int, std::int64_t> root(int x) const {
    std::int64_t k = 0;
    for (; parent[x] != x; x = parent[x]) k += turns[x];
    return {x, k};
  }
};

}  // namespace

std::vector<double> unwrapPhase(const double* const* wrapped, int n) {
  auto at = [&](int r, int c) {
    if (r < 0 || r >= n || c < 0 || c >= n) return kNaN;
    return std::isfinite(wrapped[r][c]) ? wrapped[r][c] : kNaN;
  };
  const int count = n * n;
  std::vector<float> reliability(count, 0.0f);
  each(n, [&](int r, int c) {
    const double x = at(r, c);
    if (std::isnan(x)) return;
    auto second = [&](int ra, int ca, int rb, int cb) {
      return wrapStep(at(ra, ca) - x) - wrapStep(x - at(rb, cb));
    };
    double sum = 0.0;
    int terms = 0;
    for (const double d :
         {second(r, c - 1, r, c + 1), second(r - 1, c, r + 1, c),
          second(r - 1, c - 1, r + 1, c + 1),
          second(r - 1, c + 1, r + 1, c - 1)}) {
      if (std::isnan(d)) continue;
      sum += d * d;
      ++terms;
    }
    if (terms > 0) {
      reliability[r * n + c] =
          1.0f / static_cast<float>(std::sqrt(sum * 4.0 / terms));
    }
  });
  std::vector<Edge> edges;
  each(n, [&](int r, int c) {
    for (const auto& [rb, cb] : {std::pair{r, c + 1}, {r + 1, c}}) {
      if (std::isnan(at(r, c)) || std::isnan(at(rb, cb))) continue;
      const float key = reliability[r * n + c] + reliability[rb * n + cb];
      edges.push_back(
          {r * n + c, rb * n + cb, std::bit_cast<std::uint32_t>(key) >> 11});
    }
  });
  std::stable_sort(
      edges.begin(), edges.end(),
      [](const Edge& x, const Edge& y) { return x.bucket > y.bucket; });
  Groups groups{std::vector<int>(count), std::vector<int>(count, 1),
                std::vector<std::int64_t>(count, 0)};
  for (int i = 0; i < count; ++i) groups.parent[i] = i;
  const auto value = [&](int i) { return wrapped[i / n][i % n]; };
  for (const Edge& e : edges) {
    const auto [ra, ka] = groups.root(e.a);
    const auto [rb, kb] = groups.root(e.b);
    if (ra == rb) continue;
    // k_b - k_a is the whole turns that bring the step into [-pi, pi].
    const double step = value(e.b) - value(e.a);
    const std::int64_t turns = (step < -kPi) - (step > kPi);
    const std::int64_t rootStep = turns + ka - kb;  // k_rb - k_ra
    const bool bIsBig = groups.size[rb] > groups.size[ra];
    const int big = bIsBig ? rb : ra, small = bIsBig ? ra : rb;
    groups.parent[small] = big;
    groups.turns[small] = bIsBig ? -rootStep : rootStep;
    groups.size[big] += groups.size[small];
  }
  // Each group's lower median of wrapped + 2 pi k, k taken from its root,
  // brought into (-pi, pi] by whole turns s.
  std::vector<std::vector<double>> members(count);
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(value(i))) continue;
    const auto [root, k] = groups.root(i);
    members[root].push_back(value(i) + kTwoPi * static_cast<double>(k));
  }
  std::vector<std::int64_t> shift(count, 0);
  for (int root = 0; root < count; ++root) {
    std::vector<double>& v = members[root];
    if (v.empty()) continue;
    std::sort(v.begin(), v.end());
    const double median = v[(v.size() - 1) / 2];
    auto s = static_cast<std::int64_t>(std::floor((kPi - median) / kTwoPi));
    while (median + kTwoPi * static_cast<double>(s) > kPi) --s;
    while (median + kTwoPi * static_cast<double>(s) <= -kPi) ++s;
    shift[root] = s;
  }
  std::vector<double> result(count, kNaN);
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(value(i))) continue;
    const auto [root, k] = groups.root(i);
    result[i] = value(i) + kTwoPi * static_cast<double>(k + shift[root]);
  }
  return result;
}

}  // namespace literal
