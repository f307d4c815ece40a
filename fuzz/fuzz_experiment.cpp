// Experiment files from anywhere: load must accept or refuse them, never
// crash, hang or leak.
#include <cstddef>
#include <cstdint>

#include "experiment.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string path = writeFuzzFile(data, size, ".xml");
  Experiment experiment;
  if (experiment.load(path)) {
    // A loaded experiment must give a sweep the run can walk.
    if (experiment.parameterSets.empty() ||
        experiment.parameterSets.size() > kMaxParameterSets) {
      __builtin_trap();
    }
    experiment.saveResults("/dev/null", 1.0, 0.5);
  } else if (experiment.loadError.empty()) {
    __builtin_trap();  // every refusal carries its reason
  }
  return 0;
}
