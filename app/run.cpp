#include "run.h"

#include <sched.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "experiment_listener.h"
#include "failure.h"
#include "focus_search.h"
#include "inputs.h"
#include "interrupt.h"
#include "memory.h"
#include "run_context.h"
#include "run_directory.h"
#include "sha256.h"
#include "step_loop.h"
#include "timer.h"

namespace fs = std::filesystem;

namespace {

std::tm localStartTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

/// The cores this process may run on.
int availableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return std::max(1, CPU_COUNT(&set));
  }
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

/// One set of work arrays per thread: as many threads as asked (every core
/// for 0), no more than there are sets, and no more than fit into memory,
/// which is said on the console. Empty, reported, when not even one fits.
std::vector<StepFields> allocateThreads(const RunContext& context,
                                        std::size_t sets) {
  const Experiment& experiment = context.experiment;
  const int n = context.holograms.n;
  const int requested = context.options.threads;
  int wanted = requested > 0 ? requested : availableCores();
  if (static_cast<std::size_t>(wanted) > sets) {
    wanted = static_cast<int>(std::max<std::size_t>(sets, 1));
  }
  const int fit = std::max(1, stepsThatFit(hologramBytes(experiment, n),
                                           stepBytes(experiment, n), wanted));
  std::vector<StepFields> fields;
  for (int i = 0; i < fit; ++i) {
    StepFields own = allocateStepFields(experiment, n);
    if (own.work.empty()) break;
    fields.push_back(std::move(own));
  }
  if (fields.empty()) {
    context.listener.onError("Not enough memory for the work arrays");
  } else if (static_cast<int>(fields.size()) < wanted) {
    context.listener.onNote("Using " + std::to_string(fields.size()) +
                            (fields.size() == 1 ? " thread" : " threads") +
                            " instead of " + std::to_string(wanted) +
                            ": more sets at once would not fit into memory");
  }
  return fields;
}

/// The indices of the sets this run reconstructs: all, or the shard's.
std::vector<std::size_t> setsToRun(const Experiment& experiment,
                                   const RunOptions& options) {
  std::vector<std::size_t> sets;
  for (std::size_t i = 0; i < experiment.parameterSets.size(); ++i) {
    if (!options.shard || options.shard->holds(i)) sets.push_back(i);
  }
  return sets;
}

/// The inputs of the run as it read them, in the order they are archived.
std::vector<RunInput> runInputs(const RunContext& context) {
  const Experiment& experiment = context.experiment;
  std::vector<RunInput> inputs = {
      {"hologram", experiment.hologramPath, &context.holograms.firstFile}};
  if (experiment.type == ExperimentType::DHI) {
    inputs.push_back(
        {"hologram", experiment.hologramPath2, &context.holograms.secondFile});
  }
  inputs.push_back(
      {"experiment", context.experimentPath, &experiment.fileBytes});
  return inputs;
}

/// Writes results.xml, or a shard's results file. A shard writes it only
/// when every one of its sets was written: the file says so, and a shard
/// without it runs again.
void saveRecords(const RunContext& context, const std::vector<RunInput>& inputs,
                 double fullTime, double average, bool complete) {
  const Experiment& experiment = context.experiment;
  const std::optional<Shard>& shard = context.options.shard;
  const std::string results =
      shard ? shard->resultsFileName() : std::string("results.xml");
  if (shard && !complete) {
    context.listener.onError(
        "Shard " + shard->text() + " is not complete, so " + results +
        " is not written: run the shard again once the failures above are "
        "mended");
    return;
  }
  const std::string path = context.directory + "/" + results;
  std::string problem;
  if (shard) {
    const std::vector<std::string> names = archiveNames(inputs);
    const ShardIdentity identity{sha256Hex(experiment.fileBytes),
                                 inputsDigest(inputs), names.back()};
    problem =
        experiment.saveShardResults(path, fullTime, average, *shard, identity);
  } else {
    problem = experiment.saveResults(path, fullTime, average);
  }
  if (!problem.empty()) {
    context.listener.onError("Can't write " + results + ": " + problem);
  }
}

