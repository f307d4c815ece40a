#pragma once

#include <cstddef>
#include <string>
#include <vector>

// results.xml of a whole sweep, the shard files of a sweep split over a
// cluster, and the merge of the shard files into the one results.xml.

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
  /// The shard's results file: "results.3-of-4.xml".
  std::string resultsFileName() const;
};

/// What a merge found: the shard files and sets it joined.
struct MergeSummary {
  int shards = 0;
  std::size_t sets = 0;
};

/// Joins the shard files results.K-of-N.xml in directory into
/// directory/results.xml, every set in index order; fullRTime is the sum
/// of the shards' times, averageTime the mean over all sets. Returns the
/// problems, each naming its file (a missing shard, one from another
/// experiment, an unreadable one); nothing is written unless there are
/// none. The shards' focus.K-of-N.csv, when there are any, are joined into
/// focus.csv the same way.
std::vector<std::string> mergeShardResults(const std::string& directory,
                                           MergeSummary& summary);
