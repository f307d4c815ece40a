#include "memory.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "reconstruction.h"

namespace {

constexpr std::size_t kSaturated = std::numeric_limits<std::size_t>::max();

std::size_t saturatingAdd(std::size_t a, std::size_t b) {
  return a > kSaturated - b ? kSaturated : a + b;
}

std::size_t saturatingTimes(std::size_t a, std::size_t factor) {
  return factor != 0 && a > kSaturated / factor ? kSaturated : a * factor;
}

}  // namespace

std::size_t hologramMemoryBytes(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  return saturatingTimes(RealField::bytesFor(n), dhi ? 2 : 1);
}

std::size_t stepMemoryBytes(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  const bool convolution =
      experiment.method == ReconstructionMethod::Convolution;
  const std::size_t workArrays =
      saturatingTimes(RealField::bytesFor(n), dhi ? 3 : 2);
  return saturatingAdd(workArrays,
                       reconstructionScratchBytes(n, convolution, dhi));
}

std::size_t runMemoryBytes(const Experiment& experiment, int n) {
  return saturatingAdd(hologramMemoryBytes(experiment, n),
                       stepMemoryBytes(experiment, n));
}

int stepsThatFit(const Experiment& experiment, int n, int wanted) {
  const std::optional<std::size_t> available = availableMemoryBytes();
  if (!available) return wanted;
  const std::size_t holograms = hologramMemoryBytes(experiment, n);
  const std::size_t step = stepMemoryBytes(experiment, n);
  if (holograms >= *available) return 0;
  if (step == 0) return wanted;
  const std::size_t fit = (*available - holograms) / step;
  return fit < static_cast<std::size_t>(wanted) ? static_cast<int>(fit)
                                                : wanted;
}

std::optional<std::size_t> availableMemoryBytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  const std::string key = "MemAvailable:";
  while (std::getline(meminfo, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    // "MemAvailable:   23012345 kB"
    const unsigned long long kibibytes =
        std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return saturatingTimes(static_cast<std::size_t>(kibibytes), 1024);
  }
  return std::nullopt;
}

bool runFitsInMemory(const Experiment& experiment, int n) {
  const std::optional<std::size_t> available = availableMemoryBytes();
  return !available || runMemoryBytes(experiment, n) <= *available;
}
