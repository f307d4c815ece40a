#include "focus.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

namespace numerics {

namespace {

std::string describe(const FocusRegion& region) {
  return std::to_string(region.rows) + " x " + std::to_string(region.columns) +
         " samples from row " + std::to_string(region.row) + ", column " +
         std::to_string(region.column);
}

// The amplitudes of one field row over the region's columns and one more
// on each side, clamped at the field's edge: amplitude[k] is A at column
// first - 1 + k, so the region's column first + k sits at k + 1.
struct Line {
  int row = -1;  // field row held, -1 for none yet
  std::vector<double> amplitude;
};

class AmplitudeLines {
 public:
  AmplitudeLines(const double* const* intensity, int n, int first, int columns)
      : intensity_(intensity), n_(n), first_(first), columns_(columns) {
    for (Line& line : lines_) {
      line.amplitude.resize(static_cast<std::size_t>(columns) + 2);
    }
  }

  // Field row `row` clamped into the field. Rows r - 1, r and r + 1 fall in
  // different slots (row mod 3), so the three lines one output row needs
  // stay valid together and each field row is computed once.
  const double* at(int row) {
    row = std::clamp(row, 0, n_ - 1);
    Line& line = lines_[static_cast<std::size_t>(row % 3)];
    if (line.row != row) fill(line, row);
    return line.amplitude.data();
  }

 private:
  void fill(Line& line, int row) {
    const double* in = intensity_[row];
    const double* columns = in + first_;
    double* a = line.amplitude.data();
    const auto width = static_cast<std::size_t>(columns_);
    a[0] = std::sqrt(in[std::max(first_ - 1, 0)]);
    for (std::size_t k = 0; k < width; ++k) a[k + 1] = std::sqrt(columns[k]);
    a[width + 1] = std::sqrt(in[std::min(first_ + columns_, n_ - 1)]);
    line.row = row;
  }

