#include "unwrap.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "shortest.h"

namespace numerics {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The largest span of finite values still taken as one 2 pi interval: a
// closed [-pi, pi] spans exactly 2 pi, and values made by other arithmetic
// may overshoot by some rounding.
constexpr double kLargestSpan = kTwoPi + 1e-9;

// Whole turns to add to a step between two values of one 2 pi interval
// (so within about (-2 pi, 2 pi)) to bring it into [-pi, pi]; 0 for NaN.
// Comparisons rather than branches: on speckle their outcome is random.
int turnsOf(double step) { return (step < -kPi) - (step > kPi); }

double wrapStep(double step) { return step + kTwoPi * turnsOf(step); }

std::string spanProblem(const double* const* wrapped, int n) {
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const double value = wrapped[r][c];
      if (!std::isfinite(value)) continue;
      low = std::min(low, value);
      high = std::max(high, value);
    }
  }
  if (high - low <= kLargestSpan) return {};
  return "The phase to unwrap spans more than 2 pi (from " + shortestText(low) +
         " to " + shortestText(high) + "), so it is not a wrapped phase";
}

// What the joining needs to know of one sample, one byte each: bits 0-1 for
// the edge to the right neighbour (column + 1), bits 2-3 for the one to the
// upper neighbour (row + 1), each 0, 1 or 2 for -1, 0 or +1 turns of the
// step across it, or kNoEdge.
constexpr unsigned kNoEdge = 3;

unsigned edgeCode(double from, double to) {
  if (!std::isfinite(from) || !std::isfinite(to)) return kNoEdge;
  return static_cast<unsigned>(turnsOf(to - from) + 1);
}

// The value of a sample as the second differences see it: NaN outside the
// field and where the sample is no phase.
double phaseAt(const double* line, int column, int n) {
  if (line == nullptr || column < 0 || column >= n) return kNaN;
  const double value = line[column];
  return std::isfinite(value) ? value : kNaN;
}

// R = 1 / D for the sample at column c of row (below and above are the rows
// r - 1 and r + 1, null past the field's edge). Second differences that
// miss a neighbour are NaN and left out; D^2 is scaled to four terms.
float reliability(const double* below, const double* row, const double* above,
                  int c, int n) {
  const double centre = row[c];
  auto second = [&](const double* lineA, int columnA, const double* lineB,
                    int columnB) {
    return wrapStep(phaseAt(lineA, columnA, n) - centre) -
           wrapStep(centre - phaseAt(lineB, columnB, n));
  };
  const double differences[] = {
      second(row, c - 1, row, c + 1), second(below, c, above, c),
      second(below, c - 1, above, c + 1), second(below, c + 1, above, c - 1)};
  double sum = 0.0;
  int count = 0;
  for (const double d : differences) {
    if (std::isnan(d)) continue;
    sum += d * d;
    ++count;
  }
  if (count == 0) return 0.0f;
  // D may be 0 (a perfect plane): R is then +infinity, the most reliable.
  return 1.0f / static_cast<float>(std::sqrt(sum * 4.0 / count));
}

// Per-sample reliabilities and edge codes, sample i = r * n + c.
struct Measured {
  std::vector<float> reliabilities;
  std::vector<std::uint8_t> codes;
};

Measured measure(const double* const* wrapped, int n) {
  const auto count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  Measured m{std::vector<float>(count, 0.0f),
             std::vector<std::uint8_t>(count, 0)};
  std::size_t i = 0;
  for (int r = 0; r < n; ++r) {
    const double* below = r > 0 ? wrapped[r - 1] : nullptr;
    const double* row = wrapped[r];
    const double* above = r + 1 < n ? wrapped[r + 1] : nullptr;
    for (int c = 0; c < n; ++c, ++i) {
      const double value = row[c];
      const unsigned right = c + 1 < n ? edgeCode(value, row[c + 1]) : kNoEdge;
      const unsigned up = above ? edgeCode(value, above[c]) : kNoEdge;
      m.codes[i] = static_cast<std::uint8_t>(right | up << 2);
      if (std::isfinite(value)) {
        m.reliabilities[i] = reliability(below, row, above, c, n);
      }
    }
  }
  return m;
}

// Edges are numbered 2 i (sample i to its right neighbour) and 2 i + 1 (to
// its upper neighbour, i + n).
template <typename Visit>
void forEachEdge(const std::vector<std::uint8_t>& codes, Visit visit) {
  const auto count = static_cast<std::uint32_t>(codes.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    if ((codes[i] & 3u) != kNoEdge) visit(2 * i);
    if ((codes[i] >> 2) != kNoEdge) visit(2 * i + 1);
  }
}

