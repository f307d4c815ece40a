#include "step_loop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "interrupt.h"
#include "listener.h"
#include "timer.h"

namespace {

/// Keeps the errors of one step, for the reporting thread to pass on in
/// set order.
class ErrorCollector : public Vantor::SilentListener {
 public:
  void onError(const std::string& message) override {
    errors.push_back(message);
  }
  std::vector<std::string> errors;
};

/// What one step left for the reporting thread.
struct StepOutcome {
  std::vector<std::string> errors;
  double seconds = 0.0;
  StepResult result;
  bool done = false;
};

/// Reports step j of count: its errors, then its line, and keeps what it
/// gave. The estimate of the time left uses secondsPerSet.
void reportStep(const RunContext& context, std::size_t j, std::size_t count,
                const StepOutcome& outcome, double secondsPerSet,
                SweepOutcome& sweep) {
  for (const std::string& error : outcome.errors) {
    context.listener.onError(error);
  }
  context.listener.onStep(static_cast<std::uint32_t>(j + 1),
                          static_cast<std::uint32_t>(count), outcome.seconds,
                          secondsPerSet);
  sweep.figures.push_back(outcome.result.figures);
  sweep.allWritten = sweep.allWritten && outcome.result.written;
  sweep.setsDone = j + 1;
}

/// The design's loop on this thread: the time left is the mean step time
/// so far times the steps still to run.
SweepOutcome runOnThisThread(const RunContext& context, StepFields& fields,
                             const std::vector<std::size_t>& sets) {
  SweepOutcome sweep;
  Vantor::Timer stepTimer;
  for (std::size_t j = 0; j < sets.size() && interruptSignal() == 0; ++j) {
    stepTimer.reset();
    stepTimer.start();
    ErrorCollector collector;
    StepOutcome outcome;
    outcome.result = runStep(context, collector, fields, sets[j]);
    stepTimer.stop();
    outcome.errors = std::move(collector.errors);
    outcome.seconds = stepTimer.elapsed();
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    reportStep(context, j, sets.size(), outcome,
               sweep.stepTimeSum / static_cast<double>(j + 1), sweep);
  }
  return sweep;
}

/// Workers take the next set in order and compute it; this thread reports
/// the sets in order as they complete. The time left is the wall time so
/// far over the sets done, times the sets still to run: the step times add
/// up to more than the wall time when steps run side by side.
SweepOutcome runOnWorkers(const RunContext& context,
                          std::vector<StepFields>& fields,
                          const std::vector<std::size_t>& sets) {
  std::vector<StepOutcome> outcomes(sets.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  int working = static_cast<int>(fields.size());
  const auto work = [&](StepFields& own) {
    for (std::size_t j = next++; j < sets.size() && interruptSignal() == 0;
         j = next++) {
      ErrorCollector collector;
      Vantor::Timer timer;
      timer.start();
      StepResult result = runStep(context, collector, own, sets[j]);
      timer.stop();
      {
        const std::lock_guard<std::mutex> lock(mutex);
        outcomes[j] = {std::move(collector.errors), timer.elapsed(), result,
                       true};
      }
      finished.notify_all();
    }
    {
      const std::lock_guard<std::mutex> lock(mutex);
      --working;
    }
    finished.notify_all();
  };
  const double start = Vantor::now();
  std::vector<std::jthread> workers;
  for (StepFields& own : fields) workers.emplace_back(work, std::ref(own));

  SweepOutcome sweep;
  for (std::size_t j = 0; j < sets.size(); ++j) {
    StepOutcome outcome;
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return outcomes[j].done || working == 0; });
      // Every worker has stopped and set j was never taken: interrupted.
      if (!outcomes[j].done) break;
      outcome = std::move(outcomes[j]);
    }
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    const double wall = Vantor::now() - start;
    reportStep(context, j, sets.size(), outcome,
               wall / static_cast<double>(j + 1), sweep);
  }
  return sweep;
}

}  // namespace

SweepOutcome runSteps(const RunContext& context,
                      std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& sets) {
  if (fields.size() == 1) return runOnThisThread(context, fields[0], sets);
  return runOnWorkers(context, fields, sets);
}
