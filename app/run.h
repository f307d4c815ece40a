#pragma once

#include <string>

#include "experiment.h"
#include "listener.h"

// The run of one experiment is Experiment::run (experiment.h); this is
// what the program's entry makes of how it ended.

/// The exit status of a run that ended so: 0 finished, 1 failed, 2
/// refused (a usage error), 128 + the signal when interrupted.
int exitStatus(RunEnd end);