/// The run from the holograms to results.xml: load and prepare them,
/// claim the run directory and archive the inputs, step through the sets,
/// find focus, write the records and finish.
void sweep(RunContext& context, ErrorCountingListener& counting) {
  Vantor::Timer totalTimer;
  totalTimer.start();
  if (!prepareHolograms(context)) return;
  const std::vector<RunInput> inputs = runInputs(context);
  // Archived before the first step, from the very bytes the run decoded:
  // replacing an input during the run cannot falsify the record. The
  // archive is not run time.
  totalTimer.stop();
  const Claim claim =
      claimRunDirectory(context.directory, inputs, context.options);
  if (!claim.refusal.empty()) {
    context.listener.onError(claim.refusal);
    return;
  }
  if (!claim.archiveProblem.empty()) {
    context.listener.onError(claim.archiveProblem);
  }
  totalTimer.start();

  const Experiment& experiment = context.experiment;
  const std::vector<std::size_t> sets = setsToRun(experiment, context.options);
  warnOfSampling(context, sets);
  std::vector<StepFields> fields = allocateThreads(context, sets.size());
  if (fields.empty()) return;
  const SweepOutcome outcome = runSteps(context, fields, sets);
  if (outcome.setsDone < sets.size()) return;  // interrupted
  const double average = outcome.stepTimeSum / static_cast<double>(sets.size());
  std::string sharpest;
  if (experiment.focus.enabled) {
    sharpest = reportFocus(context, fields[0], sets, outcome.figures);
  }
  fields.clear();
  context.holograms = RunHolograms();
  totalTimer.stop();
  saveRecords(context, inputs, totalTimer.elapsed(), average,
              outcome.allWritten && counting.errors() == 0);
  if (!sharpest.empty()) context.listener.onNote(sharpest);
  context.listener.onFinish();
}

/// The run directory: the one asked for (made if missing), or a new one
/// named after the start time; empty, reported, when it cannot be made.
std::optional<std::string> makeRunDirectory(
    Vantor::IExperimentListener& listener, const RunOptions& options,
    const std::tm& startTime) {
  if (!options.outputDirectory.empty()) {
    std::error_code error;
    fs::create_directories(options.outputDirectory, error);
    if (!fs::is_directory(options.outputDirectory, error)) {
      listener.onError("Can't create the run directory " +
                       options.outputDirectory);
      return std::nullopt;
    }
    return options.outputDirectory;
  }
  const std::string wanted = runDirectoryName(startTime);
  std::optional<std::string> directory = createRunDirectory(wanted);
  if (!directory) listener.onError("Can't create the run directory " + wanted);
  return directory;
}

/// Why the options do not fit the experiment, as a usage error: more
/// shards than sets would leave shards without work, and a merge that
/// believes such a count would allocate by it.
std::string optionsProblem(const Experiment& experiment,
                           const RunOptions& options) {
  const std::size_t sets = experiment.parameterSets.size();
  if (options.shard && static_cast<std::size_t>(options.shard->count) > sets) {
    return "--shard " + options.shard->text() + ": the sweep has " +
           std::to_string(sets) + (sets == 1 ? " set" : " sets") +
           ", so it splits into at most " + std::to_string(sets) +
           (sets == 1 ? " shard" : " shards");
  }
  return {};
}

/// How the run ended, from what it reported.
RunEnd endOf(const ErrorCountingListener& counting) {
  if (interruptSignal() != 0) return RunEnd::interrupted;
  return counting.errors() == 0 ? RunEnd::finished : RunEnd::failed;
}

}  // namespace

int exitStatus(RunEnd end) {
  switch (end) {
    case RunEnd::finished:
      return 0;
    case RunEnd::failed:
      break;
    case RunEnd::refused:
      return 2;
    case RunEnd::interrupted:
      return 128 + interruptSignal();
  }
  return 1;
}

RunEnd Experiment::run(const std::string& path,
                       Vantor::IExperimentListener* listener,
                       const RunOptions& options) {
  Vantor::SilentListener silent;
  ErrorCountingListener counting(listener != nullptr ? *listener : silent);
  const std::tm startTime = localStartTime();
  if (!load(path)) {
    counting.onError("Can't load a experiment");
    counting.onErrorReason(loadError);
    return RunEnd::failed;
  }
  for (const std::string& warning : loadWarnings) counting.onWarning(warning);
  const std::string usage = optionsProblem(*this, options);
  if (!usage.empty()) {
    counting.onError(usage);
    return RunEnd::refused;
  }
  const std::optional<std::string> directory =
      makeRunDirectory(counting, options, startTime);
  if (!directory) return RunEnd::failed;
  if (!options.outputDirectory.empty()) {
    const std::string problem = outputDirectoryProblem(*directory, options);
    if (!problem.empty()) {
      counting.onError("Can't run in " + *directory + ": " + problem);
      return RunEnd::failed;
    }
  }
  counting.onStart(path, &startTime, type, method);
  counting.onRunDirectory(*directory);

  RunContext context{*this, counting, options, path, *directory, {}};
  // The one place where what the libraries throw in the run (memory, above
  // all) is caught and reported; a set's own failures are caught in its
  // step, and the sweep goes on.
  try {
    sweep(context, counting);
  } catch (...) {
    counting.onError(numerics::describeCurrentFailure());
  }
  if (interruptSignal() != 0) {
    const std::string records =
        options.shard ? options.shard->resultsFileName() : "results.xml";
    counting.onError(std::string("Interrupted by ") +
                     (interruptSignal() == SIGINT ? "SIGINT" : "SIGTERM") +
                     ": the files of the sets done are whole, " + records +
                     " is not written (run again to complete)");
  }
  return endOf(counting);
}
