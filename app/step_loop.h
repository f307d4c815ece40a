#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "focus.h"
#include "run_context.h"
#include "steps.h"

/// What the sweep's steps gave: the sum of the step times reported, the
/// focus figures of each set in order (none for a set without them), how
/// many sets ran before an interruption stopped the sweep, and whether
/// every set that ran was written whole.
struct SweepOutcome {
  double stepTimeSum = 0.0;
  std::vector<std::optional<numerics::FocusFigures>> figures;
  std::size_t setsDone = 0;
  bool allWritten = true;
};

/// Runs the steps of sets (indices into the sweep) with one set of work
/// arrays per thread in fields (its size is the number of threads), and
/// reports them in the order of sets, each step's errors before its step
/// line, whatever order they finish in. One thread means no thread at
/// all: the steps run here. An interruption (interrupt.h) lets the sets in
/// hand finish and starts no other.
SweepOutcome runSteps(const RunContext& context,
                      std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& sets);
