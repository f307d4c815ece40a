#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A sweep split over a cluster: its shards, and what their files carry.

/// One of the parts a sweep is split into: the sets whose 0-based index i
/// satisfies i mod count = number - 1.
struct Shard {
  int number = 1;  ///< K, from 1
  int count = 1;   ///< N

  /// True when set index belongs to this shard.
  bool holds(std::size_t index) const {
    return index % static_cast<std::size_t>(count) ==
           static_cast<std::size_t>(number - 1);
  }
  /// The shard's own file of a sweep's file stem.ext: stem.3-of-4.ext.
  std::string fileName(const std::string& stem, const std::string& ext) const;
  /// The shard's results file: "results.3-of-4.xml".
  std::string resultsFileName() const { return fileName("results", "xml"); }
  /// The shard's focus figures: "focus.3-of-4.csv".
  std::string focusFileName() const { return fileName("focus", "csv"); }
  /// "3/4", as the console and the shard files write it.
  std::string text() const;
};

/// The frame of a series that an index belongs to, for results.xml: its
/// number in the series, from 1, and for numbered files the file's name
/// (empty for the pages of one file).
struct FrameRecord {
  int number = 0;
  std::string file;
};

/// What every shard file of a sweep carries so that the merge can tell the
/// shards of one sweep from others and find the sweep again: the SHA-256 of
/// the experiment file, of all inputs together (the experiment file, the
/// holograms and every other picture the run read, in the order read),
/// and the name under which params holds the experiment file.
struct ShardIdentity {
  std::string experimentDigest;
  std::string inputsDigest;
  std::string experimentFile;
};
