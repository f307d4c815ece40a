#pragma once

#include <cstddef>
#include <optional>

/// Memory the system reports as available to a new allocation, in bytes;
/// empty when the system does not say.
std::optional<std::size_t> availableMemoryBytes();

/// How many steps, at most wanted, each needing perStep bytes, fit into the
/// available memory beside fixed bytes; wanted when the system does not
/// say. Linux overcommits, so a large allocation can succeed and the
/// process still be killed when its pages are touched: asking first is the
/// only clean refusal.
int stepsThatFit(std::size_t fixed, std::size_t perStep, int wanted);
