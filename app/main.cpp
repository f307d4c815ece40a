#include <malloc.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "experiment.h"
#include "experiment_listener.h"
#include "interrupt.h"
#include "merge.h"
#include "run.h"
#include "timer.h"

namespace {

constexpr int kUsageError = 2;

/// holorecon --merge DIR: the shard files joined, or what is wrong with
/// them, one line each.
int merge(const std::string& directory) {
  MergeSummary summary;
  const std::vector<std::string> problems =
      mergeShardResults(directory, summary);
  for (const std::string& problem : problems) {
    std::cerr << "Error: " << problem << std::endl;
  }
  if (!problems.empty()) return 1;
  std::cout << "Merged " << summary.shards << " shard files (" << summary.sets
            << " sets) into " << directory << "/results.xml" << std::endl;
  if (!summary.sharpest.empty()) std::cout << summary.sharpest << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A console that goes away (holorecon e.xml | head -2) must not kill the
  // run: its writes then fail quietly and the computation carries on. A
  // file-size limit makes writes fail with a reason instead of killing the
  // process, so a cut-off results.xml is reported and removed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // The fields of a frame (megabytes each) are allocated and freed for
  // every frame of a series. Served by mmap, each free is an munmap that
  // stops the other threads' processors to flush their address caches,
  // which made two threads slower than one; kept in the heap, the memory
  // is reused. The run never holds more at once than it does either way.
  mallopt(M_MMAP_THRESHOLD, 512 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
  Vantor::initializeClock();
  CommandLine line;
  const std::string problem = parseCommandLine(
      std::vector<std::string_view>(argv + (argc > 0 ? 1 : 0), argv + argc),
      line);
  if (!problem.empty()) {
    std::cerr << "holorecon: " << problem << " (see holorecon --help)"
              << std::endl;
    return kUsageError;
  }
  switch (line.action) {
    case CommandLine::Action::Help:
      std::cout << kUsage;
      return 0;
    case CommandLine::Action::Version:
      std::cout << "holorecon " HOLORECON_VERSION << std::endl;
      return 0;
    case CommandLine::Action::Merge:
      return merge(line.mergeDirectory);
    case CommandLine::Action::Run:
      break;
  }
  catchInterrupts();
  ExperimentListener console;
  Experiment experiment;
  // A run that reported anything must not look like a success to a script.
  return exitStatus(
      experiment.run(line.experimentPath, &console, line.options));
}
