#include "merge.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <sstream>

#include "experiment.h"
#include "files.h"
#include "focus_record.h"
#include "numbers.h"
#include "results_document.h"
#include "sha256.h"

namespace fs = std::filesystem;
using numerics::FocusFigures;

namespace {

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

/// The shard files in directory by their place in the split, or why the
/// directory cannot be merged.
std::string findShardFiles(const std::string& directory,
                           std::map<std::pair<int, int>, std::string>& found) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (const std::optional<Shard> shard = shardOfFileName(name)) {
      found[{shard->count, shard->number}] = name;
    }
  }
  if (error) return directory + ": " + error.message();
  if (found.empty()) {
    return directory + " holds no shard files (results.K-of-N.xml)";
  }
  if (found.begin()->first.first != found.rbegin()->first.first) {
    std::string names;
    for (const auto& [place, name] : found) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return directory + " holds shard files of different splits: " + names;
  }
  return {};
}

/// One shard file as read, with the attributes the merge relies on.
struct ShardFile {
  Shard shard;
  std::string name;
  pugi::xml_document document;
  pugi::xml_node root;
  ShardIdentity identity;
  double fullTime = 0.0;
  double averageTime = 0.0;
};

/// The sweep the shards ran, computed again: index i is set i mod P of
/// frame i / P (a run without a series has one frame and no records).
struct Sweep {
  Experiment experiment;
  std::vector<FrameRecord> frames;

  std::size_t sets() const { return experiment.parameterSets.size(); }
  std::size_t size() const {
    return sets() * (frames.empty() ? 1 : frames.size());
  }
  const ParameterSet& set(std::size_t i) const {
    return experiment.parameterSets[i % sets()];
  }
  const FrameRecord* frame(std::size_t i) const {
    return frames.empty() ? nullptr : &frames[i / sets()];
  }
  std::optional<int> frameNumber(std::size_t i) const {
    if (frames.empty()) return std::nullopt;
    return frames[i / sets()].number;
  }
};

/// A time the file states: a finite number not below 0.
std::optional<double> timeOf(const pugi::xml_node& root, const char* name) {
  const std::optional<double> value = readReal(root.attribute(name).value());
  if (!value || !std::isfinite(*value) || *value < 0.0) return std::nullopt;
  return value;
}

/// Reads a shard file's root and identity; the problem without its name.
std::string readShardFile(const fs::path& path, ShardFile& file) {
  std::string bytes;
  const std::string problem = readWholeFile(path, bytes);
  if (!problem.empty()) return problem;
  if (!file.document.load_buffer(bytes.data(), bytes.size())) {
    return "not a results file";
  }
  file.root = file.document.child("Results");
  if (!file.root) return "not a results file";
  if (file.root.attribute("shard").value() != file.shard.text()) {
    return "its shard attribute does not match its name";
  }
  file.identity = {file.root.attribute("experiment").value(),
                   file.root.attribute("inputs").value(),
                   file.root.attribute("experimentFile").value()};
  const std::optional<double> full = timeOf(file.root, "fullRTime");
  const std::optional<double> average = timeOf(file.root, "averageTime");
  if (!full || !average) {
    return "its times are not finite numbers of seconds (fullRTime \"" +
           std::string(file.root.attribute("fullRTime").value()) +
           "\", averageTime \"" + file.root.attribute("averageTime").value() +
           "\")";
  }
  file.fullTime = *full;
  file.averageTime = *average;
  return {};
}

/// The experiment the shards ran, loaded from its archive in params, or
/// why it cannot be.
std::string loadArchivedExperiment(const std::string& directory,
                                   const ShardFile& first,
                                   Experiment& experiment) {
  const std::string& name = first.identity.experimentFile;
  if (name.empty() || name.find('/') != std::string::npos || name == "." ||
      name == "..") {
    return first.name + ": it does not name the archived experiment file";
  }
  const fs::path path = fs::path(directory) / "params" / name;
  std::string bytes;
  std::string problem = readWholeFile(path, bytes);
  if (!problem.empty()) return "params/" + name + ": " + problem;
  if (sha256Hex(bytes) != first.identity.experimentDigest) {
    return "params/" + name + " is not the experiment file " + first.name +
           " ran (its SHA-256 differs)";
  }
  if (!experiment.load(path.string())) return experiment.loadError;
  return {};
}

