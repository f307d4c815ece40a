#include "run.h"

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "experiment.h"
#include "failure.h"
#include "files.h"
#include "focus_search.h"
#include "listener.h"
#include "memory.h"
#include "preparation.h"
#include "step_loop.h"
#include "sweep.h"

using numerics::describeCurrentFailure;
using numerics::Extreme;
using numerics::FocusFigures;
using numerics::goldenSectionSearch;
using numerics::SearchResult;

namespace fs = std::filesystem;

namespace {

/// More same-second runs than anyone starts; bounds the search for a name.
constexpr int kMaxNameSuffix = 10000;

void report(Vantor::IExperimentListener* listener, const std::string& text) {
  if (listener) listener->onError(text);
}

std::tm localStartTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::string withSuffix(const std::string& stem, int suffix,
                       const std::string& extension) {
  if (suffix < 2) return stem + extension;
  return stem + "_" + std::to_string(suffix) + extension;
}

/// Writes the bytes the run read from source into params, under source's
/// own file name or the first free variant of it; a copy that cannot be
/// written whole is reported, and the run goes on.
void archive(Vantor::IExperimentListener* listener, const std::string& source,
             const std::string& bytes, const fs::path& params) {
  const std::optional<fs::path> target =
      archivePath(params, extractFileName(source), bytes);
  if (!target) return;
  const std::string problem = writeWholeFile(*target, bytes);
  if (!problem.empty()) {
    report(listener,
           "Can't archive " + target->filename().string() + ": " + problem);
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || fs::equivalent(a, b, error);
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
std::vector<StepFields> allocateThreads(const Experiment& experiment,
                                        Vantor::IExperimentListener* listener,
                                        int n, int requested,
                                        std::size_t sets) {
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
    report(listener, "Not enough memory for the work arrays");
  } else if (static_cast<int>(fields.size()) < wanted && listener) {
    listener->onNote("Using " + std::to_string(fields.size()) +
                     (fields.size() == 1 ? " thread" : " threads") +
                     " instead of " + std::to_string(wanted) +
                     ": more sets at once would not fit into memory");
  }
  return fields;
}

/// Why directory cannot take this run, empty when it can: a finished
/// sweep (results.xml), this shard's own finished part, or the archive of
/// another experiment file. A shard that was interrupted finds its
/// pictures but not its results file, and runs again over them.
std::string outputDirectoryProblem(const Experiment& experiment,
                                   const std::string& path,
                                   const RunOptions& options) {
  const fs::path directory = options.outputDirectory;
  std::error_code error;
  if (fs::exists(directory / "results.xml", error)) {
    return "it holds a finished run (results.xml)";
  }
  if (options.shard &&
      fs::exists(directory / options.shard->resultsFileName(), error)) {
    return "it holds this shard's results already (" +
           options.shard->resultsFileName() + ")";
  }
  const fs::path params = directory / "params";
  if (fs::exists(params, error)) {
    std::string archived;
    const fs::path copy = params / extractFileName(path);
    if (!readWholeFile(copy, archived).empty() ||
        archived != experiment.fileBytes) {
      return "its params hold another experiment file";
    }
  }
  return {};
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

/// Writes the holograms and the experiment file, as the run read them, into
/// directory/params, so that the run directory documents itself.
void archiveInputs(const Experiment& experiment,
                   Vantor::IExperimentListener* listener,
                   const std::string& path, const RunHolograms& holograms,
                   const std::string& directory) {
  const fs::path params = fs::path(directory) / "params";
  std::error_code error;
  if (!fs::create_directory(params, error) && error) {
    report(listener, "Can't archive the inputs: " + error.message());
    return;
  }
  archive(listener, experiment.hologramPath, holograms.firstFile, params);
  if (experiment.type == ExperimentType::DHI &&
      !sameFile(experiment.hologramPath, experiment.hologramPath2)) {
    archive(listener, experiment.hologramPath2, holograms.secondFile, params);
  }
  archive(listener, path, experiment.fileBytes, params);
}

/// "0.155": a distance as the console shows numbers.
std::string consoleNumber(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

/// z refined around set, the sharpest of the sweep, by a golden-section
/// search between its neighbours in z (the other values those of set),
/// computing the figure only, until the bracket is below a hundredth of
/// the z step; with the figures there. Nothing, with the reason in why,
/// when there is no bracket or the search fails.
std::optional<std::pair<ParameterSet, FocusFigures>> refineFocus(
    const Experiment& experiment, const RunHolograms& holograms,
    StepFields& fields, const ParameterSet& set, const RunOptions& options,
    std::string& why) {
  if (options.shard) {
    why = "each shard sees only its own sets";
    return std::nullopt;
  }
  const std::optional<ZBracket> bracket =
      refinementBracket(experiment, set.zDistance, why);
  if (!bracket) return std::nullopt;
  if (bracket->below < 0.0 && bracket->above > 0.0) {
    why = "its neighbours in z lie on both sides of 0";
    return std::nullopt;
  }
  const FocusMetric metric = experiment.focus.metric;
  ParameterSet trial = set;
  const auto figure = [&](double z) {
    trial.zDistance = z;
    return metricValue(metric, focusAt(experiment, holograms, fields, trial));
  };
  try {
    const SearchResult search = goldenSectionSearch(
        figure, bracket->below, bracket->above,
        (bracket->above - bracket->below) / 200.0,
        metric == FocusMetric::IntegratedAmplitude ? Extreme::minimum
                                                   : Extreme::maximum);
    trial.zDistance = search.x;
    return std::pair{trial, focusAt(experiment, holograms, fields, trial)};
  } catch (...) {
    why = describeCurrentFailure();
    return std::nullopt;
  }
}

/// Finds the sharpest set by the experiment's metric, refines its z when
/// asked (the figure only, no pictures), and writes focus.csv (a shard's
/// focus.K-of-N.csv). Returns the console line that names the sharpest
/// set; nothing when no set has figures.
std::optional<std::string> reportFocus(
    const Experiment& experiment, Vantor::IExperimentListener* listener,
    const RunHolograms& holograms, StepFields& fields,
    const std::vector<std::size_t>& sets,
    const std::vector<std::optional<FocusFigures>>& figures,
    const RunOptions& options, const std::string& directory) {
  const FocusOptions& focus = experiment.focus;
  const std::optional<std::size_t> best = sharpestSet(focus.metric, figures);
  std::optional<std::string> line;
  std::optional<std::pair<ParameterSet, FocusFigures>> refined;
  if (best) {
    const ParameterSet& set = experiment.parameterSets[sets[*best]];
    line = "Sharpest: set " + std::to_string(sets[*best]) +
           " (z = " + consoleNumber(set.zDistance) + ") by " +
           focusMetricName(focus.metric);
    if (focus.refine) {
      std::string why;
      refined = refineFocus(experiment, holograms, fields, set, options, why);
      *line += refined
                   ? "; refined z = " + consoleNumber(refined->first.zDistance)
                   : "; not refined: " + why;
    }
  }
  const std::string file =
      options.shard ? "focus." + std::to_string(options.shard->number) +
                          "-of-" + std::to_string(options.shard->count) + ".csv"
                    : "focus.csv";
  const std::string problem = writeWholeFile(
      directory + "/" + file, focusCsv(experiment, sets, figures, refined));
  if (!problem.empty())
    report(listener, "Can't write " + file + ": " + problem);
  return line;
}

}  // namespace

std::string runDirectoryName(const std::tm& time) {
  std::ostringstream name;
  name.fill('0');
  name << time.tm_year + 1900;
  for (const int field : {time.tm_mon + 1, time.tm_mday, time.tm_hour,
                          time.tm_min, time.tm_sec}) {
    name << "_" << std::setw(2) << field;
  }
  return name.str();
}

std::optional<std::string> createRunDirectory(const std::string& name) {
  for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
    const std::string candidate = withSuffix(name, suffix, "");
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate;
    // Only a name that is taken is worth another try.
    if (error || !fs::exists(candidate, error)) return std::nullopt;
  }
  return std::nullopt;
}

std::string extractFileName(const std::string& path) {
  std::size_t start = 0;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') ||
       (path[0] >= 'a' && path[0] <= 'z'))) {
    start = 2;
  }
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos && separator >= start) {
    start = separator + 1;
  }
  return path.substr(start);
}

