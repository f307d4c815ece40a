#include "numerics/reconstruction.h"

#include <limits>

std::size_t reconstructionScratchBytes(int n, bool convolution, bool dhi) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const std::size_t complexField = ComplexField::bytesFor(n);
  const std::size_t realField = RealField::bytesFor(n);
  // Fresnel: a working field and the filtered hologram; Convolution adds
  // the kernel field; interferometry keeps the first phase besides.
  std::size_t fields[] = {complexField, realField,
                          convolution ? complexField : 0, dhi ? realField : 0};
  std::size_t total = 0;
  for (const std::size_t bytes : fields) {
    total = bytes > kMax - total ? kMax : total + bytes;
  }
  return total;
}
