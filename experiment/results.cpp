#include <limits>
#include <pugixml.hpp>
#include <string>

#include "experiment.h"
#include "files.h"
#include "numbers.h"

namespace {

// Counts and indices are written as 32-bit integers; a sweep is far
// smaller, but an oversized one is clamped instead of wrapping.
std::string formatCount(std::size_t value) {
  constexpr auto kLargest =
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return formatInt(
      static_cast<std::int32_t>(value < kLargest ? value : kLargest));
}

void appendValue(pugi::xml_node& parent, const char* name, double value) {
  parent.append_child(name).append_attribute("value").set_value(
      formatParameter(value).c_str());
}

/// Collects what pugixml writes, so that the file is written whole or not
/// at all.
class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, std::size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
  std::string text;
};

}  // namespace

std::string Experiment::saveResults(const std::string& path, double fullTime,
                                    double averageTime) const {
  pugi::xml_document document;
  pugi::xml_node results = document.append_child("Results");
  results.append_attribute("hologramsCount")
      .set_value(formatCount(parameterSets.size()).c_str());
  results.append_attribute("fullRTime").set_value(formatReal(fullTime).c_str());
  results.append_attribute("averageTime")
      .set_value(formatReal(averageTime).c_str());
  for (std::size_t i = 0; i < parameterSets.size(); ++i) {
    const ParameterSet& set = parameterSets[i];
    pugi::xml_node parameters = results.append_child("Parameters");
    parameters.append_attribute("index").set_value(formatCount(i).c_str());
    appendValue(parameters, "WaveLength", set.wavelength);
    appendValue(parameters, "Angle", set.angle);
    appendValue(parameters, "ZDistance", set.zDistance);
    appendValue(parameters, "CcdPixelDistance", set.ccdPixelDistance);
  }
  StringWriter writer;
  document.save(writer);
  return writeWholeFile(path, writer.text);
}
