#pragma once

#include "experiment.h"

/// Reconstructs hologram (n x n) with the set's values by method: its
/// intensity, and phase tangents into phase. The one place that chooses
/// the numerics by method, for the steps and for the focus search.
void reconstructIntensity(ReconstructionMethod method,
                          const double* const* hologram, int n,
                          double* const* intensity, double* const* phase,
                          const ParameterSet& parameters);
