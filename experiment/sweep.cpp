#include "sweep.h"

#include <cmath>

#include "names.h"
#include "numbers.h"
#include "shortest.h"

using numerics::shortestText;

RangePlan planRange(double min, double max, double step) {
  using Verdict = RangePlan::Verdict;
  if (std::isnan(min) || std::isnan(max)) return {Verdict::NotANumber, 0};
  if (max < min) return {Verdict::MaxBelowMin, 0};
  if (std::isinf(min) || std::isinf(max) || !(step > 0.0)) {
    return {Verdict::Endless, 0};
  }
  // One step beyond every distance: only min itself.
  if (std::isinf(step)) return {Verdict::Usable, 1};
  const double steps = (max - min) / step + kRangeCountSlack;
  // Also catches an infinite quotient, from a tiny step or max - min
  // overflowing.
  if (!(steps < static_cast<double>(kMaxRangeValues))) {
    return {Verdict::TooLong, 0};
  }
  return {Verdict::Usable, static_cast<std::size_t>(std::floor(steps)) + 1};
}

std::vector<double> rangeValues(double min, double max, double step,
                                std::size_t count) {
  std::vector<double> values;
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // Multiplying instead of adding keeps rounding from piling up, and
    // i == 0 stays min even for an infinite step (0 * inf is NaN).
    const double value = i == 0 ? min : min + static_cast<double>(i) * step;
    values.push_back(std::fmin(value, max));
  }
  return values;
}

namespace {

std::string tag(const pugi::xml_node& element) {
  return std::string("<") + element.name() + ">";
}

std::string noValue(const pugi::xml_node& element, const std::string& why) {
  return tag(element) + " has no usable value (" + why + ")";
}

/// The number in attribute name of child (a Single or Range of element);
/// empty, with the problem set, when the text is not entirely a number.
std::optional<double> attributeNumber(const pugi::xml_node& element,
                                      const pugi::xml_node& child,
                                      const char* name, std::string& problem) {
  const char* text = child.attribute(name).value();
  const std::optional<double> value = readReal(text);
  if (!value) {
    problem = tag(element) + "<" + child.name() + " " + name + "=\"" + text +
              "\">: not a number" + notANumberHint(text);
  }
  return value;
}

std::vector<double> readRange(const pugi::xml_node& element,
                              const pugi::xml_node& range,
                              std::string& problem) {
  for (const char* name : {"minVal", "maxVal", "step"}) {
    if (!range.attribute(name)) {
      problem = noValue(
          element, std::string("<Range> has no attribute \"") + name + "\"");
      return {};
    }
  }
  const auto number = [&](const char* name) {
    return attributeNumber(element, range, name, problem);
  };
  const std::optional<double> minValue = number("minVal");
  if (!minValue) return {};
  const std::optional<double> maxValue = number("maxVal");
  if (!maxValue) return {};
  const std::optional<double> stepValue = number("step");
  if (!stepValue) return {};
  const double min = *minValue;
  const double max = *maxValue;
  const double step = *stepValue;
  const RangePlan plan = planRange(min, max, step);
  const std::string where = "the Range of " + tag(element);
  switch (plan.verdict) {
    case RangePlan::Verdict::Usable:
      return rangeValues(min, max, step, plan.count);
    case RangePlan::Verdict::NotANumber:
      problem = noValue(element, "Range with a minVal or maxVal that is NaN");
      return {};
    case RangePlan::Verdict::MaxBelowMin:
      problem = noValue(element, "Range with maxVal below minVal");
      return {};
    case RangePlan::Verdict::Endless:
      problem =
          where + " never ends (" +
          (std::isinf(min) || std::isinf(max) ? "an infinite bound"
                                              : "step " + shortestText(step)) +
          ")";
      return {};
    case RangePlan::Verdict::TooLong:
      problem = where + " has more than " + std::to_string(kMaxRangeValues) +
                " values";
      return {};
  }
  return {};
}

}  // namespace

std::vector<double> readValueList(const pugi::xml_node& element,
                                  std::string& problem) {
  if (const pugi::xml_node single = element.child("Single")) {
    const pugi::xml_attribute value = single.attribute("value");
    if (!value) {
      problem = noValue(element, "<Single> has no attribute \"value\"");
      return {};
    }
    const std::optional<double> number =
        attributeNumber(element, single, "value", problem);
    if (!number) return {};
    return {*number};
  }
  if (const pugi::xml_node range = element.child("Range")) {
    return readRange(element, range, problem);
  }
  problem = noValue(element, "no <Single> or <Range>");
  return {};
}

std::optional<std::size_t> sweepSize(
    const std::array<std::size_t, 4>& lengths) {
  std::size_t product = 1;
  for (const std::size_t length : lengths) {
    if (length != 0 && product > kMaxParameterSets / length) {
      return std::nullopt;
    }
    product *= length;
  }
  return product;
}

void buildSweep(const ValueLists& lists, std::vector<ParameterSet>& sets) {
  const auto& [wavelengths, angles, zDistances, ccdPixelDistances] = lists;
  sets.reserve(sets.size() + wavelengths.size() * angles.size() *
                                 zDistances.size() * ccdPixelDistances.size());
  for (const double wavelength : wavelengths) {
    for (const double angle : angles) {
      for (const double zDistance : zDistances) {
        for (const double ccdPixelDistance : ccdPixelDistances) {
          sets.push_back({wavelength, angle, zDistance, ccdPixelDistance});
        }
      }
    }
  }
}

std::string parameterSetProblem(const ParameterSet& set,
                                ReconstructionMethod method) {
  const auto positive = [](double x) { return std::isfinite(x) && x > 0.0; };
  if (!positive(set.wavelength)) {
    return "the wavelength must be positive and finite, not " +
           shortestText(set.wavelength);
  }
  if (!std::isfinite(set.angle)) {
    return "the angle must be finite, not " + shortestText(set.angle);
  }
  if (!std::isfinite(set.zDistance)) {
    return "the z distance must be finite, not " + shortestText(set.zDistance);
  }
  // The angular spectrum at z = 0 is the hologram plane itself, where an
  // image-plane microscope has its focus; the other two divide by z.
  if (set.zDistance == 0.0 && method != ReconstructionMethod::AngularSpectrum) {
    return std::string("the z distance must not be 0 with the ") +
           nameOf(method) + " method (AngularSpectrum reconstructs at 0)";
  }
  if (!positive(set.ccdPixelDistance)) {
    return "the pixel pitch must be positive and finite, not " +
           shortestText(set.ccdPixelDistance);
  }
  return {};
}
