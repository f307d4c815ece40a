#pragma once

#include <cstddef>
#include <vector>

#include "experiment.h"
#include "steps.h"

namespace Vantor {
class IExperimentListener;
}

// What a run does once, before its first step: the holograms read, checked
// and prepared (the sideband filter found and applied), and the warning
// for sets closer than their method samples correctly.

/// Loads the hologram(s) and prepares them for every set, or reports why
/// the run cannot go on and returns false. A step never sees a hologram
/// that is missing or of another size.
bool prepareHolograms(const Experiment& experiment,
                      Vantor::IExperimentListener* listener,
                      RunHolograms& holograms);

/// Warns, once for the run, when Fresnel or Convolution is asked for sets
/// whose |z| lies below the distance from which the method samples its
/// chirp correctly, n pitch^2 / wavelength: how many, the first of them
/// with its z and that distance, and the method that suits them.
void warnOfUndersampling(const Experiment& experiment,
                         Vantor::IExperimentListener* listener,
                         const std::vector<std::size_t>& sets, int n);
