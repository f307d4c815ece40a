#include "results.h"

#include <limits>
#include <pugixml.hpp>
#include <string>

#include "experiment.h"
#include "files.h"
#include "numbers.h"
#include "results_document.h"

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

pugi::xml_node appendResults(pugi::xml_document& document, std::size_t count,
                             double fullTime, double averageTime) {
  pugi::xml_node results = document.append_child("Results");
  results.append_attribute("hologramsCount")
      .set_value(formatCount(count).c_str());
  results.append_attribute("fullRTime").set_value(formatReal(fullTime).c_str());
  results.append_attribute("averageTime")
      .set_value(formatReal(averageTime).c_str());
  return results;
}

void appendSet(pugi::xml_node& results, std::size_t index,
               const ParameterSet& set, const FrameRecord* frame) {
  pugi::xml_node parameters = results.append_child("Parameters");
  parameters.append_attribute("index").set_value(formatCount(index).c_str());
  appendValue(parameters, "WaveLength", set.wavelength);
  appendValue(parameters, "Angle", set.angle);
  appendValue(parameters, "ZDistance", set.zDistance);
  appendValue(parameters, "CcdPixelDistance", set.ccdPixelDistance);
  if (frame == nullptr) return;
  pugi::xml_node node = parameters.append_child("Frame");
  node.append_attribute("value").set_value(
      std::to_string(frame->number).c_str());
  if (!frame->file.empty()) {
    node.append_attribute("file").set_value(frame->file.c_str());
  }
}

std::string saveDocument(const pugi::xml_document& document,
                         const std::string& path) {
  StringWriter writer;
  document.save(writer);
  return writeWholeFile(path, writer.text);
}

std::string Shard::fileName(const std::string& stem,
                            const std::string& ext) const {
  return stem + "." + std::to_string(number) + "-of-" + std::to_string(count) +
         "." + ext;
}

std::string Shard::text() const {
  return std::to_string(number) + "/" + std::to_string(count);
}

std::string Experiment::saveResults(
    const std::string& path, double fullTime, double averageTime,
    const std::vector<FrameRecord>& frameRecords) const {
  pugi::xml_document document;
  const std::size_t count =
      parameterSets.size() * (frameRecords.empty() ? 1 : frameRecords.size());
  pugi::xml_node results =
      appendResults(document, count, fullTime, averageTime);
  appendSets(results, *this, frameRecords, [](std::size_t) { return true; });
  return saveDocument(document, path);
}

std::string Experiment::saveShardResults(
    const std::string& path, double fullTime, double averageTime,
    const Shard& shard, const ShardIdentity& identity,
    const std::vector<FrameRecord>& frameRecords) const {
  const std::size_t all =
      parameterSets.size() * (frameRecords.empty() ? 1 : frameRecords.size());
  std::size_t count = 0;
  for (std::size_t i = 0; i < all; ++i) count += shard.holds(i) ? 1 : 0;
  pugi::xml_document document;
  pugi::xml_node results =
      appendResults(document, count, fullTime, averageTime);
  results.append_attribute("shard").set_value(shard.text().c_str());
  results.append_attribute("experiment")
      .set_value(identity.experimentDigest.c_str());
  results.append_attribute("inputs").set_value(identity.inputsDigest.c_str());
  results.append_attribute("experimentFile")
      .set_value(identity.experimentFile.c_str());
  appendSets(results, *this, frameRecords,
             [&](std::size_t i) { return shard.holds(i); });
  return saveDocument(document, path);
}
