#include "compensation.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sizes.h"

namespace numerics {

namespace {

std::size_t index(int i) { return static_cast<std::size_t>(i); }

constexpr int kMaxTerms = 6;
constexpr int kMaxRounds = 5;
// Robust rounds: 1.4826 times the median absolute deviation estimates the
// standard deviation of Gaussian noise; samples beyond 2.5 of it are left
// out; an exact surface keeps its samples within rounding.
constexpr double kSigmaPerMedian = 1.4826;
constexpr double kSigmas = 2.5;
constexpr double kSmallestBound = 1e-9;

using Row = std::array<double, kMaxTerms + 1>;  // terms, then the phase

// The upper triangular factor R of the least-squares problem with Q^T times
// the phases beside it, built up one row at a time by Givens rotations: a
// row (a, b) of coefficients a and phase b rotated into it leaves the
// minimiser of |A p - b| over all rows so far the solution of R p = Q^T b.
class Triangle {
 public:
  explicit Triangle(int terms) : terms_(terms) {}

  void add(Row row) {
    for (int k = 0; k < terms_; ++k) {
      if (row[index(k)] == 0.0) continue;
      Row& top = rows_[index(k)];
      // Not hypot, which guards against overflow at ten times the cost: the
      // entries are phases times square roots of sample counts.
      const double h = std::sqrt(top[index(k)] * top[index(k)] +
                                 row[index(k)] * row[index(k)]);
      const double c = top[index(k)] / h, s = row[index(k)] / h;
      for (int j = k; j <= terms_; ++j) {
        const double a = top[index(j)], b = row[index(j)];
        top[index(j)] = c * a + s * b;
        row[index(j)] = c * b - s * a;
      }
    }
  }

  // R p = Q^T b by back substitution; false when a diagonal entry is below
  // 1e-9 of the largest: the columns are dependent on the samples given
  // (all on one line, say), and p is not fixed.
  bool solve(std::array<double, kMaxTerms>& p) const {
    double largest = 0.0;
    for (int k = 0; k < terms_; ++k) {
      largest = std::max(largest, std::abs(rows_[index(k)][index(k)]));
    }
    for (int k = terms_ - 1; k >= 0; --k) {
      const Row& row = rows_[index(k)];
      if (!(std::abs(row[index(k)]) > 1e-9 * largest)) return false;
      double sum = row[index(terms_)];
      for (int j = k + 1; j < terms_; ++j) sum -= row[index(j)] * p[index(j)];
      p[index(k)] = sum / row[index(k)];
    }
    return true;
  }

