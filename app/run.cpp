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
#include "measurement.h"
#include "memory.h"
#include "run_context.h"
#include "run_directory.h"
#include "sha256.h"
#include "sizes.h"
#include "sources.h"
#include "spectra.h"
#include "stacks.h"
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

/// Whether the focus of each frame is refined while workers step on: a
/// series, refined, on several threads.
bool refinesAside(const RunContext& context, std::size_t threads) {
  return context.experiment.focus.refine && context.frames() > 1 &&
         threads > 1 && !context.options.shard;
}

/// One set of work arrays per thread: as many threads as asked (every core
/// for 0), no more than there are sets, and no more than fit into memory,
/// which is said on the console. Empty, reported, when not even one fits.
std::vector<StepFields> allocateThreads(const RunContext& context,
                                        std::size_t sets) {
  const Experiment& experiment = context.experiment;
  // Frames are read on the camera's grid, reconstructed on the run's.
  const int n = context.inputs.n;
  const int edge = context.inputs.gridEdge();
  const int requested = context.options.threads;
  int wanted = requested > 0 ? requested : availableCores();
  if (static_cast<std::size_t>(wanted) > sets) {
    wanted = static_cast<int>(std::max<std::size_t>(sets, 1));
  }
  // Each thread in flight holds a frame, and one more is read ahead; in a
  // series each thread may be preparing a frame too.
  const std::size_t perThread = numerics::saturatingSum(
      {stepBytes(experiment, edge), frameBytes(experiment, n),
       context.frames() > 1 ? preparingBytes(experiment, n) : 0});
  const int fit = std::max(
      1, stepsThatFit(hologramBytes(experiment, n), perThread, wanted));
  std::vector<StepFields> fields;
  for (int i = 0; i < fit; ++i) {
    StepFields own = allocateStepFields(experiment, edge);
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
  // A series refining each frame on several threads needs the arrays of
  // one more step for it, beside the workers'.
  if (refinesAside(context, fields.size())) {
    StepFields aside = allocateStepFields(experiment, edge);
    if (aside.work.empty()) {
      context.listener.onError("Not enough memory for the work arrays");
      return {};
    }
    fields.push_back(std::move(aside));
  }
  return fields;
}

/// The indices of the sweep this run reconstructs: all, or the shard's.
std::vector<std::size_t> indicesToRun(const RunContext& context) {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < context.indices(); ++i) {
    if (!context.options.shard || context.options.shard->holds(i)) {
      indices.push_back(i);
    }
  }
  return indices;
}

/// The parameter sets among indices, each once.
std::vector<std::size_t> setsAmong(const RunContext& context,
                                   const std::vector<std::size_t>& indices) {
  std::vector<std::size_t> sets;
  for (const std::size_t index : indices) {
    const std::size_t set = index % context.setsPerFrame();
    if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
      sets.push_back(set);
    }
  }
  return sets;
}

/// The inputs of the run as it read them, in the order they are archived:
/// for a series the list of its frames first, the pictures read whole,
/// the experiment file last.
std::vector<RunInput> runInputs(const RunContext& context,
                                const std::string& frames) {
  std::vector<RunInput> inputs;
  if (!frames.empty()) inputs.push_back({"frames", "frames.csv", &frames});
  for (const char* role : {"hologram", "hologram2", "background", "dark"}) {
    for (const RunInputs::Read& read : context.inputs.read) {
      if (read.role == role) inputs.push_back({role, read.path, &read.bytes});
    }
  }
  inputs.push_back(
      {"experiment", context.experimentPath, &context.experiment.fileBytes});
  return inputs;
}

/// The frames of a series for results.xml; none without one.
std::vector<FrameRecord> frameRecords(const RunContext& context) {
  std::vector<FrameRecord> records;
  const PictureSource& source = context.inputs.hologram;
  if (!source.isSeries()) return records;
  const bool files = source.path().find('*') != std::string::npos;
  for (const ListedFrame& frame : source.listed()) {
    records.push_back(
        {frame.number, files ? extractFileName(frame.file) : std::string()});
  }
  return records;
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
  const std::vector<FrameRecord> frames = frameRecords(context);
  std::string problem;
  if (shard) {
    const std::vector<std::string> names = archiveNames(inputs);
    const ShardIdentity identity{sha256Hex(experiment.fileBytes),
                                 inputsDigest(inputs), names.back()};
    problem = experiment.saveShardResults(path, fullTime, average, *shard,
                                          identity, frames);
  } else {
    problem = experiment.saveResults(path, fullTime, average, frames);
  }
  if (!problem.empty()) {
    context.listener.onError("Can't write " + results + ": " + problem);
  }
}

/// Why the options do not fit the experiment, as a usage error: more
/// shards than sets would leave shards without work, and a merge that
/// believes such a count would allocate by it; the merge cannot join
/// stacks.
std::string optionsProblem(const Experiment& experiment,
                           const RunOptions& options, std::size_t sets) {
  if (options.shard && experiment.data.stack) {
    return "--shard " + options.shard->text() +
           ": <Data stack=\"true\"> writes one file per quantity for the "
           "whole run, which shards cannot share";
  }
  if (options.shard && static_cast<std::size_t>(options.shard->count) > sets) {
    return "--shard " + options.shard->text() + ": the sweep has " +
           std::to_string(sets) + (sets == 1 ? " set" : " sets") +
           ", so it splits into at most " + std::to_string(sets) +
           (sets == 1 ? " shard" : " shards");
  }
  return {};
}

