#include "frames.h"

#include <sstream>

#include "numbers.h"

namespace {

/// A frame number: a whole number from 1.
std::optional<int> frameNumber(const std::string& text) {
  const std::optional<std::int32_t> number = readInt32(text.c_str());
  if (!number || *number < 1) return std::nullopt;
  return *number;
}

/// "7", "1-100" or "1-100/5".
std::optional<FrameRange> rangeOf(const std::string& part) {
  FrameRange range;
  std::string bounds = part;
  if (const std::size_t slash = part.find('/'); slash != std::string::npos) {
    const std::optional<int> step = frameNumber(part.substr(slash + 1));
    if (!step) return std::nullopt;
    range.step = *step;
    bounds = part.substr(0, slash);
  }
  const std::size_t dash = bounds.find('-');
  const std::optional<int> first = frameNumber(bounds.substr(0, dash));
  const std::optional<int> last =
      dash == std::string::npos ? first : frameNumber(bounds.substr(dash + 1));
  if (!first || !last || *last < *first) return std::nullopt;
  if (dash == std::string::npos && range.step != 1) return std::nullopt;
  range.first = *first;
  range.last = *last;
  return range;
}

}  // namespace

std::optional<FrameSelection> parseFrames(const std::string& text,
                                          std::string& problem) {
  FrameSelection selection;
  if (trimmed(text.c_str()) == "all") {
    selection.all = true;
    return selection;
  }
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, ',');) {
    const std::optional<FrameRange> range = rangeOf(trimmed(part.c_str()));
    if (!range) {
      problem = std::string("\"").append(trimmed(part.c_str())) +
                "\" is not a frame or a range of frames (7, 1-100 or "
                "1-100/5, counted from 1)";
      return std::nullopt;
    }
    selection.ranges.push_back(*range);
  }
  if (selection.ranges.empty() || text.back() == ',') {
    problem = "no frames (all, or ranges such as 1-100, 1-100/5 or 7)";
    return std::nullopt;
  }
  return selection;
}

std::vector<int> selectedFrames(const FrameSelection& selection, int count,
                                std::size_t most, std::string& problem) {
  std::vector<int> frames;
  if (selection.all) {
    if (static_cast<std::size_t>(count) > most) {
      problem = "the series has " + std::to_string(count) +
                " frames, more than " + std::to_string(most);
      return {};
    }
    for (int frame = 1; frame <= count; ++frame) frames.push_back(frame);
    return frames;
  }
  for (const FrameRange& range : selection.ranges) {
    if (range.last > count) {
      problem = "frame " + std::to_string(range.last) +
                " is past the last of the series, which has " +
                std::to_string(count) + (count == 1 ? " frame" : " frames");
      return {};
    }
    for (int frame = range.first; frame <= range.last; frame += range.step) {
      if (frames.size() == most) {
        problem = "the frames asked for are more than " + std::to_string(most);
        return {};
      }
      frames.push_back(frame);
      if (range.last - frame < range.step) break;  // no overflow past last
    }
  }
  return frames;
}
