#include "sources.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "run_directory.h"

namespace fs = std::filesystem;

namespace {

/// The files a pattern names: a "*" in the file name standing for one or
/// more digits, ordered by their number (cells_2 before cells_10). Two files
/// of one number ("cells_1", "cells_01") are refused: which comes first
/// would be a guess.
std::vector<std::string> patternFiles(const std::string& pattern,
                                      std::string& problem) {
  const fs::path path(pattern);
  const std::string name = path.filename().string();
  const std::size_t star = name.find('*');
  if (star == std::string::npos ||
      name.find('*', star + 1) != std::string::npos ||
      path.parent_path().string().find('*') != std::string::npos) {
    problem = pattern + ": a pattern has one \"*\", in the file name";
    return {};
  }
  const std::string prefix = name.substr(0, star);
  const std::string suffix = name.substr(star + 1);
  const fs::path directory =
      path.has_parent_path() ? path.parent_path() : fs::path(".");
  // By number: digits without their leading zeros, shorter first.
  std::map<std::pair<std::size_t, std::string>, std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() <= prefix.size() + suffix.size() ||
        file.compare(0, prefix.size(), prefix) != 0 ||
        !file.ends_with(suffix)) {
      continue;
    }
    const std::string digits =
        file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string number = digits.substr(
        std::min(digits.find_first_not_of('0'), digits.size() - 1));
    const auto [place, added] = found.emplace(std::pair{number.size(), number},
                                              (directory / file).string());
    if (!added) {
      problem = pattern + ": " + fs::path(place->second).filename().string() +
                " and " + file + " have the same number";
      return {};
    }
  }
  if (error) {
    problem = pattern + ": " + error.message();
    return {};
  }
  if (found.empty()) {
    problem = pattern + ": the pattern matches no file";
    return {};
  }
  std::vector<std::string> files;
  for (const auto& [number, file] : found) files.push_back(file);
  return files;
}

/// The size of the file at path, 0 when it cannot be told.
std::uint64_t fileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0
             ? static_cast<std::uint64_t>(status.st_size)
             : 0;
}

/// The first line of what a loader wrote, for a message of one line.
std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

}  // namespace

PictureSource PictureSource::single(const std::string& role,
                                    const std::string& path) {
  PictureSource source;
  source.role_ = role;
  source.path_ = path;
  return source;
}

std::optional<PictureSource> PictureSource::series(
    const std::string& role, const std::string& path,
    const std::optional<FrameSelection>& selection, int preferredSize,
    std::string& problem) {
  PictureSource source;
  source.role_ = role;
  source.path_ = path;
  source.series_ = true;
  // Every frame of the series, as (file, page).
  std::vector<std::pair<std::string, int>> frames;
  if (path.find('*') != std::string::npos) {
    for (const std::string& file : patternFiles(path, problem)) {
      frames.emplace_back(file, 0);
    }
    if (frames.empty()) return std::nullopt;
  } else {
    PageReader reader;
    std::ostringstream why;
    if (!reader.open(path, why)) {
      problem = path + ": " + firstLine(why.str());
      return std::nullopt;
    }
    for (int page = 0; page < reader.pageCount(); ++page) {
      frames.emplace_back(path, page);
    }
  }
  const std::vector<int> numbers = selectedFrames(
      selection.value_or(FrameSelection{true, {}}),
      static_cast<int>(frames.size()), kMaxParameterSets, problem);
  if (numbers.empty()) {
    problem = path + ": " + problem;
    return std::nullopt;
  }
  // Each frame decoded once for its fingerprint: every shard of a sweep
  // lists the same series, and a frame that changes later is told apart.
  std::string openFile;
  PageReader reader;
  for (const int number : numbers) {
    const auto& [file, page] = frames[static_cast<std::size_t>(number - 1)];
    ListedFrame listed{number, file, page, fileSize(file), {}, {}};
    std::ostringstream why;
    if (file != openFile) {
      reader = PageReader();
      openFile = reader.open(file, why) ? file : std::string();
    }
    if (openFile.empty() ||
        !reader.fingerprint(page, preferredSize, listed.sha256, why)) {
      listed.sha256.clear();
      listed.problem = firstLine(why.str());
    }
    source.listed_.push_back(std::move(listed));
  }
  return source;
}

std::string PictureSource::frameName(int k) const {
  const ListedFrame& frame = listed_[static_cast<std::size_t>(k)];
  const std::string file = extractFileName(frame.file);
  if (path_.find('*') != std::string::npos) {
    return "frame " + std::to_string(frame.number) + " (" + file + ")";
  }
  return "frame " + std::to_string(frame.number) + " (page " +
         std::to_string(frame.page + 1) + " of " + file + ")";
}

bool PictureSource::load(int k, const Experiment& experiment,
                         LoadedPicture& picture, std::ostream& stream,
                         const FitsInMemory& fits) const {
  const int preferred = experiment.preferredSize;
  if (!series_) {
    PictureFile file;
    if (preferred != 0) picture.n = preferred;
    if (!readPictureFile(path_, file, stream)) return false;
    const bool loaded = preferred != 0
                            ? loadClippedImage(file, picture.samples, picture.n,
                                               experiment.clipType, stream,
                                               fits, &picture.extent)
                            : loadSquareImage(file, picture.samples, picture.n,
                                              stream, fits, &picture.extent);
    if (loaded) picture.bytes = std::move(file.bytes);
    return loaded;
  }
  const ListedFrame& listed = listed_[static_cast<std::size_t>(k)];
  if (!listed.problem.empty()) {
    stream << frameName(k) << ": " << listed.problem << std::endl;
    return false;
  }
  PageReader reader;
  PictureFrame frame;
  std::ostringstream why;
  if (!reader.open(listed.file, why) ||
      !reader.read(listed.page, preferred, experiment.clipType, frame, why,
                   fits)) {
    stream << frameName(k) << ": " << firstLine(why.str()) << std::endl;
    return false;
  }
  if (frame.sha256 != listed.sha256) {
    stream << frameName(k) << ": it changed since the run listed it"
           << std::endl;
    return false;
  }
  picture.samples = std::move(frame.samples);
  picture.n = frame.size;
  picture.extent = frame.extent;
  return true;
}

std::string framesCsv(const std::vector<const PictureSource*>& sources) {
  std::string csv;
  for (const PictureSource* source : sources) {
    if (!source->isSeries()) continue;
    for (const ListedFrame& frame : source->listed()) {
      csv += source->role() + "," + std::to_string(frame.number) + "," +
             extractFileName(frame.file) + "," +
             std::to_string(frame.page + 1) + "," +
             std::to_string(frame.fileBytes) + "," +
             (frame.sha256.empty() ? "unreadable" : frame.sha256) + "\n";
    }
  }
  if (csv.empty()) return csv;
  return "input,frame,file,page,bytes,sha256\n" + csv;
}
