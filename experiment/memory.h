#pragma once

#include <cstddef>
#include <optional>

#include "experiment.h"

/// Bytes the holograms of experiment at edge n take.
std::size_t hologramMemoryBytes(const Experiment& experiment, int n);

/// Bytes one step in flight needs besides the holograms: its work arrays
/// and what its reconstruction allocates for itself. Saturates.
std::size_t stepMemoryBytes(const Experiment& experiment, int n);

/// Bytes a run of experiment at edge n needs at its peak with one step in
/// flight: the holograms and that step. Saturates at the largest size_t.
std::size_t runMemoryBytes(const Experiment& experiment, int n);

/// How many steps, at most wanted, fit side by side into the memory the
/// system says is available beside the holograms; wanted when it does not
/// say.
int stepsThatFit(const Experiment& experiment, int n, int wanted);

/// Memory the system reports as available to a new allocation, in bytes;
/// empty when the system does not say.
std::optional<std::size_t> availableMemoryBytes();

/// True unless the system says that runMemoryBytes(experiment, n) does not
/// fit into the available memory. Linux overcommits, so a large allocation
/// can succeed and the process still be killed when its pages are touched;
/// asking first is the only clean refusal.
bool runFitsInMemory(const Experiment& experiment, int n);
