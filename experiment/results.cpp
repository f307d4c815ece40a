#include "results.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <string>

#include "experiment.h"
#include "files.h"
#include "numbers.h"
#include "sha256.h"

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

/// The Results element with its three attributes.
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
               const ParameterSet& set) {
  pugi::xml_node parameters = results.append_child("Parameters");
  parameters.append_attribute("index").set_value(formatCount(index).c_str());
  appendValue(parameters, "WaveLength", set.wavelength);
  appendValue(parameters, "Angle", set.angle);
  appendValue(parameters, "ZDistance", set.zDistance);
  appendValue(parameters, "CcdPixelDistance", set.ccdPixelDistance);
}

/// Writes the document whole, or says why not.
std::string saveDocument(const pugi::xml_document& document,
                         const std::string& path) {
  StringWriter writer;
  document.save(writer);
  return writeWholeFile(path, writer.text);
}

/// The number of a text that is entirely one, else nothing.
std::optional<double> realAttribute(const pugi::xml_node& node,
                                    const char* name) {
  return readReal(node.attribute(name).value());
}

/// One shard file as the merge reads it.
struct ShardFile {
  std::string name;
  Shard shard;
  std::string experiment;
  double fullTime = 0.0;
  double averageTime = 0.0;
  pugi::xml_document document;
};

/// "results.3-of-4.xml" gives shard 3 of 4; other names give nothing.
std::optional<Shard> shardOfFileName(const std::string& name) {
  int number = 0;
  int count = 0;
  char rest = 0;
  if (std::sscanf(name.c_str(), "results.%d-of-%d.xm%c", &number, &count,
                  &rest) != 3 ||
      rest != 'l' || number < 1 || count < number) {
    return std::nullopt;
  }
  const Shard shard{number, count};
  if (shard.resultsFileName() != name) return std::nullopt;
  return shard;
}

/// Reads one shard file; the problem, naming it, when it cannot be used.
std::string readShardFile(const std::filesystem::path& path, ShardFile& file) {
  std::string bytes;
  std::string problem = readWholeFile(path, bytes);
  if (problem.empty() &&
      !file.document.load_buffer(bytes.data(), bytes.size())) {
    problem = "not a results file";
  }
  const pugi::xml_node root = file.document.child("Results");
  const std::optional<double> full = realAttribute(root, "fullRTime");
  const std::optional<double> average = realAttribute(root, "averageTime");
  if (problem.empty() && (!full || !average)) problem = "not a results file";
  if (problem.empty() && root.attribute("shard").value() !=
                             std::to_string(file.shard.number) + "/" +
                                 std::to_string(file.shard.count)) {
    problem = "its shard attribute does not match its name";
  }
  if (!problem.empty()) return file.name + ": " + problem;
  file.experiment = root.attribute("experiment").value();
  file.fullTime = *full;
  file.averageTime = *average;
  return {};
}

/// Joins the shards' focus.K-of-N.csv, when they wrote them, into
/// focus.csv: one header, the sets in index order (a shard's refinement is
/// of its own sets only and is left out).
std::vector<std::string> mergeFocusFiles(const std::string& directory,
                                         int count) {
  namespace fs = std::filesystem;
  std::string header;
  std::map<long long, std::string> lines;
  std::vector<std::string> problems;
  int present = 0;
  for (int number = 1; number <= count; ++number) {
    const std::string name = "focus." + std::to_string(number) + "-of-" +
                             std::to_string(count) + ".csv";
    std::string text;
    if (!readWholeFile((fs::path(directory) / name).string(), text).empty()) {
      problems.push_back(name + " is missing");
      continue;
    }
    ++present;
    std::istringstream stream(text);
    std::string line;
    std::getline(stream, header);
    while (std::getline(stream, line)) {
      const std::optional<std::int32_t> index =
          readInteger(line.substr(0, line.find(',')).c_str());
      if (index) lines[*index] = line;
    }
  }
  if (present == 0) return {};
  if (!problems.empty()) return problems;
  std::string csv = header + "\n";
  for (const auto& [index, line] : lines) csv += line + "\n";
  const std::string problem =
      writeWholeFile((fs::path(directory) / "focus.csv").string(), csv);
  if (!problem.empty()) return {"Can't write focus.csv: " + problem};
  return {};
}

}  // namespace

