#pragma once

#include <cstddef>
#include <optional>

#include "experiment.h"

/// Bytes a run of experiment at edge n needs at its peak: the holograms,
/// the work arrays and what one reconstruction allocates for itself.
/// Saturates at the largest size_t.
std::size_t runMemoryBytes(const Experiment& experiment, int n);

/// Memory the system reports as available to a new allocation, in bytes;
/// empty when the system does not say.
std::optional<std::size_t> availableMemoryBytes();

/// True unless the system says that runMemoryBytes(experiment, n) does not
/// fit into the available memory. Linux overcommits, so a large allocation
/// can succeed and the process still be killed when its pages are touched;
/// asking first is the only clean refusal.
bool runFitsInMemory(const Experiment& experiment, int n);