/// The frames of a series from params/frames.csv, as the run listed them:
/// "input,frame,file,page,bytes,sha256", the holograms' rows. A file name
/// may hold commas, so the fields after it are taken from the end.
std::string loadArchivedFrames(const std::string& directory, Sweep& sweep) {
  if (!sweep.experiment.frames) return {};
  std::string text;
  const std::string problem = readWholeFile(
      (fs::path(directory) / "params" / "frames.csv").string(), text);
  if (!problem.empty()) return "params/frames.csv: " + problem;
  const bool files =
      sweep.experiment.hologramPath.find('*') != std::string::npos;
  std::istringstream stream(text);
  std::string line;
  std::getline(stream, line);  // the header
  while (std::getline(stream, line)) {
    if (line.rfind("hologram,", 0) != 0) continue;
    const std::size_t frameEnd = line.find(',', 9);
    std::size_t fileEnd = line.size();
    for (int field = 0; field < 3 && fileEnd != std::string::npos; ++field) {
      fileEnd = fileEnd == 0 ? std::string::npos : line.rfind(',', fileEnd - 1);
    }
    const std::optional<std::int32_t> number =
        readInt32(line.substr(9, frameEnd - 9).c_str());
    if (frameEnd == std::string::npos || fileEnd == std::string::npos ||
        fileEnd <= frameEnd || !number) {
      return "params/frames.csv: \"" + line + "\" is not a frame's line";
    }
    sweep.frames.push_back(
        {*number, files ? line.substr(frameEnd + 1, fileEnd - frameEnd - 1)
                        : std::string()});
  }
  if (sweep.frames.empty()) return "params/frames.csv lists no frame";
  return {};
}

/// The expected Parameters element at index: the values as results.xml
/// writes them, and a series' frame.
std::string setProblem(const pugi::xml_node& node, std::size_t index,
                       const Sweep& sweep) {
  const std::string name = "set " + std::to_string(index) + ": ";
  if (std::string(node.name()) != "Parameters") {
    return std::string("<") + node.name() + "> where set " +
           std::to_string(index) + " should be";
  }
  const std::string text = node.attribute("index").value();
  if (text != std::to_string(index)) {
    return "index \"" + text + "\" where set " + std::to_string(index) +
           " should be";
  }
  const ParameterSet& set = sweep.set(index);
  const std::pair<const char*, double> values[] = {
      {"WaveLength", set.wavelength},
      {"Angle", set.angle},
      {"ZDistance", set.zDistance},
      {"CcdPixelDistance", set.ccdPixelDistance}};
  pugi::xml_node child = node.first_child();
  for (const auto& [element, value] : values) {
    const std::string expected = formatParameter(value);
    if (!child || std::string(child.name()) != element) {
      return name + "<" + element + "> is missing";
    }
    const std::string found = child.attribute("value").value();
    if (found != expected) {
      return name + element + " is \"" + found + "\", where the sweep gives " +
             expected;
    }
    child = child.next_sibling();
  }
  if (const FrameRecord* frame = sweep.frame(index)) {
    if (!child || std::string(child.name()) != "Frame" ||
        child.attribute("value").value() != std::to_string(frame->number) ||
        child.attribute("file").value() != frame->file) {
      return name + "its frame is not frame " + std::to_string(frame->number) +
             " of the series";
    }
    child = child.next_sibling();
  }
  if (child) return name + "<" + child.name() + "> is not a value";
  return {};
}

/// How many indices of a sweep of size indices shard holds.
std::size_t heldBy(const Shard& shard, std::size_t size) {
  const auto count = static_cast<std::size_t>(shard.count);
  const auto first = static_cast<std::size_t>(shard.number - 1);
  return size > first ? (size - first + count - 1) / count : 0;
}

