#include "prepare.h"

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

PreparedHologram prepareHologram(const double* const* hologram, int n) {
  PreparedHologram prepared;
  prepared.real = RealField(n);
  prepared.sum = subtractLocalMean(hologram, n, prepared.real.rows());
  return prepared;
}

}  // namespace numerics
