#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"
#include "field.h"
#include "focus.h"
#include "steps.h"

namespace Vantor {
class IExperimentListener;
}

/// Reconstructs parameter set index into fields and writes its pictures
/// into directory, reporting through listener. A set whose values the
/// numerics cannot use (a zero distance, say) is reported and loses its
/// pictures, not the rest of the sweep. Returns the set's focus figures
/// (of the first hologram) when the experiment asks for them and the set
/// was reconstructed.
std::optional<numerics::FocusFigures> runStep(
    const Experiment& experiment, Vantor::IExperimentListener* listener,
    const RunHolograms& holograms, StepFields& fields, std::size_t index,
    const std::string& directory);

/// The focus figures of the first hologram reconstructed with set, into
/// fields, writing nothing: what the refinement of z evaluates.
numerics::FocusFigures focusAt(const Experiment& experiment,
                               const RunHolograms& holograms,
                               StepFields& fields, const ParameterSet& set);

/// What the sweep's steps gave: the sum of the step times reported, and the
/// focus figures of each set in order (none for a set without them).
struct SweepOutcome {
  double stepTimeSum = 0.0;
  std::vector<std::optional<numerics::FocusFigures>> figures;
};

/// Runs the steps of sets (indices into the sweep) with one set of work
/// arrays per thread in fields (its size is the number of threads), and
/// reports them in the order of sets, each step's errors before its step
/// line, whatever order they finish in. One thread means no thread at
/// all: the steps run here, timed by experiment.stepTimer.
SweepOutcome runSteps(Experiment& experiment,
                      Vantor::IExperimentListener* listener,
                      const RunHolograms& holograms,
                      std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& sets,
                      const std::string& directory);