 private:
  int terms_;
  std::array<Row, kMaxTerms> rows_{};
};

// One picture row's kept samples, gathered: their scaled x and phases, and
// the sums of x, x^2 and the phases (taken while gathering).
struct RowSamples {
  double* x = nullptr;
  double* p = nullptr;
  std::size_t m = 0;
  double sx = 0.0, sx2 = 0.0, sp = 0.0;
};

// The row's samples reduced to the triangular factor of the columns 1, X
// and X^2 with the phases beside it, by modified Gram-Schmidt:
// factor[i] = (R[i][0], R[i][1], R[i][2], t[i]). The samples lie in
// distinct columns, so m of them fix min(m, terms) terms; the rows beyond
// stay out (count). Overwrites x and p.
struct RowFactor {
  std::array<std::array<double, 4>, 3> factor{};
  int count = 0;
};

RowFactor factorRow(const RowSamples& s, bool curvature) {
  RowFactor f;
  if (s.m == 0) return f;
  double* x = s.x;
  double* p = s.p;
  const double count = static_cast<double>(s.m);
  const double r00 = std::sqrt(count);
  f.factor[0] = {r00, s.sx / r00, s.sx2 / r00, s.sp / r00};
  f.count = 1;
  if (s.m == 1) return f;
  // Less the first direction, the constant: the means.
  const double mx = s.sx / count, mx2 = s.sx2 / count, mp = s.sp / count;
  double xx = 0.0, xx2 = 0.0, xp = 0.0;
  for (std::size_t j = 0; j < s.m; ++j) {
    const double x2 = x[j] * x[j] - mx2;
    x[j] -= mx;
    p[j] -= mp;
    xx += x[j] * x[j];
    xx2 += x[j] * x2;
    xp += x[j] * p[j];
  }
  const double r11 = std::sqrt(xx);
  const double r12 = xx2 / r11, t1 = xp / r11;
  f.factor[1] = {0.0, r11, r12, t1};
  f.count = 2;
  if (s.m == 2 || !curvature) return f;
  // Less the second direction, q = x / r11 (x^2 formed again: storing it
  // cost more than the product).
  const double inverse = 1.0 / r11;
  double uu = 0.0, up = 0.0;
  for (std::size_t j = 0; j < s.m; ++j) {
    const double q = x[j] * inverse;
    const double x0 = x[j] + mx;
    const double u = x0 * x0 - mx2 - r12 * q;
    uu += u * u;
    up += u * (p[j] - t1 * q);
  }
  const double r22 = std::sqrt(uu);
  f.factor[2] = {0.0, 0.0, r22, up / r22};
  f.count = 3;
  return f;
}

// The surface in scaled coordinates X = x / s, Y = y / s (s = (n - 1) / 2,
// so both lie in [-1, 1]): alpha[0] + alpha[1] X + alpha[2] Y + alpha[3] X^2
// + alpha[4] X Y + alpha[5] Y^2. Along a picture row, Y fixed, it is the
// parabola c0 + c1 X + c2 X^2.
struct Scaled {
  std::array<double, kMaxTerms> alpha{};

  std::array<double, 3> alongRow(double y) const {
    return {alpha[0] + y * (alpha[2] + y * alpha[5]), alpha[1] + y * alpha[4],
            alpha[3]};
  }
};

// The work arrays of the fits on this thread, kept from one call to the
// next: a run compensates every set at one size, and fresh arrays of a
// million samples cost more in page faults than a round of the fit. Every
// call writes what it reads.
struct WorkArrays {
  std::vector<std::uint8_t> kept;     // per region sample, row by row: used
  std::vector<float> distance;        // from the last surface measured
  std::vector<float> keptResiduals;   // of the kept samples, then distances
  std::vector<double> gathered;       // one row's kept x and phases
  std::vector<std::uint32_t> counts;  // kept residuals per bin
  std::vector<float> selection;       // those in the median's bin

  static WorkArrays& forRegion(std::size_t samples, std::size_t columns) {
    thread_local WorkArrays arrays;
    arrays.kept.resize(samples);
    arrays.distance.resize(samples);
    arrays.keptResiduals.resize(samples);
    arrays.gathered.resize(2 * columns);
    arrays.counts.resize(std::size_t{1} << 16);
    return arrays;
  }
};

// The robust fit over a region of field samples. A round fits the surface
// to the samples within the bound, gathering them row by row, then
// measures every sample's distance from it for the next bound.
class RobustFit {
 public:
  RobustFit(const double* const* phase, int n, const PictureRectangle& region,
            bool curvature)
      : phase_(phase),
        n_(n),
        // Field row 0 is the picture's bottom line. Example: n = 8, a region
        // of height 2 from picture row y = 1 covers picture rows 1 and 2,
        // field rows 6 and 5, so it starts on field row 8 - 1 - 2 = 5.
        row0_(n - region.y - region.height),
        rows_(region.height),
        column0_(region.x),
        columns_(region.width),
        curvature_(curvature),
        terms_(curvature ? 6 : 3),
        scale_(n > 1 ? 0.5 * (n - 1) : 1.0),
        x_(index(n)),
        work_(WorkArrays::forRegion(index(rows_) * index(columns_),
                                    index(columns_))),
        kept_(work_.kept),
        distance_(work_.distance),
        keptResiduals_(work_.keptResiduals),
        gathered_(work_.gathered),
        counts_(work_.counts),
        selection_(work_.selection) {
    for (int c = 0; c < n; ++c) x_[index(c)] = (c - 0.5 * (n - 1)) / scale_;
    // Before the first fit every finite sample is within any bound.
    forRows([&](int r, std::size_t i0) {
      for (int c = 0; c < columns_; ++c) {
        distance_[i0 + index(c)] =
            std::isfinite(phase_[r][column0_ + c]) ? 0.0f : std::nanf("");
      }
    });
  }

