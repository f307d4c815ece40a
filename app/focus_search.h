#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"
#include "focus.h"

// Finding focus over a sweep: the figures of every set, the sharpest set by
// the experiment's metric, and z refined around it.

/// The focus region in field coordinates for an n x n picture: the
/// experiment's region (picture pixels, origin top left, the PNG's top line
/// being field row n - 1) or the whole field.
/// Example: n 100, region x 10, y 20, width 30, height 5 covers picture
/// lines 20 to 24, which are field rows 79 down to 75: rows 75 to 79.
numerics::FocusRegion fieldRegion(const FocusOptions& focus, int n);

/// The figures of the intensity over the experiment's region.
numerics::FocusFigures measureFocus(const FocusOptions& focus,
                                    const double* const* intensity, int n);

/// The value of the experiment's metric in figures.
double metricValue(FocusMetric metric, const numerics::FocusFigures& figures);

/// The position in sets of the sharpest one by metric (largest, or
/// smallest for IntegratedAmplitude), skipping sets without finite
/// figures; nothing when no set has them.
std::optional<std::size_t> sharpestSet(
    FocusMetric metric,
    const std::vector<std::optional<numerics::FocusFigures>>& figures);

/// The z values around z in the sweep: the nearest below and above it, when
/// there are both.
struct ZBracket {
  double below = 0.0;
  double above = 0.0;
};

/// Why z cannot be refined around the sweep's value z (no z range, or z
/// the first or last of it), or the bracket of its neighbours.
std::optional<ZBracket> refinementBracket(const Experiment& experiment,
                                          double z, std::string& why);

/// focus.csv: a header, then one line per set (index, the four parameters
/// at full precision, the four figures; empty fields for a set without
/// figures), and a last line "refined" when refined holds a set.
std::string focusCsv(
    const Experiment& experiment, const std::vector<std::size_t>& sets,
    const std::vector<std::optional<numerics::FocusFigures>>& figures,
    const std::optional<std::pair<ParameterSet, numerics::FocusFigures>>&
        refined);