std::optional<fs::path> archivePath(const fs::path& directory,
                                    const std::string& name,
                                    const std::string& bytes) {
  const fs::path plain(name);
  // "holo.bmp" -> stem "holo", extension ".bmp"; ".profile" keeps its name.
  const std::string stem = plain.stem().string();
  const std::string extension = plain.extension().string();
  for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
    const fs::path candidate = directory / withSuffix(stem, suffix, extension);
    std::error_code error;
    if (!fs::exists(candidate, error)) return candidate;
    std::string archived;
    if (readWholeFile(candidate, archived).empty() && archived == bytes) {
      return std::nullopt;
    }
  }
  return directory / name;
}

/// The run from the holograms to results.xml: load and prepare them,
/// archive the inputs, step through the sets, find focus, write the
/// results and finish.
void sweep(Experiment& experiment, Vantor::IExperimentListener* listener,
           const std::string& path, const RunOptions& options,
           const std::string& directory) {
  experiment.totalTimer.reset();
  experiment.totalTimer.start();
  RunHolograms holograms;
  if (!prepareHolograms(experiment, listener, holograms)) return;
  // Archived before the first step, from the very bytes the run decoded:
  // replacing an input during the run cannot falsify the record. Writing
  // the archive is not run time. Of a sweep split into shards, the first
  // archives.
  experiment.totalTimer.stop();
  if (!options.shard || options.shard->number == 1) {
    archiveInputs(experiment, listener, path, holograms, directory);
  }
  experiment.totalTimer.start();

  const std::vector<std::size_t> sets = setsToRun(experiment, options);
  warnOfUndersampling(experiment, listener, sets, holograms.n);
  std::vector<StepFields> fields = allocateThreads(
      experiment, listener, holograms.n, options.threads, sets.size());
  if (fields.empty()) return;
  const SweepOutcome outcome =
      runSteps(experiment, listener, holograms, fields, sets, directory);
  // A shard may hold no set at all (more shards than sets).
  const double average =
      sets.empty() ? 0.0
                   : outcome.stepTimeSum / static_cast<double>(sets.size());
  const std::optional<std::string> sharpest =
      experiment.focus.enabled
          ? reportFocus(experiment, listener, holograms, fields[0], sets,
                        outcome.figures, options, directory)
          : std::nullopt;
  fields.clear();
  holograms = RunHolograms();
  experiment.totalTimer.stop();

  const std::string results =
      options.shard ? options.shard->resultsFileName() : "results.xml";
  const std::string problem =
      options.shard
          ? experiment.saveShardResults(directory + "/" + results,
                                        experiment.totalTimer.elapsed(),
                                        average, *options.shard)
          : experiment.saveResults(directory + "/" + results,
                                   experiment.totalTimer.elapsed(), average);
  if (!problem.empty()) {
    report(listener, "Can't write " + results + ": " + problem);
  }
  if (sharpest && listener) listener->onNote(*sharpest);
  if (listener) listener->onFinish();
}