/// Prepares the first frame the indices need on this thread, so that the
/// filter's lines come before the first step: a series goes on to the next
/// frame while one cannot be read. False, reported, when the run cannot go
/// on.
bool prepareFirstFrame(RunContext& context,
                       const std::vector<std::size_t>& indices,
                       PreparedFrame& first) {
  std::string problem =
      prepareFrame(context, context.frameOf(indices[0]), first);
  if (problem.empty() && !first.problem.empty() &&
      !context.inputs.hologram.isSeries()) {
    problem = first.problem;  // the one picture could not be read
  }
  if (!problem.empty()) {
    context.listener.onError(problem);
    return false;
  }
  // The regions are checked against the grid once it is known: cropped,
  // once the filter is found.
  const Experiment& experiment = context.experiment;
  const int n = context.inputs.gridEdge();
  for (const auto& [region, element] :
       {std::pair{experiment.focus.region, "Focus"},
        std::pair{experiment.compensation.region, "Compensation"}}) {
    if (!region) continue;
    problem = regionOutside(*region, n, element);
    if (!problem.empty()) {
      context.listener.onError("Can't load a experiment");
      context.listener.onErrorReason(problem);
      return false;
    }
  }
  return true;
}

/// The run from the holograms to results.xml: open them, prepare the
/// first frame, claim the run directory and archive the inputs, step
/// through the sets, find focus, write the records and finish.
void sweep(RunContext& context, ErrorCountingListener& counting) {
  const Experiment& experiment = context.experiment;
  Vantor::Timer totalTimer;
  totalTimer.start();
  if (!openInputs(context)) return;
  const std::string usage =
      optionsProblem(experiment, context.options, context.indices());
  if (!usage.empty()) {
    counting.onError(usage);
    context.refused = true;
    return;
  }
  const std::vector<std::size_t> indices = indicesToRun(context);
  context.firstIndex = indices.front();
  PreparedFrame first;
  if (!prepareFirstFrame(context, indices, first)) return;
  std::vector<const PictureSource*> sources = {&context.inputs.hologram};
  for (const auto* source :
       {&context.inputs.hologram2, &context.inputs.background,
        &context.inputs.dark}) {
    if (*source) sources.push_back(&**source);
  }
  const std::string frames = framesCsv(sources);
  const std::vector<RunInput> inputs = runInputs(context, frames);
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

  warnOfSampling(context, setsAmong(context, indices));
  context.emptyFields.resize(context.setsPerFrame());
  std::vector<StepFields> fields = allocateThreads(context, indices.size());
  if (fields.empty()) return;
  // The spectra of the sets in flight, and of one set more.
  std::optional<SpectrumCache> spectra;
  if (SpectrumCache::serves(methodOf(experiment.method))) {
    const std::size_t holograms =
        experiment.type == ExperimentType::DHI ? 2 : 1;
    spectra.emplace((fields.size() + 1) * holograms);
    context.spectra = &*spectra;
  }
  std::optional<RunStacks> stacks;
  if (experiment.data.stack) {
    stacks.emplace(context, measurementQuantities(experiment));
    for (const std::string& problem : stacks->open()) {
      context.listener.onError(problem);
    }
    context.stacks = &*stacks;
  }
  FocusReport focus(context);
  // A series refines each frame's z while the workers step on: with arrays
  // of its own.
  if (refinesAside(context, fields.size())) {
    focus.ownFields(std::move(fields.back()));
    fields.pop_back();
  }
  const SweepOutcome outcome = runSteps(
      context, fields, indices, std::move(first),
      [&](const PreparedFrame& frame,
          const std::vector<std::optional<numerics::FocusFigures>>& figures,
          std::size_t begin, std::size_t end) {
        if (!experiment.focus.enabled) return;
        focus.frameDone(fields[0], frame, indices, figures, begin, end);
      });
  if (stacks) {
    for (const std::string& problem : stacks->close()) {
      context.listener.onError(problem);
    }
  }
  if (outcome.setsDone < indices.size()) return;  // interrupted
  const double average =
      outcome.stepTimeSum / static_cast<double>(indices.size());
  if (experiment.focus.enabled) focus.write(indices, outcome.figures);
  fields.clear();
  totalTimer.stop();
  saveRecords(context, inputs, totalTimer.elapsed(), average,
              outcome.allWritten && counting.errors() == 0);
  if (context.frames() == 1) focus.sayLines();
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
  // A series' frames are counted once it is listed; until then every
  // frame counts as a set.
  const std::string usage = optionsProblem(
      *this, options, frames ? kMaxParameterSets : parameterSets.size());
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

  RunContext context(*this, counting, options, path, *directory);
  // The one place where what the libraries throw in the run (memory, above
  // all) is caught and reported; a set's own failures are caught in its
  // step, and the sweep goes on.
  try {
    sweep(context, counting);
  } catch (...) {
    counting.onError(numerics::describeCurrentFailure());
  }
  if (context.refused) return RunEnd::refused;
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
