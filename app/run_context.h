#pragma once

#include <string>

#include "experiment.h"
#include "listener.h"
#include "prepare.h"

/// The holograms of one run, prepared once for every set (the zero order
/// suppressed, and the sideband filter applied when the experiment has
/// one), and their files exactly as they were read.
struct RunHolograms {
  numerics::PreparedHologram first;
  numerics::PreparedHologram second;  ///< interferometry only
  int n = 0;
  std::string firstFile;
  std::string secondFile;
};

/// What one run shares from its first step to its last, handed from the
/// sweep down to the writers: the experiment, where reports go, how the
/// run was asked to go about it, the run directory and the prepared
/// holograms.
struct RunContext {
  const Experiment& experiment;
  Vantor::IExperimentListener& listener;
  const RunOptions& options;
  std::string experimentPath;
  std::string directory;
  RunHolograms holograms;
};