/// The run directory: the one asked for (made if missing), or a new one
/// named after the start time; empty, reported, when it cannot be made.
std::optional<std::string> makeRunDirectory(
    Vantor::IExperimentListener* listener, const RunOptions& options,
    const std::tm& startTime) {
  if (!options.outputDirectory.empty()) {
    std::error_code error;
    fs::create_directories(options.outputDirectory, error);
    if (!fs::is_directory(options.outputDirectory, error)) {
      report(listener,
             "Can't create the run directory " + options.outputDirectory);
      return std::nullopt;
    }
    return options.outputDirectory;
  }
  const std::string wanted = runDirectoryName(startTime);
  std::optional<std::string> directory = createRunDirectory(wanted);
  if (!directory) report(listener, "Can't create the run directory " + wanted);
  return directory;
}

void Experiment::run(const std::string& path,
                     Vantor::IExperimentListener* listener,
                     const RunOptions& options) {
  const std::tm startTime = localStartTime();
  const std::optional<std::string> directory =
      makeRunDirectory(listener, options, startTime);
  if (!directory) return;
  if (!load(path)) {
    report(listener, "Can't load a experiment");
    report(listener, loadError);
    return;
  }
  if (!options.outputDirectory.empty()) {
    const std::string problem = outputDirectoryProblem(*this, path, options);
    if (!problem.empty()) {
      report(listener, "Can't run in " + *directory + ": " + problem);
      return;
    }
  }
  if (listener) {
    listener->onStart(path, &startTime, static_cast<int>(type),
                      static_cast<int>(method));
    listener->onRunDirectory(*directory);
  }

  // The one place where what the libraries throw in the run (memory, above
  // all) is caught and reported; a set's own failures are caught in its
  // step, and the sweep goes on.
  try {
    sweep(*this, listener, path, options, *directory);
  } catch (...) {
    report(listener, describeCurrentFailure());
  }
}
