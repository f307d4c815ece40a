#include "options.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <tuple>

#include "names.h"
#include "numbers.h"
#include "option_elements.h"

namespace {

/// "<Data phase="maybe">: not a boolean (true, false, 1, 0, yes or no)".
std::string badValue(const pugi::xml_node& element,
                     const pugi::xml_attribute& attribute, const char* what) {
  return std::string("<") + element.name() + " " + attribute.name() + "=\"" +
         attribute.value() + "\">: " + what;
}

/// The strict boolean of attribute name, false when absent.
std::string readFlagAttribute(const pugi::xml_node& element, const char* name,
                              bool& flag) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) return {};
  const std::optional<bool> value = readFlag(attribute.value());
  if (!value) {
    return badValue(element, attribute,
                    "not a boolean (true, false, 1, 0, yes or no)");
  }
  flag = *value;
  return {};
}

/// A number attribute that may be absent or empty (then value stays).
std::string readOptionalNumber(const pugi::xml_node& element, const char* name,
                               std::optional<double>& value) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute ||
      std::string(attribute.value()).find_first_not_of(" \t\r\n") ==
          std::string::npos) {
    return {};
  }
  value = readReal(attribute.value());
  if (!value || !std::isfinite(*value)) {
    value.reset();
    return badValue(
        element, attribute,
        (std::string("not a number") + notANumberHint(attribute.value()))
            .c_str());
  }
  return {};
}

/// "x y width height", four whole numbers, width and height at least 3:
/// the Sobel gradients of the focus figures need a 3 x 3 neighbourhood.
std::optional<PictureRegion> regionOf(const char* text) {
  std::istringstream words(text);
  std::array<std::string, 4> parts;
  for (std::string& part : parts) {
    if (!(words >> part)) return std::nullopt;
  }
  std::string rest;
  if (words >> rest) return std::nullopt;
  std::array<int, 4> numbers{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::optional<std::int32_t> value = readInt32(parts[i].c_str());
    if (!value || *value < (i < 2 ? 0 : 3)) return std::nullopt;
    numbers[i] = *value;
  }
  return PictureRegion{numbers[0], numbers[1], numbers[2], numbers[3]};
}

/// The region attribute of element, when it has one.
std::string readRegion(const pugi::xml_node& element,
                       std::optional<PictureRegion>& region) {
  const pugi::xml_attribute attribute = element.attribute("region");
  if (!attribute) return {};
  region = regionOf(attribute.value());
  if (region) return {};
  return badValue(element, attribute,
                  "not \"x y width height\" in whole pixels, width and "
                  "height at least 3");
}

/// The named value of attribute name, strict: any other text fails,
/// naming the valid ones; unchanged when the attribute is absent.
template <typename Enum>
std::string readNamedAttribute(const pugi::xml_node& element, const char* name,
                               Enum& value) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) return {};
  const std::optional<Enum> named =
      valueNamed<Enum>(trimmed(attribute.value()));
  if (!named) {
    return badValue(element, attribute, ("not " + validNames<Enum>()).c_str());
  }
  value = *named;
  return {};
}

}  // namespace

std::string readDataElement(const pugi::xml_node& root, DataOptions& data) {
  const pugi::xml_node element = root.child("Data");
  if (!element) return {};
  for (const auto& [name, flag] :
       {std::pair{"amplitude", &data.amplitude},
        {"phase", &data.phase},
        {"intensity", &data.intensity},
        {"unwrap", &data.unwrap},
        {"opticalPath", &data.opticalPath},
        {"relativeAmplitude", &data.relativeAmplitude},
        {"stack", &data.stack}}) {
    std::string problem = readFlagAttribute(element, name, *flag);
    if (!problem.empty()) return problem;
  }
  return {};
}

