#include "memory.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include "sizes.h"

int stepsThatFit(std::size_t fixed, std::size_t perStep, int wanted) {
  const std::optional<std::size_t> available = availableMemoryBytes();
  if (!available) return wanted;
  if (fixed >= *available) return 0;
  if (perStep == 0) return wanted;
  const std::size_t fit = (*available - fixed) / perStep;
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
    return numerics::saturatingProduct(static_cast<std::size_t>(kibibytes),
                                       1024);
  }
  return std::nullopt;
}