  const double* const* intensity_;
  int n_, first_, columns_;
  Line lines_[3];
};

// Sums kept in kLanes interleaved parts (column k goes to part k mod
// kLanes), added up at the end: the loop over a row then needs no
// reordering of additions to run on vector registers. Amplitudes and
// gradient magnitudes are summed shifted by a value of the region (its first
// sample), which keeps the variance formula sum(x^2) - (sum x)^2 / m from
// cancelling away when the spread is small beside the mean.
constexpr std::size_t kLanes = 8;
struct Lanes {
  double amplitude[kLanes] = {}, amplitude2[kLanes] = {}, gradient[kLanes] = {},
         gradient2[kLanes] = {}, sobel2[kLanes] = {};
};

double total(const double (&parts)[kLanes]) {
  return std::accumulate(std::begin(parts), std::end(parts), 0.0);
}

// Mean and variance (divided by count) of values x = shift + d from the
// sums of d and d^2.
std::pair<double, double> meanAndVariance(double shift, double sum, double sum2,
                                          double count) {
  const double mean = sum / count;
  return {shift + mean, std::max(0.0, sum2 / count - mean * mean)};
}

}  // namespace

std::string focusRegionProblem(const FocusRegion& region, int n) {
  if (region.rows <= 0 || region.columns <= 0) {
    return "The focus region is empty (" + describe(region) + ")";
  }
  // Compared as differences so that no sum can overflow.
  if (region.row < 0 || region.column < 0 || region.row > n - region.rows ||
      region.column > n - region.columns) {
    return "The focus region (" + describe(region) +
           ") does not lie inside the " + std::to_string(n) + " x " +
           std::to_string(n) + " field";
  }
  return {};
}

FocusFigures focusFigures(const double* const* intensity, int n,
                          const FocusRegion& region) {
  const int columns = region.columns;
  const auto width = static_cast<std::size_t>(columns);
  AmplitudeLines lines(intensity, n, region.column, columns);
  // The vertical half of the separable Sobel operator per padded column:
  // smooth = below + 2 centre + above, difference = above - below.
  std::vector<double> smooth(width + 2), difference(width + 2);
  const double* sm = smooth.data();
  const double* df = difference.data();
  auto sobel2 = [&](std::size_t x) {  // Gx^2 + Gy^2 at padded column x
    const double gx = sm[x + 1] - sm[x - 1];
    const double gy = df[x - 1] + 2.0 * df[x] + df[x + 1];
    return gx * gx + gy * gy;
  };
  double amplitudeShift = 0.0, gradientShift = 0.0;
  Lanes sums;
  for (int r = region.row; r < region.row + region.rows; ++r) {
    const double* below = lines.at(r - 1);
    const double* centre = lines.at(r);
    const double* above = lines.at(r + 1);
    for (std::size_t x = 0; x < width + 2; ++x) {
      smooth[x] = below[x] + 2.0 * centre[x] + above[x];
      difference[x] = above[x] - below[x];
    }
    if (r == region.row) {  // the shifts: the region's first sample
      amplitudeShift = centre[1];
      gradientShift = std::sqrt(sobel2(1));
    }
    // Column x of the padded lines goes to part j of the sums.
    auto add = [&](std::size_t x, std::size_t j) {
      const double s2 = sobel2(x);
      const double a = centre[x] - amplitudeShift;
      const double g = std::sqrt(s2) - gradientShift;
      sums.amplitude[j] += a;
      sums.amplitude2[j] += a * a;
      sums.gradient[j] += g;
      sums.gradient2[j] += g * g;
      sums.sobel2[j] += s2;
    };
    std::size_t k = 0;
    for (; k + kLanes <= width; k += kLanes) {
      for (std::size_t j = 0; j < kLanes; ++j) add(k + j + 1, j);
    }
    for (std::size_t j = 0; k + j < width; ++j) add(k + j + 1, j);
  }
  const double count = static_cast<double>(region.rows) * columns;
  const auto [mu, variance] = meanAndVariance(
      amplitudeShift, total(sums.amplitude), total(sums.amplitude2), count);
  const auto [muG, varianceG] = meanAndVariance(
      gradientShift, total(sums.gradient), total(sums.gradient2), count);
  FocusFigures figures;
  figures.normalizedVariance = variance / (mu * mu);
  figures.tenenbaumGradient = total(sums.sobel2) / count / (mu * mu);
  figures.tamuraGradient = std::sqrt(std::sqrt(varianceG) / muG);
  figures.integratedAmplitude = mu;
  return figures;
}

SearchResult goldenSectionSearch(const std::function<double(double)>& f,
                                 double a, double b, double tolerance,
                                 Extreme extreme) {
  // 1 / golden ratio: each inner point divides the bracket in this ratio,
  // so one of them is an inner point of the next bracket too.
  const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
  if (a > b) std::swap(a, b);
  SearchResult result;
  auto evaluate = [&](double x) {
    ++result.evaluations;
    return f(x);
  };
  auto better = [&](double u, double v) {
    return extreme == Extreme::maximum ? u > v : u < v;
  };
  double c = b - ratio * (b - a), d = a + ratio * (b - a);
  double fc = evaluate(c), fd = evaluate(d);
  for (double width = b - a; width > tolerance;) {
    if (better(fc, fd)) {  // the extreme lies in [a, d]
      b = d;
      d = c;
      fd = fc;
      c = b - ratio * (b - a);
      fc = evaluate(c);
    } else {  // in [c, b]
      a = c;
      c = d;
      fc = fd;
      d = a + ratio * (b - a);
      fd = evaluate(d);
    }
    if (!(b - a < width)) break;  // no longer shrinking in floating point
    width = b - a;
  }
  const bool atC = better(fc, fd);
  result.x = atC ? c : d;
  result.value = atC ? fc : fd;
  return result;
}

}  // namespace numerics