std::string Shard::resultsFileName() const {
  return "results." + std::to_string(number) + "-of-" + std::to_string(count) +
         ".xml";
}

std::string Experiment::saveResults(const std::string& path, double fullTime,
                                    double averageTime) const {
  pugi::xml_document document;
  pugi::xml_node results =
      appendResults(document, parameterSets.size(), fullTime, averageTime);
  for (std::size_t i = 0; i < parameterSets.size(); ++i) {
    appendSet(results, i, parameterSets[i]);
  }
  return saveDocument(document, path);
}

std::string Experiment::saveShardResults(const std::string& path,
                                         double fullTime, double averageTime,
                                         const Shard& shard) const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < parameterSets.size(); ++i) {
    count += shard.holds(i) ? 1 : 0;
  }
  pugi::xml_document document;
  pugi::xml_node results =
      appendResults(document, count, fullTime, averageTime);
  results.append_attribute("shard").set_value(
      (std::to_string(shard.number) + "/" + std::to_string(shard.count))
          .c_str());
  results.append_attribute("experiment")
      .set_value(sha256Hex(fileBytes).c_str());
  for (std::size_t i = 0; i < parameterSets.size(); ++i) {
    if (shard.holds(i)) appendSet(results, i, parameterSets[i]);
  }
  return saveDocument(document, path);
}

std::vector<std::string> mergeShardResults(const std::string& directory,
                                           MergeSummary& summary) {
  namespace fs = std::filesystem;
  // Every shard file there, by its place in the split.
  std::map<std::pair<int, int>, std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (const std::optional<Shard> shard = shardOfFileName(name)) {
      found[{shard->count, shard->number}] = name;
    }
  }
  if (error) return {directory + ": " + error.message()};
  if (found.empty())
    return {directory + " holds no shard files (results.K-of-N.xml)"};
  const int count = found.begin()->first.first;
  if (found.rbegin()->first.first != count) {
    std::string names;
    for (const auto& [place, name] : found)
      names += (names.empty() ? "" : ", ") + name;
    return {directory + " holds shard files of different splits: " + names};
  }
  std::vector<std::string> problems;
  std::vector<ShardFile> files(static_cast<std::size_t>(count));
  for (int number = 1; number <= count; ++number) {
    ShardFile& file = files[static_cast<std::size_t>(number - 1)];
    file.shard = {number, count};
    file.name = file.shard.resultsFileName();
    if (!found.count({count, number})) {
      problems.push_back(file.name + " is missing");
      continue;
    }
    std::string problem = readShardFile(fs::path(directory) / file.name, file);
    if (problem.empty() && file.experiment != files[0].experiment) {
      problem = file.name + " is from another experiment than " + files[0].name;
    }
    if (!problem.empty()) problems.push_back(problem);
  }
  if (!problems.empty()) return problems;

  // Every set once, each in the shard its index says.
  std::map<std::size_t, pugi::xml_node> sets;
  double fullTime = 0.0;
  double stepTimes = 0.0;
  for (const ShardFile& file : files) {
    std::size_t held = 0;
    for (const pugi::xml_node set :
         file.document.child("Results").children("Parameters")) {
      const std::optional<std::int32_t> index =
          readInteger(set.attribute("index").value());
      if (!index || *index < 0 ||
          !file.shard.holds(static_cast<std::size_t>(*index)) ||
          !sets.emplace(static_cast<std::size_t>(*index), set).second) {
        problems.push_back(file.name + ": set " +
                           set.attribute("index").value() +
                           " does not belong to it");
        continue;
      }
      ++held;
    }
    fullTime += file.fullTime;
    stepTimes += file.averageTime * static_cast<double>(held);
  }
  if (!sets.empty() && sets.rbegin()->first + 1 != sets.size()) {
    problems.push_back("the shard files do not hold every set of the sweep");
  }
  if (!problems.empty()) return problems;

  pugi::xml_document merged;
  pugi::xml_node results = appendResults(
      merged, sets.size(), fullTime,
      sets.empty() ? 0.0 : stepTimes / static_cast<double>(sets.size()));
  for (const auto& [index, set] : sets) results.append_copy(set);
  const std::string problem =
      saveDocument(merged, (fs::path(directory) / "results.xml").string());
  if (!problem.empty()) return {"Can't write results.xml: " + problem};
  summary = {count, sets.size()};
  return mergeFocusFiles(directory, count);
}
