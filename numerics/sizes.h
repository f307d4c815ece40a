#pragma once

#include <cstddef>
#include <initializer_list>
#include <limits>

namespace numerics {

/// The sum of byte counts, saturating at the largest size_t instead of
/// wrapping round: a size that does not fit the address range must fail
/// its allocation, never succeed too small.
inline std::size_t saturatingSum(std::initializer_list<std::size_t> parts) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t total = 0;
  for (const std::size_t part : parts) {
    total = part > kMax - total ? kMax : total + part;
  }
  return total;
}

/// a times factor, saturating like saturatingSum.
inline std::size_t saturatingProduct(std::size_t a, std::size_t factor) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  return factor != 0 && a > kMax / factor ? kMax : a * factor;
}

}  // namespace numerics