// Edge keys R_a + R_b are floats from 0 to +infinity, whose bit patterns
// order like their values. The top 20 of their 31 value bits pick one of
// about 2^20 buckets, keeping 12 bits of mantissa: keys are told apart to
// one part in 4096, and a counting sort orders 2 n^2 edges in two passes.
constexpr int kKeyShift = 11;
constexpr std::uint32_t kBuckets = (0x7f800000u >> kKeyShift) + 1;

// Buckets numbered from the most reliable down.
std::uint32_t bucketOf(float key) {
  return kBuckets - 1 - (std::bit_cast<std::uint32_t>(key) >> kKeyShift);
}

std::vector<std::uint32_t> edgesByReliability(const Measured& m, int n) {
  const auto& reliability = m.reliabilities;
  auto bucket = [&](std::uint32_t edge) {
    const std::uint32_t a = edge >> 1;
    const std::uint32_t b =
        a + ((edge & 1u) ? static_cast<std::uint32_t>(n) : 1u);
    return bucketOf(reliability[a] + reliability[b]);
  };
  std::vector<std::uint32_t> start(kBuckets + 1, 0);
  forEachEdge(m.codes, [&](std::uint32_t edge) { ++start[bucket(edge) + 1]; });
  for (std::uint32_t b = 0; b < kBuckets; ++b) start[b + 1] += start[b];
  std::vector<std::uint32_t> order(start[kBuckets]);
  forEachEdge(m.codes,
              [&](std::uint32_t edge) { order[start[bucket(edge)]++] = edge; });
  return order;
}

// Union-find over the samples, each group carrying whole turns of 2 pi:
// the phase of sample x is wrapped_x + 2 pi k_x, and only differences of k
// within a group are fixed. Every difference of k between two samples of a
// group is the sum of at most (group size - 1) steps of one turn, so 32 bits
// hold it.
struct Node {
  std::int32_t parent = -1;  // parent sample, or -(group size) at a root
  std::int32_t turns = 0;    // k of this sample minus k of its parent
};

struct Found {
  std::int32_t root;
  std::int32_t turns;  // k of the sample minus k of its root
};

// Halves the path on the way up: every other sample is hung on its
// grandparent, its turns adding up accordingly.
Found find(std::vector<Node>& nodes, std::int32_t x) {
  std::int32_t turns = 0;
  while (nodes[static_cast<std::size_t>(x)].parent >= 0) {
    Node& node = nodes[static_cast<std::size_t>(x)];
    const Node& parent = nodes[static_cast<std::size_t>(node.parent)];
    if (parent.parent >= 0) {
      node.turns += parent.turns;
      node.parent = parent.parent;
    }
    turns += node.turns;
    x = node.parent;
  }
  return {x, turns};
}

// Joins the groups of a and b so that k_b - k_a == turns, moving the smaller
// group by whole turns.
void join(std::vector<Node>& nodes, std::int32_t a, std::int32_t b,
          std::int32_t turns) {
  auto [rootA, turnsA] = find(nodes, a);
  auto [rootB, turnsB] = find(nodes, b);
  if (rootA == rootB) return;
  std::int32_t rootStep = turns + turnsA - turnsB;  // k_rootB - k_rootA
  Node* big = &nodes[static_cast<std::size_t>(rootA)];
  Node* small = &nodes[static_cast<std::size_t>(rootB)];
  if (big->parent > small->parent) {  // sizes are negated
    std::swap(big, small);
    std::swap(rootA, rootB);
    rootStep = -rootStep;
  }
  big->parent += small->parent;
  small->parent = rootA;
  small->turns = rootStep;
}

std::vector<Node> joinedGroups(const double* const* wrapped, int n) {
  const Measured measured = measure(wrapped, n);
  const std::vector<std::uint32_t> order = edgesByReliability(measured, n);
  std::vector<Node> nodes(measured.codes.size());
  for (const std::uint32_t edge : order) {
    const std::uint32_t a = edge >> 1;
    const bool up = (edge & 1u) != 0;
    const std::uint32_t b = a + (up ? static_cast<std::uint32_t>(n) : 1u);
    const unsigned code = up ? measured.codes[a] >> 2 : measured.codes[a] & 3u;
    join(nodes, static_cast<std::int32_t>(a), static_cast<std::int32_t>(b),
         static_cast<std::int32_t>(code) - 1);
  }
  return nodes;
}

