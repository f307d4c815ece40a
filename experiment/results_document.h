#pragma once

#include <cstddef>
#include <pugixml.hpp>
#include <string>

#include "experiment.h"

// The pieces of results.xml that the run's writers and the merge share, so
// that a merged results.xml is built exactly as a single run builds it.

/// Appends the Results element with hologramsCount, fullRTime and
/// averageTime.
pugi::xml_node appendResults(pugi::xml_document& document, std::size_t count,
                             double fullTime, double averageTime);

/// Appends the Parameters element of set index.
void appendSet(pugi::xml_node& results, std::size_t index,
               const ParameterSet& set);

/// Writes the document whole, or says why not.
std::string saveDocument(const pugi::xml_document& document,
                         const std::string& path);
