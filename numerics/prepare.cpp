#include "prepare.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace numerics {

namespace {

std::size_t index(int i) { return static_cast<std::size_t>(i); }

// Sum of the in-field samples of the 3 x 3 neighbourhood of (r, c), rows
// outer, columns inner.
double neighbourhoodSum(const double* const* hologram, int n, int r, int c) {
  double sum = 0.0;
  for (int i = r - 1; i <= r + 1; ++i) {
    if (i < 0 || i >= n) continue;
    for (int j = c - 1; j <= c + 1; ++j) {
      if (j >= 0 && j < n) sum += hologram[i][j];
    }
  }
  return sum;
}

// Filters row r, whose first and last samples have been filtered already.
// Adds in the same order as neighbourhoodSum, so the results are the same to
// the last bit; without the bounds checks the loop vectorises.
void filterInteriorRow(const double* above, const double* row,
                       const double* below, int n, double* out) {
  for (int c = 1; c < n - 1; ++c) {
    double sum = 0.0;
    sum += above[c - 1];
    sum += above[c];
    sum += above[c + 1];
    sum += row[c - 1];
    sum += row[c];
    sum += row[c + 1];
    sum += below[c - 1];
    sum += below[c];
    sum += below[c + 1];
    out[c] = row[c] - sum / 9.0;
  }
}

}  // namespace

double subtractLocalMean(const double* const* hologram, int n,
                         double* const* filtered) {
  double sum = 0.0;
  for (int r = 0; r < n; ++r) {
    const bool edgeRow = r == 0 || r == n - 1;
    for (int c = 0; c < n; ++c) {
      if (edgeRow || c == 0 || c == n - 1) {
        // Divided by 9 on edges and corners too: the missing neighbours
        // count as zeros.
        filtered[r][c] =
            hologram[r][c] - neighbourhoodSum(hologram, n, r, c) / 9.0;
      }
    }
    if (!edgeRow) {
      filterInteriorRow(hologram[r - 1], hologram[r], hologram[r + 1], n,
                        filtered[r]);
    }
    // Summed row by row while the row is in cache, in row-major order as a
    // running sum over the filter would add.
    for (int c = 0; c < n; ++c) sum += filtered[r][c];
  }
  return sum;
}

double referenceAmplitude(double sum, int n) {
  const long long count = static_cast<long long>(n) * n;
  return std::sqrt(sum / static_cast<double>(count));
}

std::vector<Complex> referenceWaveRows(int n, double angle, double wavelength,
                                       double amplitude, double pitch) {
  const double k = 2.0 * std::numbers::pi / wavelength;
  const double q = k * std::sin(angle);
  std::vector<Complex> rows(index(n));
  double y = -0.5 * (n - 1) * pitch;
  for (int r = 0; r < n; ++r) {
    const double p = -(q * y);
    rows[index(r)] = {amplitude * std::cos(p), amplitude * std::sin(p)};
    y += pitch;
  }
  return rows;
}

namespace {

// The extent clipped to the n x n field.
Extent clipped(const Extent& extent, int n) {
  const int row = std::clamp(extent.row, 0, n);
  const int column = std::clamp(extent.column, 0, n);
  return {row, column, std::clamp(extent.rows, 0, n - row),
          std::clamp(extent.columns, 0, n - column)};
}

// Calls f(r, c) for every sample of the (clipped) extent.
template <typename F>
void forEach(const Extent& extent, F f) {
  for (int r = extent.row; r < extent.row + extent.rows; ++r) {
    for (int c = extent.column; c < extent.column + extent.columns; ++c) {
      f(r, c);
    }
  }
}

double meanOver(const double* const* samples, const Extent& extent) {
  double sum = 0.0;
  forEach(extent, [&](int r, int c) { sum += samples[r][c]; });
  return sum / (static_cast<double>(extent.rows) * extent.columns);
}

}  // namespace

PreparedHologram prepareHologram(const double* const* hologram, int n) {
  return prepareHologram(hologram, n, ZeroOrder::localMean, Extent::whole(n),
                         false);
}

PreparedHologram prepareHologram(const double* const* hologram, int n,
                                 ZeroOrder zeroOrder, const Extent& onPicture,
                                 bool corrected) {
  PreparedHologram prepared;
  prepared.real = RealField(n);
  double* const* out = prepared.real.rows();
  const Extent extent = clipped(onPicture, n);
  if (zeroOrder == ZeroOrder::localMean && !corrected) {
    prepared.referenceAmplitude =
        referenceAmplitude(subtractLocalMean(hologram, n, out), n);
    return prepared;
  }
  const double mean = meanOver(hologram, extent);
  prepared.referenceAmplitude = mean > 0.0 ? std::sqrt(mean) : 1.0;
  switch (zeroOrder) {
    case ZeroOrder::localMean:
      subtractLocalMean(hologram, n, out);
      break;
    case ZeroOrder::mean:
      forEach(extent, [&](int r, int c) { out[r][c] = hologram[r][c] - mean; });
      break;
    case ZeroOrder::none:
      for (int r = 0; r < n; ++r) std::copy_n(hologram[r], n, out[r]);
      break;
  }
  return prepared;
}

BackgroundCorrection correctBackground(double* const* hologram,
                                       const double* const* background,
                                       const double* const* dark, int n,
                                       const Extent& onPicture,
                                       BackgroundMode mode) {
  const Extent extent = clipped(onPicture, n);
  BackgroundCorrection result;
  if (mode == BackgroundMode::subtract) {
    forEach(extent, [&](int r, int c) { hologram[r][c] -= background[r][c]; });
    return result;
  }
  const auto light = [&](int r, int c) {
    return background[r][c] - (dark ? dark[r][c] : 0.0);
  };
  double sum = 0.0;
  forEach(extent, [&](int r, int c) { sum += light(r, c); });
  const double mean = sum / (static_cast<double>(extent.rows) * extent.columns);
  // Below a grey level, or a hundredth of the mean, a quotient would only
  // magnify the camera's noise.
  const double usable = std::max(1.0, 0.01 * mean);
  double usableSum = 0.0;
  long long usableCount = 0;
  forEach(extent, [&](int r, int c) {
    const double g = light(r, c);
    if (g >= usable) {
      usableSum += g;
      ++usableCount;
    }
  });
  if (!(mean > 0.0) || usableCount == 0) {
    result.problem = dark
                         ? "the empty frame holds no light above the dark frame"
                         : "the empty frame holds no light";
    return result;
  }
  const double neutral = usableSum / static_cast<double>(usableCount);
  forEach(extent, [&](int r, int c) {
    double g = light(r, c);
    if (!(g >= usable)) {
      g = neutral;
      ++result.neutralised;
    }
    hologram[r][c] = (hologram[r][c] - (dark ? dark[r][c] : 0.0)) / g * mean;
  });
  return result;
}

}  // namespace numerics