/// Why a shard file's sets are not exactly its part of the sweep.
std::string shardSetsProblem(const ShardFile& file, const Sweep& sweep) {
  const std::size_t size = sweep.size();
  const std::size_t held = heldBy(file.shard, size);
  const std::string count = file.root.attribute("hologramsCount").value();
  if (count != std::to_string(held)) {
    return "hologramsCount is \"" + count + "\", where its part of the " +
           std::to_string(size) + "-set sweep has " + std::to_string(held);
  }
  pugi::xml_node node = file.root.first_child();
  for (std::size_t i = static_cast<std::size_t>(file.shard.number - 1);
       i < size; i += static_cast<std::size_t>(file.shard.count)) {
    if (!node) return "set " + std::to_string(i) + " is missing";
    const std::string problem = setProblem(node, i, sweep);
    if (!problem.empty()) return problem;
    node = node.next_sibling();
  }
  if (node) {
    return std::string("<") + node.name() + " index=\"" +
           node.attribute("index").value() + "\"> is not one of its sets";
  }
  return {};
}

/// Reads and checks a shard's focus.K-of-N.csv line by line into figures
/// (by index); the problem, naming the file and the line.
std::string readShardFocus(const std::string& directory, const Shard& shard,
                           const Sweep& sweep,
                           std::vector<std::optional<FocusFigures>>& figures) {
  const std::string name = shard.focusFileName();
  std::string text;
  if (!readWholeFile((fs::path(directory) / name).string(), text).empty()) {
    return name + " is missing";
  }
  std::istringstream stream(text);
  std::string line;
  if (!std::getline(stream, line) ||
      line != focusCsvHeader(!sweep.frames.empty())) {
    return name + ": its first line is not the header of focus figures";
  }
  int number = 1;
  for (std::size_t i = static_cast<std::size_t>(shard.number - 1);
       i < sweep.size(); i += static_cast<std::size_t>(shard.count)) {
    ++number;
    if (!std::getline(stream, line)) {
      return name + ": the line of set " + std::to_string(i) + " is missing";
    }
    const FocusCsvEntry entry = readFocusCsvLine(
        line, std::to_string(i), sweep.frameNumber(i), sweep.set(i));
    if (!entry.problem.empty()) {
      return name + ": line " + std::to_string(number) + ": " + entry.problem;
    }
    figures[i] = entry.figures;
  }
  if (std::getline(stream, line)) {
    return name + ": line " + std::to_string(number + 1) +
           " is not one of its sets";
  }
  return {};
}

/// focus.csv of the whole sweep from the checked figures.
std::string mergedFocusCsv(
    const Sweep& sweep,
    const std::vector<std::optional<FocusFigures>>& figures) {
  std::string csv = focusCsvHeader(!sweep.frames.empty()) + "\n";
  for (std::size_t i = 0; i < figures.size(); ++i) {
    csv += focusCsvLine(std::to_string(i), sweep.frameNumber(i), sweep.set(i),
                        figures[i]) +
           "\n";
  }
  return csv;
}

/// The console lines naming the sharpest set: of the sweep, or of every
/// frame of a series. The shards ran apart, so none was refined.
std::string sharpestLines(
    const Sweep& sweep,
    const std::vector<std::optional<FocusFigures>>& figures) {
  const FocusOptions& focus = sweep.experiment.focus;
  const std::string refine =
      focus.refine ? "; not refined: the shards each saw only their own sets"
                   : "";
  std::string lines;
  const std::size_t sets = sweep.sets();
  for (std::size_t start = 0; start < figures.size(); start += sets) {
    const std::vector<std::optional<FocusFigures>> frame(
        figures.begin() + static_cast<std::ptrdiff_t>(start),
        figures.begin() + static_cast<std::ptrdiff_t>(start + sets));
    const std::string where =
        sweep.frames.empty()
            ? ""
            : std::string(" in frame ")
                  .append(std::to_string(*sweep.frameNumber(start)));
    const std::optional<std::size_t> best = sharpestSet(focus.metric, frame);
    if (!lines.empty()) lines += '\n';
    lines += best ? sharpestLine(where, start + *best, sweep.set(start + *best),
                                 focus.metric) +
                        refine
                  : noSharpestLine(where, focus.metric);
  }
  return lines;
}

}  // namespace

