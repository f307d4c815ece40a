#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "access.h"
#include "files.h"
#include "images.h"
#include "png_writer.h"

namespace {

/// Start values of the normalisation range. The maximum starts at the
/// smallest positive normal float, not at -FLT_MAX, so an all-negative
/// field maps against 0 from above.
constexpr double kRangeLow = static_cast<double>(FLT_MAX);
constexpr double kRangeHigh = static_cast<double>(FLT_MIN);

/// Lowest and highest value of the field; NaNs never win a comparison, so
/// they stay out of the range.
void findRange(const double* const* values, int n, double& lo, double& hi) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const double v = values[i][j];
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  }
}

/// Calls f(v) for every finite value v of the picture, row by row.
template <typename F>
void eachFinite(const double* const* values, int n, F f) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      if (std::isfinite(values[i][j])) f(values[i][j]);
    }
  }
}

/// Every this many finite samples one goes into the sample that places the
/// candidates' limits.
constexpr std::size_t kSampleStride = 64;

/// The limits that saturate percent of the finite samples, half at each end,
/// by exact ranks: with k = floor(count * percent / 200), lo is the value of
/// rank k and hi that of rank count - 1 - k (rank 0 the smallest). Example:
/// 1,000,000 samples at 0.35 percent: k = 1750, so 1750 samples lie below lo
/// and 1750 above hi. False when the two limits meet (a flat picture, or
/// percent 100 and more), when min-max applies instead.
///
/// Only the extremes matter: limits a and b taken from every 64th sample,
/// with room to spare, leave the ranks among the few samples at most a and
/// at least b (a selection over the whole picture would cost more than
/// writing it). The candidates at most a are the smallest samples, ties
/// included, so rank k is the k-th of them whenever there are more than k;
/// where the sample misjudged and there are not, every sample is searched.
bool saturatedRange(const double* const* values, int n, double percent,
                    double& lo, double& hi) {
  std::size_t count = 0;
  std::vector<double> sample;
  eachFinite(values, n, [&](double v) {
    if (count++ % kSampleStride == 0) sample.push_back(v);
  });
  const double cut = std::floor(static_cast<double>(count) * percent / 200.0);
  if (!(2.0 * cut < static_cast<double>(count))) return false;
  const auto k = static_cast<std::size_t>(cut);
  const auto rank = static_cast<std::ptrdiff_t>(
      std::min(sample.size() - 1, 2 * k / kSampleStride + 16));
  std::nth_element(sample.begin(), sample.begin() + rank, sample.end());
  const double a = sample.begin()[rank];
  std::nth_element(sample.begin(), sample.end() - 1 - rank, sample.end());
  const double b = sample.end()[-1 - rank];
  std::vector<double> low, high;
  eachFinite(values, n, [&](double v) {
    if (v <= a) low.push_back(v);
    if (v >= b) high.push_back(v);
  });
  if (low.size() <= k || high.size() <= k) {
    low.clear();
    eachFinite(values, n, [&](double v) { low.push_back(v); });
    high = low;
  }
  std::nth_element(low.begin(), low.begin() + static_cast<std::ptrdiff_t>(k),
                   low.end());
  const auto top = high.end() - 1 - static_cast<std::ptrdiff_t>(k);
  std::nth_element(high.begin(), top, high.end());
  lo = low[k];
  hi = *top;
  return lo < hi;
}

/// Why a picture without pixels is not written.
constexpr const char* kEmptyPicture = "the picture is empty";

/// Encodes the picture in memory and writes the file in one go, so that a
/// disk that fills up mid-picture leaves no cut-off PNG behind a reported
/// success: the file is whole, or it is removed and the reason returned.
std::string writePng(const std::string& path, int width, int height,
                     int channels, const PngRowSource& fillRow,
                     const PngEncoding& encoding) {
  std::string png;
  const std::string reason =
      encodePng(width, height, channels, fillRow, encoding, png);
  if (!reason.empty()) return reason;
  return writeWholeFile(path, png);
}

/// The grey level of value v: normalised over [lo, hi] or scaled by the
/// brightness alone, clamped to 0..255 and truncated; NaN gives 0.
std::uint8_t greyLevel(double v, double lo, double hi,
                       const OutputOptions& options) {
  double g = options.normalize
                 ? ((v - lo) * (options.brightness * 255.0)) / (hi - lo)
                 : v * options.brightness;
  if (g < 0.0) {
    g = 0.0;
  } else if (g > 255.0) {
    g = 255.0;
  }
  if (std::isnan(g)) return 0;
  return static_cast<std::uint8_t>(g);  // truncates: 127.9 gives 127
}

}  // namespace

std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options,
                      const PngEncoding& encoding) {
  if (n <= 0 || values == nullptr) return kEmptyPicture;
  double lo = kRangeLow;
  double hi = kRangeHigh;
  if (options.normalize &&
      !(options.saturate > 0.0 &&
        saturatedRange(values, n, options.saturate, lo, hi))) {
    lo = kRangeLow;
    hi = kRangeHigh;
    findRange(values, n, lo, hi);
  }
  // The picture's top line is the field's last row: row 0 is its bottom.
  const auto fillRow = [&](int y, std::uint8_t* rgb) {
    const double* row = values[n - 1 - y];
    for (int j = 0; j < n; ++j) {
      const std::uint8_t grey = greyLevel(row[j], lo, hi, options);
      rgb[3 * j] = rgb[3 * j + 1] = rgb[3 * j + 2] = grey;
    }
  };
  return writePng(name + ".png", n, n, 3, fillRow, encoding);
}

std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options) {
  return saveImage(name, values, n, options, kFastestPng);
}

std::string saveGreyPng8(const std::string& path, const std::uint8_t* pixels,
                         int width, int height) {
  if (width <= 0 || height <= 0 || pixels == nullptr) {
    return kEmptyPicture;
  }
  const auto rowBytes = static_cast<std::size_t>(width);
  const auto fillRow = [&](int y, std::uint8_t* grey) {
    const std::uint8_t* row =
        pixels + static_cast<std::size_t>(height - 1 - y) * rowBytes;
    std::copy(row, row + rowBytes, grey);
  };
  return writePng(path, width, height, 1, fillRow, kFastestPng);
}