  // Picture row coordinate Y of field row r, scaled.
  double yOf(int r) const { return ((n_ - 1 - r) - 0.5 * (n_ - 1)) / scale_; }
  double scale() const { return scale_; }

  struct Fit {
    bool fixed = false;     // the samples fix the surface
    long long kept = 0;     // samples used
    long long changed = 0;  // samples used now and not before, or the reverse
  };

  // The least-squares surface through the samples within bound of the last
  // surface measured (NaN is within none). The first fit's count of changes
  // compares with what the arrays held before and means nothing.
  Fit fit(float bound, Scaled& surface) {
    Fit result;
    Triangle triangle(terms_);
    forRows([&](int r, std::size_t i0) {
      const double* row = phase_[r] + column0_;
      const double* xs = x_.data() + column0_;
      const float* distance = distance_.data() + i0;
      std::uint8_t* kept = kept_.data() + i0;
      // Locals, not members of result or samples: kept may alias them.
      double* x = gathered_.data();
      double* p = x + columns_;
      std::size_t m = 0;
      long long changed = 0;
      double sx = 0.0, sx2 = 0.0, sp = 0.0;
      for (int c = 0; c < columns_; ++c) {  // without a branch
        const bool keep = distance[c] <= bound;
        changed += keep != (kept[c] != 0);
        kept[c] = keep ? 1 : 0;
        const double xc = xs[c], pc = row[c];
        x[m] = xc;
        p[m] = pc;
        m += keep ? 1 : 0;
        const double weight = keep ? 1.0 : 0.0;
        sx += weight * xc;
        sx2 += weight * xc * xc;
        sp += keep ? pc : 0.0;  // pc may be NaN
      }
      result.changed += changed;
      result.kept += static_cast<long long>(m);
      addRow(triangle, factorRow({x, p, m, sx, sx2, sp}, curvature_), yOf(r));
    });
    result.fixed = triangle.solve(surface.alpha);
    return result;
  }

  // Measures every sample's distance from the surface, moved by the median
  // of the kept samples' residuals, and returns the next bound: kSigmas
  // times sigma, 1.4826 times the median of those distances over the kept
  // samples. Moved, because the least-squares surface is pulled towards
  // the object: with a fifth of the region under an object of 2 rad, the
  // background's residuals all lay 0.3 rad to one side, the bound taken
  // about the surface itself was wide enough to keep the object, and the
  // rounds ended where they began. Floats: the bound needs no more digits.
  float bound(const Scaled& surface) {
    float* kept = keptResiduals_.data();
    std::uint32_t* counts = counts_.data();
    std::fill(counts_.begin(), counts_.end(), 0);
    std::size_t count = 0;
    forRows([&](int r, std::size_t i0) {
      const auto [c0, c1, c2] = surface.alongRow(yOf(r));
      const double* row = phase_[r] + column0_;
      const double* xs = x_.data() + column0_;
      float* distance = distance_.data() + i0;
      const std::uint8_t* keep = kept_.data() + i0;
      for (int c = 0; c < columns_; ++c) {  // on vector registers
        const double x = xs[c];
        distance[c] = static_cast<float>(row[c] - (c0 + x * (c1 + x * c2)));
      }
      for (int c = 0; c < columns_; ++c) {  // without a branch
        kept[count] = distance[c];
        counts[bin(distance[c])] += keep[c];
        count += keep[c];
      }
    });
    const float centre = lowerMedian(count);
    std::fill(counts_.begin(), counts_.end(), 0);
    for (std::size_t j = 0; j < count; ++j) {
      kept[j] = std::abs(kept[j] - centre);
      ++counts[bin(kept[j])];
    }
    const float median = lowerMedian(count);
    for (float& d : distance_) d = std::abs(d - centre);  // NaN stays NaN
    return static_cast<float>(
        std::max(kSigmas * kSigmaPerMedian * static_cast<double>(median),
                 kSmallestBound));
  }

