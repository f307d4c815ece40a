#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "experiment.h"
#include "focus.h"

// focus.csv, the record of the focus figures of every set, and the choice
// of the sharpest set: written by a run, checked and joined by the merge of
// a sweep's shards.

/// The first line of focus.csv: index, a frame column for a series, the
/// four parameters, the four figures.
std::string focusCsvHeader(bool series);

/// The value of metric in figures.
double metricValue(FocusMetric metric, const numerics::FocusFigures& figures);

/// The position in figures of the sharpest set by metric (largest, or
/// smallest for IntegratedAmplitude), skipping sets without finite figures;
/// nothing when no set has them.
std::optional<std::size_t> sharpestSet(
    FocusMetric metric,
    const std::vector<std::optional<numerics::FocusFigures>>& figures);

/// "Sharpest: set 12 (z = 0.155) by NormalizedVariance", the line that names
/// the sharpest set (where is "" or " in shard 2/4", say, after
/// "Sharpest").
std::string sharpestLine(const std::string& where, std::size_t index,
                         const ParameterSet& set, FocusMetric metric);

/// The line a sweep without any finite figure gets instead: "Sharpest: none:
/// no set has a finite NormalizedVariance (an empty hologram?)".
std::string noSharpestLine(const std::string& where, FocusMetric metric);

/// One line of focus.csv, without its line end: index (or "refined"), the
/// frame's number for a series, the four parameters at full precision, the
/// four figures, empty fields for a set without figures or for figures
/// that are not finite.
std::string focusCsvLine(const std::string& index, std::optional<int> frame,
                         const ParameterSet& set,
                         const std::optional<numerics::FocusFigures>& figures);

/// The figures of a line that focusCsvLine wrote for index, frame and set; the
/// reason, naming what is wrong, when the line is not that. Figures that
/// are all empty give nothing.
struct FocusCsvEntry {
  std::optional<numerics::FocusFigures> figures;
  std::string problem;
};
FocusCsvEntry readFocusCsvLine(const std::string& line,
                               const std::string& index,
                               std::optional<int> frame,
                               const ParameterSet& set);