std::string readFilterElement(const pugi::xml_node& root,
                              FilterOptions& filter) {
  const pugi::xml_node element = root.child("Filter");
  if (!element) return {};
  const pugi::xml_attribute type = element.attribute("type");
  if (trimmed(type.value()) != "Sideband") {
    return type ? badValue(element, type, "the only type is Sideband")
                : "<Filter> has no attribute \"type\" (Sideband)";
  }
  filter.enabled = true;
  if (const pugi::xml_attribute order = element.attribute("order")) {
    const std::string text = trimmed(order.value());
    if (text != "+1" && text != "1" && text != "-1") {
      return badValue(element, order, "the order is +1 or -1");
    }
    filter.order = text == "-1" ? -1 : 1;
  }
  std::string problem = readOptionalNumber(element, "fx", filter.fx);
  if (problem.empty()) problem = readOptionalNumber(element, "fy", filter.fy);
  if (problem.empty() && filter.fx.has_value() != filter.fy.has_value()) {
    problem = "<Filter> needs both fx and fy, or neither";
  }
  for (const auto& [name, value, least] :
       {std::tuple{"radius", &filter.radius, 0.0},
        std::tuple{"edge", &filter.edge, 0.0}}) {
    std::optional<double> number;
    if (problem.empty()) problem = readOptionalNumber(element, name, number);
    if (problem.empty() && number) {
      if (*number < least) {
        return badValue(element, element.attribute(name),
                        "must not be negative");
      }
      *value = *number;
    }
  }
  if (problem.empty()) {
    problem = readFlagAttribute(element, "center", filter.center);
  }
  if (problem.empty())
    problem = readFlagAttribute(element, "crop", filter.crop);
  return problem;
}

std::string readFocusElement(const pugi::xml_node& root, FocusOptions& focus) {
  const pugi::xml_node element = root.child("Focus");
  if (!element) return {};
  focus.enabled = true;
  if (const pugi::xml_attribute metric = element.attribute("metric")) {
    const std::optional<FocusMetric> named =
        valueNamed<FocusMetric>(trimmed(metric.value()));
    if (!named) {
      return badValue(
          element, metric,
          ("the metric is one of " + validNames<FocusMetric>()).c_str());
    }
    focus.metric = *named;
  }
  const std::string problem = readRegion(element, focus.region);
  if (!problem.empty()) return problem;
  return readFlagAttribute(element, "refine", focus.refine);
}

std::string regionOutside(const PictureRegion& region, int n,
                          const char* element) {
  const auto right = static_cast<long long>(region.x) + region.width;
  const auto bottom = static_cast<long long>(region.y) + region.height;
  if (right <= n && bottom <= n) return {};
  return std::string("the <") + element + "> region " +
         std::to_string(region.x) + " " + std::to_string(region.y) + " " +
         std::to_string(region.width) + " " + std::to_string(region.height) +
         " reaches past the " + std::to_string(n) + " x " + std::to_string(n) +
         " picture";
}

std::string readZeroOrder(const pugi::xml_node& hologram, ZeroOrderMode& mode) {
  return readNamedAttribute(hologram, "dc", mode);
}

std::string readBackgroundElement(const pugi::xml_node& root,
                                  BackgroundOptions& background,
                                  bool& modeGiven) {
  const pugi::xml_node element = root.child("Background");
  modeGiven = false;
  if (!element) return {};
  const pugi::xml_attribute value = element.attribute("value");
  if (!value || std::string(value.value()).empty()) {
    return "<Background> has no attribute \"value\" (the empty frame)";
  }
  background.enabled = true;
  background.path = value.value();
  background.darkPath = element.attribute("dark").value();
  modeGiven = bool(element.attribute("mode"));
  return readNamedAttribute(element, "mode", background.mode);
}

std::string readCompensationElement(const pugi::xml_node& root,
                                    CompensationOptions& compensation) {
  const pugi::xml_node element = root.child("Compensation");
  if (!element) return {};
  compensation.enabled = true;
  std::string problem = readFlagAttribute(element, "tilt", compensation.tilt);
  if (problem.empty()) {
    problem = readFlagAttribute(element, "curvature", compensation.curvature);
  }
  if (problem.empty()) problem = readRegion(element, compensation.region);
  if (problem.empty() && !compensation.tilt && !compensation.curvature) {
    problem =
        "<Compensation> with neither tilt nor curvature would remove "
        "nothing";
  }
  return problem;
}
