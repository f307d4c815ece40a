#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "experiment.h"
#include "field.h"

namespace Vantor {
class IExperimentListener;
}

/// The holograms of one run, and their files exactly as they were read.
struct RunHolograms {
  RealField first;
  RealField second;  ///< interferometry only
  int n = 0;
  std::string firstFile;
  std::string secondFile;
};

/// The work arrays one step fills: two for a reconstruction (intensity,
/// phase), three for interferometry (both intensities, the phase
/// difference).
struct StepFields {
  std::vector<RealField> work;
};

/// Allocates the work arrays of one step for experiment at edge n; empty
/// when memory runs out.
StepFields allocateStepFields(const Experiment& experiment, int n);

/// Reconstructs parameter set index into fields and writes its pictures
/// into directory, reporting through listener. A set whose values the
/// numerics cannot use (a zero distance, say) is reported and loses its
/// pictures, not the rest of the sweep.
void runStep(const Experiment& experiment,
             Vantor::IExperimentListener* listener,
             const RunHolograms& holograms, StepFields& fields,
             std::size_t index, const std::string& directory);

/// Runs the steps of sets (indices into the sweep) with one set of work
/// arrays per thread in fields (its size is the number of threads), and
/// reports them in the order of sets, each step's errors before its step
/// line, whatever order they finish in. One thread means no thread at
/// all: the steps run here, timed by experiment.stepTimer. Returns the sum
/// of the step times reported.
double runSteps(Experiment& experiment, Vantor::IExperimentListener* listener,
                const RunHolograms& holograms, std::vector<StepFields>& fields,
                const std::vector<std::size_t>& sets,
                const std::string& directory);
