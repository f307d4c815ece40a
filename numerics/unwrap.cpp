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

// wrapStep in doubles throughout: the same values (turnsOf's -1, 0 and +1
// convert exactly), in a form the compiler vectorises.
double wrapStepInDoubles(double step) {
  return step + kTwoPi * (static_cast<double>(step < -kPi) -
                          static_cast<double>(step > kPi));
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

// The unwrapper's arrays, kept on each thread from one call to the next
// while the edge stays the same: faulting in fresh arrays cost about a
// tenth of an unwrapping at 1024 x 1024, and a sweep unwraps one edge many
// times. A new edge releases the old arrays first. Every call overwrites
// what it reads.
struct Scratch {
  int edge = -1;
  std::vector<std::uint8_t> finiteColumns;  // of three rows, see measureRow
  std::vector<float> reliabilities;         // per sample i = r * n + c
  std::vector<std::uint8_t> codes;          // per sample, see kNoEdge
  std::vector<std::uint32_t> starts;        // the counting sort's buckets
  std::vector<std::uint32_t> order;         // edges, most reliable first
  std::vector<Node> nodes;                  // per sample
  std::vector<double> values;               // per finite sample, by group

  static Scratch& of(int n) {
    thread_local Scratch scratch;
    if (scratch.edge != n) {
      scratch = Scratch();
      const auto count =
          static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
      scratch.edge = n;
      scratch.finiteColumns.resize(static_cast<std::size_t>(n));
      scratch.reliabilities.resize(count);
      scratch.codes.resize(count);
      scratch.nodes.resize(count);
    }
    return scratch;
  }
};

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

// Reliability and edge codes of sample c of row, whatever its neighbours.
void measureSample(const double* below, const double* row, const double* above,
                   int c, int n, float* reliabilities, std::uint8_t* codes) {
  const double value = row[c];
  const unsigned right = c + 1 < n ? edgeCode(value, row[c + 1]) : kNoEdge;
  const unsigned up = above ? edgeCode(value, above[c]) : kNoEdge;
  codes[c] = static_cast<std::uint8_t>(right | up << 2);
  reliabilities[c] =
      std::isfinite(value) ? reliability(below, row, above, c, n) : 0.0f;
}

// measureSample for the samples begin to end - 1 of a row whose samples,
// and those of the rows below and above it, are finite from begin - 1 to
// end. Every second difference exists there, so reliability() comes down to
// the same operations in the same order without a branch, which the
// compiler vectorises.
void measureInterior(const double* below, const double* row,
                     const double* above, int begin, int end,
                     float* reliabilities, std::uint8_t* codes) {
  const auto second = [](double before, double centre, double after) {
    return wrapStepInDoubles(before - centre) -
           wrapStepInDoubles(centre - after);
  };
  for (int c = begin; c < end; ++c) {
    const double x = row[c];
    const double h = second(row[c - 1], x, row[c + 1]);
    const double v = second(below[c], x, above[c]);
    const double d1 = second(below[c - 1], x, above[c + 1]);
    const double d2 = second(below[c + 1], x, above[c - 1]);
    double sum = 0.0;
    sum += h * h;
    sum += v * v;
    sum += d1 * d1;
    sum += d2 * d2;
    reliabilities[c] = 1.0f / static_cast<float>(std::sqrt(sum * 4.0 / 4));
  }
  for (int c = begin; c < end; ++c) {
    const int right = turnsOf(row[c + 1] - row[c]) + 1;
    const int up = turnsOf(above[c] - row[c]) + 1;
    codes[c] = static_cast<std::uint8_t>(right | up << 2);
  }
}

// Measures row r of the field, the samples whose 3 x 3 neighbourhood lies
// in the field and is finite by measureInterior, the others one by one.
// finite[c] says whether column c is finite in rows r - 1 to r + 1.
void measureRow(const double* const* wrapped, int n, int r,
                std::vector<std::uint8_t>& finite, float* reliabilities,
                std::uint8_t* codes) {
  const double* below = r > 0 ? wrapped[r - 1] : nullptr;
  const double* row = wrapped[r];
  const double* above = r + 1 < n ? wrapped[r + 1] : nullptr;
  if (below == nullptr || above == nullptr) {
    for (int c = 0; c < n; ++c) {
      measureSample(below, row, above, c, n, reliabilities, codes);
    }
    return;
  }
  for (int c = 0; c < n; ++c) {
    finite[static_cast<std::size_t>(c)] = std::isfinite(below[c]) &&
                                          std::isfinite(row[c]) &&
                                          std::isfinite(above[c]);
  }
  const auto interior = [&](int c) {
    return c > 0 && c + 1 < n && finite[static_cast<std::size_t>(c - 1)] &&
           finite[static_cast<std::size_t>(c)] &&
           finite[static_cast<std::size_t>(c + 1)];
  };
  for (int c = 0; c < n;) {
    if (!interior(c)) {
      measureSample(below, row, above, c, n, reliabilities, codes);
      ++c;
      continue;
    }
    int end = c + 1;
    while (end < n && interior(end)) ++end;
    measureInterior(below, row, above, c, end, reliabilities, codes);
    c = end;
  }
}

// Per-sample reliabilities and edge codes into the scratch arrays.
void measure(const double* const* wrapped, int n, Scratch& scratch) {
  for (int r = 0; r < n; ++r) {
    const std::size_t first =
        static_cast<std::size_t>(r) * static_cast<std::size_t>(n);
    measureRow(wrapped, n, r, scratch.finiteColumns,
               scratch.reliabilities.data() + first,
               scratch.codes.data() + first);
  }
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

// The sample at the other end of an edge: i + 1 or i + n. No branch: the
// direction of one edge says nothing about the next one's.
std::uint32_t neighbour(std::uint32_t edge, int n) {
  const std::uint32_t up = edge & 1u;
  return (edge >> 1) + 1u + up * (static_cast<std::uint32_t>(n) - 1u);
}

// The whole turns of the step across an edge, -1, 0 or +1.
std::int32_t turnsAcross(std::uint32_t edge, const std::uint8_t* codes) {
  const std::uint32_t up = edge & 1u;
  return static_cast<std::int32_t>((codes[edge >> 1] >> (2 * up)) & 3u) - 1;
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

// Puts the edges into scratch.order, most reliable first, equal buckets in
// the order of their numbers.
void sortEdges(int n, Scratch& scratch) {
  const float* reliability = scratch.reliabilities.data();
  auto bucket = [&](std::uint32_t edge) {
    return bucketOf(reliability[edge >> 1] + reliability[neighbour(edge, n)]);
  };
  // The keys crowd into a few of the buckets (reliabilities span a few
  // powers of two): counting over the range in use only keeps the counts
  // in cache.
  std::uint32_t low = kBuckets;
  std::uint32_t high = 0;
  std::uint32_t edges = 0;
  forEachEdge(scratch.codes, [&](std::uint32_t edge) {
    const std::uint32_t b = bucket(edge);
    low = std::min(low, b);
    high = std::max(high, b);
    ++edges;
  });
  scratch.order.resize(edges);
  if (edges == 0) return;
  std::vector<std::uint32_t>& start = scratch.starts;
  start.assign(high - low + 2, 0);
  forEachEdge(scratch.codes,
              [&](std::uint32_t edge) { ++start[bucket(edge) - low + 1]; });
  for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  forEachEdge(scratch.codes, [&](std::uint32_t edge) {
    scratch.order[start[bucket(edge) - low]++] = edge;
  });
}

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

// A root found, with what the joining needs of it.
struct Root {
  std::int32_t sample;
  std::int32_t turns;    // k of the sample looked for minus k of the root
  std::int32_t negSize;  // -(size of its group)
};

// find for the joining: samples at most one step below their root (all but
// a few in a hundred) without a loop, the rest as find does it.
Root rootOf(std::vector<Node>& nodes, std::int32_t x) {
  const Node node = nodes[static_cast<std::size_t>(x)];
  const bool atRoot = node.parent < 0;
  const std::int32_t y = atRoot ? x : node.parent;
  const std::int32_t above = nodes[static_cast<std::size_t>(y)].parent;
  if (above >= 0) [[unlikely]] {
    const Found found = find(nodes, x);
    return {found.root, found.turns,
            nodes[static_cast<std::size_t>(found.root)].parent};
  }
  return {y, atRoot ? 0 : node.turns, above};
}

// Joins the groups of a and b so that k_b - k_a == turns, moving the smaller
// group (b's on a tie) by whole turns; nothing when they are one group.
// Both stores happen either way, as selects rather than branches: whether
// two samples are in one group, and which group is larger, come out at
// random while the groups form.
void join(std::vector<Node>& nodes, Root a, Root b, std::int32_t turns) {
  const bool same = a.sample == b.sample;
  const bool swap = a.negSize > b.negSize;  // a's group is the smaller
  const std::int32_t rootStep = turns + a.turns - b.turns;  // k_rB - k_rA
  const std::int32_t big = swap ? b.sample : a.sample;
  const std::int32_t small = swap ? a.sample : b.sample;
  const std::int32_t bigSize = swap ? b.negSize : a.negSize;
  const std::int32_t smallSize = swap ? a.negSize : b.negSize;
  nodes[static_cast<std::size_t>(big)].parent =
      same ? bigSize : bigSize + smallSize;
  nodes[static_cast<std::size_t>(small)] =
      same ? Node{smallSize, 0} : Node{big, swap ? -rootStep : rootStep};
}

// Edges ahead of the current one whose samples are fetched into the cache
// meanwhile: the order jumps all over the field.
constexpr std::size_t kPrefetchEdges = 16;

// Joins the samples' groups edge by edge in scratch.order.
void joinGroups(int n, Scratch& scratch) {
  std::vector<Node>& nodes = scratch.nodes;
  std::fill(nodes.begin(), nodes.end(), Node{});
  const std::vector<std::uint32_t>& order = scratch.order;
  const std::uint8_t* codes = scratch.codes.data();
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + kPrefetchEdges < order.size()) {
      const std::uint32_t ahead = order[i + kPrefetchEdges];
      __builtin_prefetch(&nodes[ahead >> 1]);
      __builtin_prefetch(&nodes[neighbour(ahead, n)]);
      __builtin_prefetch(&codes[ahead >> 1]);
    }
    const std::uint32_t edge = order[i];
    const Root a = rootOf(nodes, static_cast<std::int32_t>(edge >> 1));
    const Root b = rootOf(nodes, static_cast<std::int32_t>(neighbour(edge, n)));
    join(nodes, a, b, turnsAcross(edge, codes));
  }
}

// Whole turns s that bring value + 2 pi s into (-pi, pi].
std::int64_t turnsIntoPrincipal(double value) {
  auto s = static_cast<std::int64_t>(std::floor((kPi - value) / kTwoPi));
  while (value + kTwoPi * static_cast<double>(s) > kPi) --s;
  while (value + kTwoPi * static_cast<double>(s) <= -kPi) ++s;
  return s;
}

// A key that orders like the double it is made from: the sign bit flipped
// for positive values, every bit for negative ones.
std::uint64_t orderedBits(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The value that std::nth_element would put at rank m of [begin, end). A
// large group is narrowed down first by the top 16 bits of each value's
// ordered key, so that only the values sharing the median's are ordered.
double valueOfRank(double* begin, double* end, std::size_t m) {
  const auto count = static_cast<std::size_t>(end - begin);
  constexpr std::size_t kSmall = std::size_t{1} << 16;
  if (count <= kSmall) {
    std::nth_element(begin, begin + m, end);
    return begin[m];
  }
  auto bucket = [](double v) { return orderedBits(v) >> 48; };
  std::vector<std::size_t> counts(std::size_t{1} << 16, 0);
  for (const double* v = begin; v != end; ++v) ++counts[bucket(*v)];
  std::size_t below = 0;
  std::uint64_t chosen = 0;
  while (below + counts[chosen] <= m) below += counts[chosen++];
  std::vector<double> candidates;
  candidates.reserve(counts[chosen]);
  for (const double* v = begin; v != end; ++v) {
    if (bucket(*v) == chosen) candidates.push_back(*v);
  }
  const std::size_t rank = m - below;
  const auto at = candidates.begin() + static_cast<std::ptrdiff_t>(rank);
  std::nth_element(candidates.begin(), at, candidates.end());
  return *at;
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
void centreGroups(const double* const* wrapped, int n, Scratch& scratch) {
  std::vector<Node>& nodes = scratch.nodes;
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
  std::vector<double>& values = scratch.values;
  values.resize(count);
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
    double* end = values.data() + root.turns;
    double* begin = end + root.parent;  // parent is -(group size)
    const auto median = static_cast<std::size_t>(end - begin - 1) / 2;
    const double value = valueOfRank(begin, end, median);
    root.turns = static_cast<std::int32_t>(turnsIntoPrincipal(value));
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
  Scratch& scratch = Scratch::of(n);
  measure(wrapped, n, scratch);
  sortEdges(n, scratch);
  joinGroups(n, scratch);
  centreGroups(wrapped, n, scratch);
  writeUnwrapped(wrapped, n, scratch.nodes, unwrapped);
  return {};
}

std::size_t unwrapScratchBytes(int n) {
  if (n <= 0 || n > kMaxUnwrapSize) return 0;
  const auto samples =
      static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  const std::size_t perSample = sizeof(float) + sizeof(std::uint8_t) +
                                2 * sizeof(std::uint32_t) + sizeof(Node) +
                                sizeof(double);
  return samples * perSample + (kBuckets + 1) * sizeof(std::uint32_t);
}

}  // namespace numerics