 private:
  // The bin of a residual: the top 16 bits of a key that orders floats as
  // their values do (a positive float's bits with the sign bit set, a
  // negative one's all flipped): sign, exponent and 7 bits of mantissa,
  // bins of 1/128 of an octave.
  static std::size_t bin(float v) {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    const std::uint32_t key = bits >> 31 ? ~bits : bits | 0x80000000u;
    return static_cast<std::size_t>(key >> 16);
  }

  // The lower median of the first count kept residuals, exactly, from their
  // counts per bin (taken as they were gathered) and one more pass over
  // them: the counts give the median's bin, and the selection runs over its
  // few values only (nth_element over a million took 6 ms).
  float lowerMedian(std::size_t count) {
    const float* values = keptResiduals_.data();
    std::size_t rank = (count - 1) / 2;
    std::size_t median = 0;
    while (rank >= counts_[median]) rank -= counts_[median++];
    selection_.clear();
    for (std::size_t j = 0; j < count; ++j) {
      if (bin(values[j]) == median) selection_.push_back(values[j]);
    }
    const auto middle = selection_.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(selection_.begin(), middle, selection_.end());
    return *middle;
  }

  // f(r, i0) for every region row: r its field row, i0 the index of its
  // first sample.
  template <typename F>
  void forRows(F f) const {
    for (int k = 0; k < rows_; ++k) f(row0_ + k, index(k) * index(columns_));
  }

  // A row's factor in the basis 1, X, X^2 becomes rows of the whole
  // surface's problem: on the row, alpha gives the parabola's coefficients
  // (alpha0 + alpha2 Y + alpha5 Y^2, alpha1 + alpha4 Y, alpha3).
  void addRow(Triangle& triangle, const RowFactor& f, double y) const {
    for (int i = 0; i < f.count; ++i) {
      const auto& [r0, r1, r2, t] = f.factor[index(i)];
      if (curvature_) {
        triangle.add({r0, r1, r0 * y, r2, r1 * y, r0 * y * y, t});
      } else {
        triangle.add({r0, r1, r0 * y, t});
      }
    }
  }

  const double* const* phase_;
  int n_, row0_, rows_, column0_, columns_;
  bool curvature_;
  int terms_;
  double scale_;
  std::vector<double> x_;  // scaled x of every column
  WorkArrays& work_;
  std::vector<std::uint8_t>& kept_;
  std::vector<float>& distance_;
  std::vector<float>& keptResiduals_;
  std::vector<double>& gathered_;
  std::vector<std::uint32_t>& counts_;
  std::vector<float>& selection_;
};

double magnitude(Complex a) { return std::sqrt(a.re * a.re + a.im * a.im); }

PhaseSurface perPixel(const Scaled& s, double scale) {
  const double s2 = scale * scale;
  return {s.alpha[0],      s.alpha[1] / scale, s.alpha[2] / scale,
          s.alpha[3] / s2, s.alpha[4] / s2,    s.alpha[5] / s2};
}

}  // namespace

void relativeField(const Complex* const* field, const Complex* const* empty,
                   int n, double* const* phase, double* const* amplitude) {
  double sum = 0.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) sum += magnitude(empty[r][c]);
  }
  const double floor = 1e-6 * sum / (static_cast<double>(n) * n);
  const double nan = std::nan("");
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const Complex u = field[r][c], b = empty[r][c];
      const double m = magnitude(b);
      const bool lit = m >= floor && m > 0.0;
      if (phase) {
        // U conj(U_B); atan2 gives -pi for a negative real part and a
        // negative zero imaginary one, which is pi here.
        const double re = u.re * b.re + u.im * b.im;
        const double im = u.im * b.re - u.re * b.im;
        const double angle = std::atan2(im, re);
        phase[r][c] = !lit ? nan : angle == -std::numbers::pi ? -angle : angle;
      }
      if (amplitude) {
        amplitude[r][c] = lit ? magnitude(u) / m : nan;
      }
    }
  }
}

