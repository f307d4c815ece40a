#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"
#include "focus.h"
#include "run_context.h"

struct StepFields;

// Finding focus over a sweep: the figures of every set, the sharpest set by
// the experiment's metric, z refined around it by a search, and the
// record of it all in focus.csv.

/// The focus region in field coordinates for an n x n picture: the
/// experiment's region (picture pixels, origin top left, the PNG's top line
/// being field row n - 1) or the whole field.
/// Example: n 100, region x 10, y 20, width 30, height 5 covers picture
/// lines 20 to 24, which are field rows 79 down to 75: rows 75 to 79.
numerics::FocusRegion fieldRegion(const FocusOptions& focus, int n);

/// The figures of the intensity over the experiment's region.
numerics::FocusFigures measureFocus(const FocusOptions& focus,
                                    const double* const* intensity, int n);

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

/// Finds the sharpest of the sets by the experiment's metric (figures in
/// the order of sets), refines its z when asked (the figure only, no
/// pictures; a shard, which sees only its own sets, does not), writes
/// focus.csv (a shard's focus.K-of-N.csv) and returns the console line
/// that names the sharpest set, or says that no set has figures.
std::string reportFocus(
    const RunContext& context, StepFields& fields,
    const std::vector<std::size_t>& sets,
    const std::vector<std::optional<numerics::FocusFigures>>& figures);
