// Picture files from anywhere, in both loading modes. The first byte picks
// the mode, the window size and its placement; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "fuzz_file.h"
#include "images.h"

using numerics::RealField;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  const std::string path = writeFuzzFile(data + 1, size - 1, ".img");
  std::ostringstream messages;
  RealField samples;
  if (control & 0x80) {
    const int n = 1 + (control & 0x3f);
    const auto clip = static_cast<ClipType>(control % 3);
    if (loadClippedImage(path, samples, n, clip, messages) &&
        samples.size() != n) {
      __builtin_trap();
    }
  } else {
    int n = 0;
    if (loadSquareImage(path, samples, n, messages) && samples.size() != n) {
      __builtin_trap();
    }
  }
  return 0;
}