std::size_t compensationScratchBytes(int n) {
  const std::size_t samples =
      saturatingProduct(static_cast<std::size_t>(std::max(n, 0)),
                        static_cast<std::size_t>(std::max(n, 0)));
  // A byte and two floats per sample, a row of gathered samples, the counts.
  return saturatingSum(
      {saturatingProduct(samples, 9),
       saturatingProduct(static_cast<std::size_t>(std::max(n, 0)), 16),
       std::size_t{4} << 16});
}

std::string compensationRegionProblem(const PictureRectangle& region, int n) {
  const long long right = static_cast<long long>(region.x) + region.width;
  const long long bottom = static_cast<long long>(region.y) + region.height;
  if (region.x < 0 || region.y < 0 || region.width < 1 || region.height < 1 ||
      right > n || bottom > n) {
    return "the compensation region (" + std::to_string(region.x) + " " +
           std::to_string(region.y) + " " + std::to_string(region.width) + " " +
           std::to_string(region.height) +
           ") does not lie within the picture of " + std::to_string(n) + " x " +
           std::to_string(n) + " pixels";
  }
  return {};
}

Compensation compensatePhase(const double* const* phase, int n,
                             const CompensationRequest& request,
                             double* const* compensated) {
  Compensation result;
  if (!request.tilt && !request.curvature) {
    result.problem = "the compensation needs a tilt or a curvature to fit";
    return result;
  }
  const PictureRectangle region =
      request.region.value_or(PictureRectangle{0, 0, n, n});
  result.problem = compensationRegionProblem(region, n);
  if (!result.problem.empty()) return result;
  const char* surfaceName = request.curvature
                                ? "a curved surface (6 coefficients)"
                                : "a tilted plane (3 coefficients)";

  RobustFit robust(phase, n, region, request.curvature);
  Scaled surface;
  const RobustFit::Fit first = robust.fit(HUGE_VALF, surface);
  if (!first.fixed) {
    result.problem = "the compensation region's " + std::to_string(first.kept) +
                     " finite phase samples do not fix " + surfaceName +
                     ": too few, or on too few rows or columns";
    return result;
  }
  long long kept = first.kept;
  result.rounds = 1;
  while (result.rounds < kMaxRounds) {
    Scaled next;
    const RobustFit::Fit fit = robust.fit(robust.bound(surface), next);
    // The same samples give the same surface; too few left to fix one:
    // the last one stands.
    if (fit.changed == 0 || !fit.fixed) break;
    surface = next;
    kept = fit.kept;
    ++result.rounds;
  }
  result.keptShare =
      static_cast<double>(kept) / static_cast<double>(first.kept);
  result.surface = perPixel(surface, robust.scale());

  for (int r = 0; r < n; ++r) {
    const auto [c0, c1, c2] = surface.alongRow(robust.yOf(r));
    for (int c = 0; c < n; ++c) {
      const double x = (c - 0.5 * (n - 1)) / robust.scale();
      compensated[r][c] = phase[r][c] - (c0 + x * (c1 + x * c2));
    }
  }
  return result;
}

}  // namespace numerics
