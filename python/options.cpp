#include "options.h"

#include <array>
#include <utility>

#include "names.h"
#include "option_elements.h"
#include "shortest.h"
#include "sweep.h"

namespace holopy {

namespace {

constexpr std::array<const char*, 6> kFilterAttributes = {
    "order", "fx", "fy", "radius", "edge", "center"};

/// A keyword value as the attribute text the experiment file would hold:
/// numbers at full precision, booleans as true and false, None as absent.
std::string attributeText(const py::handle& value) {
  if (py::isinstance<py::bool_>(value)) {
    return value.cast<bool>() ? "true" : "false";
  }
  if (py::isinstance<py::int_>(value)) return py::str(value);
  if (py::isinstance<py::float_>(value)) {
    return numerics::shortestText(value.cast<double>());
  }
  return py::str(value);
}

/// An experiment document holding element with the attributes given.
pugi::xml_document experimentWith(
    const char* element,
    const std::vector<std::pair<std::string, std::string>>& attributes) {
  pugi::xml_document document;
  pugi::xml_node node =
      document.append_child("Experiment").append_child(element);
  for (const auto& [name, text] : attributes) {
    node.append_attribute(name.c_str()).set_value(text.c_str());
  }
  return document;
}

}  // namespace

ReconstructionMethod methodNamed(const std::string& name) {
  const std::optional<ReconstructionMethod> method =
      valueNamed<ReconstructionMethod>(name);
  if (!method) {
    throw py::value_error("method must be " +
                          validNames<ReconstructionMethod>() + ", not '" +
                          name + "'");
  }
  return *method;
}

numerics::Optics checkedOptics(double wavelength, double z, double pitch,
                               double angle, ReconstructionMethod method) {
  const std::string problem =
      parameterSetProblem(ParameterSet{wavelength, angle, z, pitch}, method);
  if (!problem.empty()) throw py::value_error(problem);
  return {wavelength, angle, z, pitch};
}

FilterOptions sidebandOptions(const py::dict& attributes) {
  std::vector<std::pair<std::string, std::string>> texts = {
      {"type", "Sideband"}};
  for (const auto& [key, value] : attributes) {
    const std::string name = py::str(key);
    bool known = false;
    for (const char* attribute : kFilterAttributes) known |= name == attribute;
    if (!known) {
      throw py::value_error("sideband has no attribute '" + name +
                            "' (order, fx, fy, radius, edge, center)");
    }
    if (!value.is_none()) texts.emplace_back(name, attributeText(value));
  }
  FilterOptions filter;
  const std::string problem = readFilterElement(
      experimentWith("Filter", texts).child("Experiment"), filter);
  if (!problem.empty()) throw py::value_error(problem);
  return filter;
}

namespace {

/// "x y width height" from the sequence's values.
std::string regionText(const py::object& region) {
  std::string text;
  for (const py::handle value : region) {
    if (!text.empty()) text += ' ';
    text += attributeText(value);
  }
  return text;
}

}  // namespace

PictureRegion compensationRegion(const py::object& region, int n) {
  CompensationOptions compensation;
  const std::string problem = readCompensationElement(
      experimentWith("Compensation", {{"region", regionText(region)}})
          .child("Experiment"),
      compensation);
  if (!problem.empty()) throw py::value_error(problem);
  const std::string outside =
      regionOutside(*compensation.region, n, "Compensation");
  if (!outside.empty()) throw py::value_error(outside);
  return *compensation.region;
}

PictureRegion focusRegion(const py::object& region, int n) {
  const std::string text = regionText(region);
  FocusOptions focus;
  const std::string problem = readFocusElement(
      experimentWith("Focus", {{"region", text}}).child("Experiment"), focus);
  if (!problem.empty()) throw py::value_error(problem);
  const std::string outside = focusRegionOutside(*focus.region, n);
  if (!outside.empty()) throw py::value_error(outside);
  return *focus.region;
}

}  // namespace holopy
