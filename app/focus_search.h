#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"
#include "focus.h"
#include "run_context.h"
#include "steps.h"

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

/// The focus of a run, frame by frame: when every set of a frame is done,
/// its sharpest set by the experiment's metric (of a shard's own sets, for
/// a shard), z refined around it when asked (the figure only, no
/// pictures; not for a shard, which sees only its own sets), and at the
/// end focus.csv (a shard's focus.K-of-N.csv) of every index.
class FocusReport {
 public:
  explicit FocusReport(const RunContext& context) : context_(context) {}

  /// Arrays of its own to refine with while other threads step, for a
  /// series on several threads.
  void ownFields(StepFields fields);

  /// Every set of frame is done: indices[begin, end) of the run, their
  /// figures at the same positions. A series says its frame's line at once;
  /// a single frame's waits for sayLines.
  void frameDone(
      StepFields& fields, const PreparedFrame& frame,
      const std::vector<std::size_t>& indices,
      const std::vector<std::optional<numerics::FocusFigures>>& figures,
      std::size_t begin, std::size_t end);

  /// Writes focus.csv of indices and their figures, and the refined lines.
  void write(
      const std::vector<std::size_t>& indices,
      const std::vector<std::optional<numerics::FocusFigures>>& figures) const;

  /// Says the lines kept for the end (a run of one frame).
  void sayLines() const;

 private:
  struct Refined {
    std::optional<int> frame;
    ParameterSet set;
    numerics::FocusFigures figures;
  };
  const RunContext& context_;
  std::optional<StepFields> own_;
  std::vector<std::string> lines_;
  std::vector<Refined> refined_;
};
