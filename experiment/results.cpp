#include <cstdio>
#include <limits>
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "experiment.h"
#include "numbers.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

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
      formatReal(value).c_str());
}

}  // namespace

void Experiment::saveResults(const std::string& path, double fullTime,
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
  // "wb": no line-end translation. Write errors are not reported; the run
  // goes on with its remaining work either way.
  const std::unique_ptr<std::FILE, FileCloser> file(
      std::fopen(path.c_str(), "wb"));
  if (!file) return;
  pugi::xml_writer_file writer(file.get());
  document.save(writer);
}
