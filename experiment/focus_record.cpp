#include "focus_record.h"

#include <cmath>
#include <sstream>

#include "names.h"
#include "numbers.h"
#include "shortest.h"

using numerics::FocusFigures;
using numerics::shortestText;

std::string focusCsvHeader(bool series) {
  return std::string("index,") + (series ? "frame," : "") +
         "wavelength,angle,zDistance,ccdPixelDistance,NormalizedVariance,"
         "TenenbaumGradient,TamuraGradient,IntegratedAmplitude";
}

namespace {

/// Shortest text that reads back as exactly x; empty for a non-finite x,
/// which a spreadsheet then shows as a missing value.
std::string number(double x) {
  return std::isfinite(x) ? shortestText(x) : std::string();
}

/// The index, the frame and the four parameters: what a line starts with.
std::string lineStart(const std::string& index, std::optional<int> frame,
                      const ParameterSet& set) {
  std::string line = index;
  if (frame) {
    line += ',';
    line += std::to_string(*frame);
  }
  for (const double value :
       {set.wavelength, set.angle, set.zDistance, set.ccdPixelDistance}) {
    line += ',';
    line += number(value);
  }
  return line;
}

}  // namespace

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

std::string sharpestLine(const std::string& where, std::size_t index,
                         const ParameterSet& set, FocusMetric metric) {
  return "Sharpest" + where + ": set " + std::to_string(index) +
         " (z = " + shownNumber(set.zDistance) + ") by " + nameOf(metric);
}

std::string noSharpestLine(const std::string& where, FocusMetric metric) {
  return "Sharpest" + where + ": none: no set has a finite " + nameOf(metric) +
         " (an empty or dark hologram?)";
}

std::string focusCsvLine(const std::string& index, std::optional<int> frame,
                         const ParameterSet& set,
                         const std::optional<FocusFigures>& figures) {
  std::string line = lineStart(index, frame, set);
  const double nan = std::nan("");
  const FocusFigures none{nan, nan, nan, nan};
  const FocusFigures& f = figures ? *figures : none;
  for (const double value : {f.normalizedVariance, f.tenenbaumGradient,
                             f.tamuraGradient, f.integratedAmplitude}) {
    line += ',';
    line += number(value);
  }
  return line;
}

FocusCsvEntry readFocusCsvLine(const std::string& line,
                               const std::string& index,
                               std::optional<int> frame,
                               const ParameterSet& set) {
  const std::string start = lineStart(index, frame, set) + ",";
  if (line.compare(0, start.size(), start) != 0) {
    return {std::nullopt, "it is not the line of set " + index +
                              " of this sweep (" + start + "...)"};
  }
  // The four figures: each empty or a finite number.
  double values[4] = {};
  bool any = false;
  std::istringstream fields(line.substr(start.size()) + ",");
  for (double& value : values) {
    std::string field;
    if (!std::getline(fields, field, ',')) {
      return {std::nullopt, "it has fewer than four figures"};
    }
    if (field.empty()) {
      value = std::nan("");
      continue;
    }
    const std::optional<double> read = readReal(field.c_str());
    if (!read || !std::isfinite(*read)) {
      return {std::nullopt, "the figure \"" + field + "\" is not a number"};
    }
    value = *read;
    any = true;
  }
  std::string rest;
  if (std::getline(fields, rest) && !rest.empty()) {
    return {std::nullopt, "it has more than four figures"};
  }
  if (!any) return {};
  return {FocusFigures{values[0], values[1], values[2], values[3]}, {}};
}
