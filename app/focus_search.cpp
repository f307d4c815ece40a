#include "focus_search.h"

#include <charconv>
#include <cmath>
#include <set>

#include "shortest.h"

using numerics::FocusFigures;
using numerics::focusFigures;
using numerics::FocusRegion;
using numerics::shortestText;
namespace {

/// Shortest text that reads back as exactly x; empty for a non-finite x,
/// which a spreadsheet then shows as a missing value.
std::string number(double x) {
  return std::isfinite(x) ? shortestText(x) : std::string();
}

std::string csvLine(const std::string& index, const ParameterSet& set,
                    const std::optional<FocusFigures>& figures) {
  std::string line = index;
  for (const double value :
       {set.wavelength, set.angle, set.zDistance, set.ccdPixelDistance}) {
    line += ',';
    line += number(value);
  }
  const double nan = std::nan("");
  const FocusFigures none{nan, nan, nan, nan};
  const FocusFigures& f = figures ? *figures : none;
  for (const double value : {f.normalizedVariance, f.tenenbaumGradient,
                             f.tamuraGradient, f.integratedAmplitude}) {
    line += ',';
    line += number(value);
  }
  return line + "\n";
}

}  // namespace

FocusRegion fieldRegion(const FocusOptions& focus, int n) {
  if (!focus.region) return {0, 0, n, n};
  const PictureRegion& region = *focus.region;
  return {n - region.y - region.height, region.x, region.height, region.width};
}

FocusFigures measureFocus(const FocusOptions& focus,
                          const double* const* intensity, int n) {
  return focusFigures(intensity, n, fieldRegion(focus, n));
}

double metricValue(FocusMetric metric, const FocusFigures& figures) {
  switch (metric) {
    case FocusMetric::NormalizedVariance:
      return figures.normalizedVariance;
    case FocusMetric::TenenbaumGradient:
      return figures.tenenbaumGradient;
    case FocusMetric::TamuraGradient:
      return figures.tamuraGradient;
    case FocusMetric::IntegratedAmplitude:
    case FocusMetric::IntegratedAmplitudeMax:
      return figures.integratedAmplitude;
  }
  return std::nan("");
}

std::optional<std::size_t> sharpestSet(
    FocusMetric metric,
    const std::vector<std::optional<FocusFigures>>& figures) {
  const bool smallest = metric == FocusMetric::IntegratedAmplitude;
  std::optional<std::size_t> best;
  double bestValue = 0.0;
  for (std::size_t j = 0; j < figures.size(); ++j) {
    if (!figures[j]) continue;
    const double value = metricValue(metric, *figures[j]);
    if (!std::isfinite(value)) continue;
    if (!best || (smallest ? value < bestValue : value > bestValue)) {
      best = j;
      bestValue = value;
    }
  }
  return best;
}

std::optional<ZBracket> refinementBracket(const Experiment& experiment,
                                          double z, std::string& why) {
  std::set<double> distances;
  for (const ParameterSet& set : experiment.parameterSets) {
    distances.insert(set.zDistance);
  }
  if (distances.size() < 2) {
    why = "the sweep has no z range";
    return std::nullopt;
  }
  const auto at = distances.find(z);
  if (at == distances.begin() || std::next(at) == distances.end()) {
    why = std::string("the sharpest z is the ") +
          (at == distances.begin() ? "first" : "last") +
          " of the sweep, and the focus may lie beyond it";
    return std::nullopt;
  }
  return ZBracket{*std::prev(at), *std::next(at)};
}

std::string focusCsv(
    const Experiment& experiment, const std::vector<std::size_t>& sets,
    const std::vector<std::optional<FocusFigures>>& figures,
    const std::optional<std::pair<ParameterSet, FocusFigures>>& refined) {
  std::string csv =
      "index,wavelength,angle,zDistance,ccdPixelDistance,NormalizedVariance,"
      "TenenbaumGradient,TamuraGradient,IntegratedAmplitude\n";
  for (std::size_t j = 0; j < sets.size(); ++j) {
    csv += csvLine(std::to_string(sets[j]), experiment.parameterSets[sets[j]],
                   figures[j]);
  }
  if (refined) csv += csvLine("refined", refined->first, refined->second);
  return csv;
}
