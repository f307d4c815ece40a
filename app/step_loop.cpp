#include "step_loop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "failure.h"
#include "focus_search.h"
#include "listener.h"
#include "steps.h"
#include "sweep.h"
#include "timer.h"

using numerics::describeCurrentFailure;
using numerics::FocusFigures;

namespace {

void report(Vantor::IExperimentListener* listener, const std::string& text) {
  if (listener) listener->onError(text);
}

/// Keeps the errors of one step, for the reporting thread to pass on in
/// set order.
class ErrorCollector : public Vantor::IExperimentListener {
 public:
  void onStart(const std::string&, const std::tm*, int, int) override {}
  void onFinish() override {}
  void onStep(std::uint32_t, std::uint32_t, double, double) override {}
  void onError(const std::string& message) override {
    errors.push_back(message);
  }
  std::vector<std::string> errors;
};

/// What one step left for the reporting thread.
struct StepOutcome {
  std::vector<std::string> errors;
  double seconds = 0.0;
  std::optional<FocusFigures> figures;
  bool done = false;
};

/// Reports step j of count: its errors, then its line. The estimate of the
/// time left uses secondsPerSet.
void reportStep(Vantor::IExperimentListener* listener, std::size_t j,
                std::size_t count, const StepOutcome& outcome,
                double secondsPerSet) {
  for (const std::string& error : outcome.errors) report(listener, error);
  if (listener) {
    listener->onStep(static_cast<std::uint32_t>(j + 1),
                     static_cast<std::uint32_t>(count), outcome.seconds,
                     secondsPerSet);
  }
}

/// The design's loop on this thread: the time left is the mean step time
/// so far times the steps still to run.
SweepOutcome runOnThisThread(Experiment& experiment,
                             Vantor::IExperimentListener* listener,
                             const RunHolograms& holograms, StepFields& fields,
                             const std::vector<std::size_t>& sets,
                             const std::string& directory) {
  SweepOutcome sweep;
  for (std::size_t j = 0; j < sets.size(); ++j) {
    experiment.stepTimer.reset();
    experiment.stepTimer.start();
    StepOutcome outcome;
    outcome.figures =
        runStep(experiment, listener, holograms, fields, sets[j], directory);
    experiment.stepTimer.stop();
    outcome.seconds = experiment.stepTimer.elapsed();
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    reportStep(listener, j, sets.size(), outcome,
               sweep.stepTimeSum / static_cast<double>(j + 1));
    sweep.figures.push_back(outcome.figures);
  }
  return sweep;
}

/// Workers take the next set in order and compute it; this thread reports
/// the sets in order as they complete. The time left is the wall time so
/// far over the sets done, times the sets still to run: the step times add
/// up to more than the wall time when steps run side by side.
SweepOutcome runOnWorkers(const Experiment& experiment,
                          Vantor::IExperimentListener* listener,
                          const RunHolograms& holograms,
                          std::vector<StepFields>& fields,
                          const std::vector<std::size_t>& sets,
                          const std::string& directory) {
  std::vector<StepOutcome> outcomes(sets.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  const auto work = [&](StepFields& own) {
    for (std::size_t j = next++; j < sets.size(); j = next++) {
      ErrorCollector collector;
      Vantor::Timer timer;
      timer.start();
      std::optional<FocusFigures> figures =
          runStep(experiment, &collector, holograms, own, sets[j], directory);
      timer.stop();
      {
        const std::lock_guard<std::mutex> lock(mutex);
        outcomes[j] = {std::move(collector.errors), timer.elapsed(), figures,
                       true};
      }
      finished.notify_all();
    }
  };
  const double start = Vantor::now();
  std::vector<std::jthread> workers;
  for (StepFields& own : fields) workers.emplace_back(work, std::ref(own));

  SweepOutcome sweep;
  for (std::size_t j = 0; j < sets.size(); ++j) {
    StepOutcome outcome;
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return outcomes[j].done; });
      outcome = std::move(outcomes[j]);
    }
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    const double wall = Vantor::now() - start;
    reportStep(listener, j, sets.size(), outcome,
               wall / static_cast<double>(j + 1));
    sweep.figures.push_back(outcome.figures);
  }
  return sweep;
}

}  // namespace

std::optional<FocusFigures> runStep(const Experiment& experiment,
                                    Vantor::IExperimentListener* listener,
                                    const RunHolograms& holograms,
                                    StepFields& fields, std::size_t index,
                                    const std::string& directory) {
  const ParameterSet& parameters = experiment.parameterSets[index];
  const std::string setName = "Set " + std::to_string(index) + ": ";
  const std::string problem = parameterSetProblem(parameters);
  if (!problem.empty()) {
    report(listener, setName + problem);
    return std::nullopt;
  }
  const auto i = static_cast<int>(index);
  try {
    if (experiment.type == ExperimentType::DHI) {
      experiment.dhiStep(listener, i, holograms, fields, parameters, directory);
    } else {
      experiment.reconstructionStep(listener, i, holograms, fields, parameters,
                                    directory);
    }
  } catch (...) {
    report(listener, setName + describeCurrentFailure());
    return std::nullopt;
  }
  if (!experiment.focus.enabled) return std::nullopt;
  return measureFocus(experiment.focus, fields.work[0].rows(), holograms.n);
}

FocusFigures focusAt(const Experiment& experiment,
                     const RunHolograms& holograms, StepFields& fields,
                     const ParameterSet& set) {
  reconstructFirstIntensity(experiment, holograms, fields, set);
  return measureFocus(experiment.focus, fields.work[0].rows(), holograms.n);
}

SweepOutcome runSteps(Experiment& experiment,
                      Vantor::IExperimentListener* listener,
                      const RunHolograms& holograms,
                      std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& sets,
                      const std::string& directory) {
  if (fields.size() == 1) {
    return runOnThisThread(experiment, listener, holograms, fields[0], sets,
                           directory);
  }
  return runOnWorkers(experiment, listener, holograms, fields, sets, directory);
}
