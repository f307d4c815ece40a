#pragma once

#include <cstddef>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "experiment.h"

// The pieces of results.xml that the run's writers and the merge share, so
// that a merged results.xml is built exactly as a single run builds it.

/// Appends the Results element with hologramsCount, fullRTime and
/// averageTime.
pugi::xml_node appendResults(pugi::xml_document& document, std::size_t count,
                             double fullTime, double averageTime);

/// Appends the Parameters element of index: the set's four values, and for
/// a series its frame.
void appendSet(pugi::xml_node& results, std::size_t index,
               const ParameterSet& set, const FrameRecord* frame = nullptr);

/// Appends every index that selected (index) holds, in order: set i mod P of
/// frame i / P.
template <typename Selected>
void appendSets(pugi::xml_node& results, const Experiment& experiment,
                const std::vector<FrameRecord>& frames, Selected selected) {
  const std::size_t sets = experiment.parameterSets.size();
  const std::size_t count = sets * (frames.empty() ? 1 : frames.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (!selected(i)) continue;
    appendSet(results, i, experiment.parameterSets[i % sets],
              frames.empty() ? nullptr : &frames[i / sets]);
  }
}

/// Writes the document whole, or says why not.
std::string saveDocument(const pugi::xml_document& document,
                         const std::string& path);
