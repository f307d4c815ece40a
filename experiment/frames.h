#pragma once

#include <optional>
#include <string>
#include <vector>

// Which frames of a series a run takes (<Hologram frames="...">): "all",
// or comma-separated ranges such as "1-100", "1-100/5" (every fifth) or
// "7", counted from 1, in the order written.

/// One range: first to last by step, first and last inclusive.
struct FrameRange {
  int first = 1;
  int last = 1;
  int step = 1;
};

/// The frames a series run takes.
struct FrameSelection {
  bool all = false;
  std::vector<FrameRange> ranges;
};

/// Reads the frames attribute's text; nothing, with the reason in problem,
/// when it is not "all" or a list of ranges (spaces around the parts
/// allowed).
std::optional<FrameSelection> parseFrames(const std::string& text,
                                          std::string& problem);

/// The frame numbers (from 1) that selection takes of a series of count
/// frames, in order; empty, with the reason, when a range passes the last
/// frame or the frames would be more than most.
std::vector<int> selectedFrames(const FrameSelection& selection, int count,
                                std::size_t most, std::string& problem);