std::vector<std::string> mergeShardResults(const std::string& directory,
                                           MergeSummary& summary) {
  std::map<std::pair<int, int>, std::string> found;
  if (std::string problem = findShardFiles(directory, found);
      !problem.empty()) {
    return {problem};
  }
  const int count = found.begin()->first.first;
  // The sweep from the experiment file that the first shard file found
  // names; only then is the number of shards known to be sensible, before
  // anything is held per shard.
  ShardFile first;
  first.shard = {found.begin()->first.second, count};
  first.name = found.begin()->second;
  if (std::string problem =
          readShardFile(fs::path(directory) / first.name, first);
      !problem.empty()) {
    return {first.name + ": " + problem};
  }
  Sweep sweep;
  if (std::string problem =
          loadArchivedExperiment(directory, first, sweep.experiment);
      !problem.empty()) {
    return {problem};
  }
  if (std::string problem = loadArchivedFrames(directory, sweep);
      !problem.empty()) {
    return {problem};
  }
  const std::size_t size = sweep.size();
  if (static_cast<std::size_t>(count) > size) {
    return {first.name + ": a split into " + std::to_string(count) +
            " shards of a sweep of " + std::to_string(size) + " sets"};
  }

  std::vector<std::string> problems;
  std::vector<std::optional<FocusFigures>> figures(size);
  double fullTime = 0.0;
  double stepTimes = 0.0;
  for (int number = 1; number <= count; ++number) {
    ShardFile file;
    file.shard = {number, count};
    file.name = file.shard.resultsFileName();
    if (!found.count({count, number})) {
      problems.push_back(file.name + " is missing");
      continue;
    }
    std::string problem = readShardFile(fs::path(directory) / file.name, file);
    if (!problem.empty()) {
      problem = file.name + ": " + problem;
    } else if (file.identity.experimentDigest !=
                   first.identity.experimentDigest ||
               file.identity.experimentFile != first.identity.experimentFile) {
      problem = file.name + " is from another experiment than " + first.name;
    } else if (file.identity.inputsDigest != first.identity.inputsDigest) {
      problem = file.name +
                " ran on other inputs (holograms or pictures) "
                "than " +
                first.name;
    } else if (std::string mismatch = shardSetsProblem(file, sweep);
               !mismatch.empty()) {
      problem = file.name + ": " + mismatch;
    }
    if (!problem.empty()) {
      problems.push_back(problem);
      continue;
    }
    if (sweep.experiment.focus.enabled) {
      problem = readShardFocus(directory, file.shard, sweep, figures);
      if (!problem.empty()) problems.push_back(problem);
    }
    fullTime += file.fullTime;
    stepTimes +=
        file.averageTime * static_cast<double>(heldBy(file.shard, size));
  }
  if (!problems.empty()) return problems;

  // Every check passed: the records, focus.csv first, since results.xml
  // marks the sweep finished.
  if (sweep.experiment.focus.enabled) {
    const std::string problem =
        writeWholeFile((fs::path(directory) / "focus.csv").string(),
                       mergedFocusCsv(sweep, figures));
    if (!problem.empty()) return {"Can't write focus.csv: " + problem};
    summary.sharpest = sharpestLines(sweep, figures);
  }
  pugi::xml_document merged;
  pugi::xml_node results = appendResults(merged, size, fullTime,
                                         stepTimes / static_cast<double>(size));
  appendSets(results, sweep.experiment, sweep.frames,
             [](std::size_t) { return true; });
  const std::string problem =
      saveDocument(merged, (fs::path(directory) / "results.xml").string());
  if (!problem.empty()) return {"Can't write results.xml: " + problem};
  summary.shards = count;
  summary.sets = size;
  return {};
}