// Whole turns s that bring value + 2 pi s into (-pi, pi].
std::int64_t turnsIntoPrincipal(double value) {
  auto s = static_cast<std::int64_t>(std::floor((kPi - value) / kTwoPi));
  while (value + kTwoPi * static_cast<double>(s) > kPi) --s;
  while (value + kTwoPi * static_cast<double>(s) <= -kPi) ++s;
  return s;
}

// Calls visit(i, value) for every finite sample i = r * n + c.
template <typename Visit>
void forEachPhase(const double* const* wrapped, int n, Visit visit) {
  std::size_t i = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c, ++i) {
      if (std::isfinite(wrapped[r][c])) visit(i, wrapped[r][c]);
    }
  }
}

// Hangs every finite sample directly on its root with its k, then gives
// each group the whole turns that bring its median into (-pi, pi]. Those
// are kept in the root's turns, which a root does not otherwise use; until
// then a root's turns serve as the write position of its group's values in
// one array ordered by group.
void centreGroups(const double* const* wrapped, int n,
                  std::vector<Node>& nodes) {
  std::size_t count = 0;
  forEachPhase(wrapped, n, [&](std::size_t i, double) {
    Node& node = nodes[i];
    if (node.parent < 0) {
      node.turns = static_cast<std::int32_t>(count);
      count += static_cast<std::size_t>(-node.parent);
    } else {
      const Found found = find(nodes, static_cast<std::int32_t>(i));
      node.parent = found.root;
      node.turns = found.turns;
    }
  });
  std::vector<double> values(count);
  forEachPhase(wrapped, n, [&](std::size_t i, double w) {
    const Node& node = nodes[i];
    const bool root = node.parent < 0;
    Node& group =
        root ? nodes[i] : nodes[static_cast<std::size_t>(node.parent)];
    const double k = root ? 0.0 : node.turns;
    values[static_cast<std::size_t>(group.turns++)] = w + kTwoPi * k;
  });
  forEachPhase(wrapped, n, [&](std::size_t i, double) {
    Node& root = nodes[i];
    if (root.parent >= 0) return;
    const auto end = values.begin() + root.turns;
    const auto begin = end + root.parent;  // parent is -(group size)
    const auto median = begin + (end - begin - 1) / 2;
    std::nth_element(begin, median, end);
    root.turns = static_cast<std::int32_t>(turnsIntoPrincipal(*median));
  });
}

void writeUnwrapped(const double* const* wrapped, int n,
                    const std::vector<Node>& nodes, double* const* unwrapped) {
  std::size_t i = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c, ++i) {
      const double w = wrapped[r][c];
      if (!std::isfinite(w)) {
        unwrapped[r][c] = kNaN;
        continue;
      }
      const Node& node = nodes[i];
      const bool root = node.parent < 0;
      const std::int64_t k =
          root ? node.turns
               : std::int64_t{node.turns} +
                     nodes[static_cast<std::size_t>(node.parent)].turns;
      unwrapped[r][c] = w + kTwoPi * static_cast<double>(k);
    }
  }
}

}  // namespace

std::string unwrapPhase(const double* const* wrapped, int n,
                        double* const* unwrapped) {
  if (n > kMaxUnwrapSize) {
    return "The phase field is too large to unwrap (" + std::to_string(n) +
           " x " + std::to_string(n) + "; at most " +
           std::to_string(kMaxUnwrapSize) + " x " +
           std::to_string(kMaxUnwrapSize) + ")";
  }
  if (n <= 0) return {};
  if (std::string problem = spanProblem(wrapped, n); !problem.empty()) {
    return problem;
  }
  std::vector<Node> nodes = joinedGroups(wrapped, n);
  centreGroups(wrapped, n, nodes);
  writeUnwrapped(wrapped, n, nodes, unwrapped);
  return {};
}

std::size_t unwrapScratchBytes(int n) {
  if (n <= 0 || n > kMaxUnwrapSize) return 0;
  const auto samples =
      static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  const std::size_t perSample = sizeof(float) + sizeof(std::uint8_t) +
                                2 * sizeof(std::uint32_t) + sizeof(Node);
  return samples * perSample + (kBuckets + 1) * sizeof(std::uint32_t);
}

}  // namespace numerics
