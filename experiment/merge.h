#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The merge of a sweep's shard files into the one results.xml (and focus
// figures into the one focus.csv), trusting nothing the files say: the
// sweep is computed again from the archived experiment file, and every set
// of every shard must be there with exactly the values the sweep gives.

/// What a merge joined, and the console line naming the sharpest set when
/// the experiment asks for focus.
struct MergeSummary {
  int shards = 0;
  std::size_t sets = 0;
  std::string sharpest;
};

/// Joins the shard files results.K-of-N.xml in directory into
/// directory/results.xml, every set in index order; fullRTime is the sum
/// of the shards' times, averageTime the mean over all sets. The shards'
/// focus.K-of-N.csv are joined into focus.csv the same way. Returns the
/// problems, each naming its file (and the set where one is wrong); nothing
/// is written unless there are none.
std::vector<std::string> mergeShardResults(const std::string& directory,
                                           MergeSummary& summary);
