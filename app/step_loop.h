#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "focus.h"
#include "run_context.h"
#include "steps.h"

/// What the sweep's steps gave: the sum of the step times reported, the
/// focus figures of each index in order (none for a set without them), how
/// many indices ran before an interruption stopped the sweep, and whether
/// every index that ran was written whole.
struct SweepOutcome {
  double stepTimeSum = 0.0;
  std::vector<std::optional<numerics::FocusFigures>> figures;
  std::size_t setsDone = 0;
  bool allWritten = true;
};

/// Told, on the reporting thread, when every index of a frame has been
/// reported: the frame (still held), the figures so far, and the
/// positions [begin, end) of its indices among them.
using FrameDone = std::function<void(
    const PreparedFrame& frame,
    const std::vector<std::optional<numerics::FocusFigures>>& figures,
    std::size_t begin, std::size_t end)>;

/// Runs the steps of indices (of the sweep, in order) with one set of work
/// arrays per thread in fields (its size is the number of threads), and
/// reports them in order, each step's errors and notes before its step
/// line, whatever order they finish in. Frames are prepared as the sets
/// need them: first, the frame prepared already, then the others, on a
/// thread of their own ahead of the sets when several threads run, at most
/// one more than the threads in memory. One thread means no thread at all:
/// everything runs here. An interruption (interrupt.h) lets the sets in
/// hand finish and starts no other.
SweepOutcome runSteps(RunContext& context, std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& indices,
                      PreparedFrame first, const FrameDone& frameDone);
