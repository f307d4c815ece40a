#include "step_loop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "inputs.h"
#include "interrupt.h"
#include "listener.h"
#include "timer.h"

namespace {

/// Keeps what one step reports, for the reporting thread to pass on in set
/// order.
class ReportCollector : public Vantor::SilentListener {
 public:
  enum class Kind { error, warning, note };
  void onError(const std::string& message) override {
    lines.emplace_back(Kind::error, message);
  }
  void onWarning(const std::string& text) override {
    lines.emplace_back(Kind::warning, text);
  }
  void onNote(const std::string& text) override {
    lines.emplace_back(Kind::note, text);
  }
  /// Passes every line on to listener, in order.
  void replay(Vantor::IExperimentListener& listener) const {
    for (const auto& [kind, text] : lines) {
      if (kind == Kind::error) listener.onError(text);
      if (kind == Kind::warning) listener.onWarning(text);
      if (kind == Kind::note) listener.onNote(text);
    }
  }
  std::vector<std::pair<Kind, std::string>> lines;
};

/// What one step left for the reporting thread.
struct StepOutcome {
  ReportCollector report;
  double seconds = 0.0;
  StepResult result;
  bool done = false;
};

/// The frames of a run as the steps need them: read in order, ahead of the
/// steps on a thread of their own when threaded, prepared by the first
/// step that needs each (so that the threads prepare frames side by side:
/// at 1024 x 1024 a frame's preparation costs more than a cropped set),
/// held until every set of a frame has been reported, and at most `most`
/// held at once.
class FrameFeed {
 public:
  FrameFeed(RunContext& context, std::vector<int> positions,
            PreparedFrame first, std::size_t most, bool threaded)
      : context_(context), positions_(std::move(positions)), most_(most) {
    frames_[first.position].prepared =
        std::make_shared<const PreparedFrame>(std::move(first));
    next_ = 1;
    if (threaded && positions_.size() > 1) {
      reader_ = std::jthread([this](std::stop_token stop) { read(stop); });
    }
  }
  ~FrameFeed() { stop(); }

  /// The frame at position: read here when no thread reads ahead, waited
  /// for otherwise; prepared here unless another step prepares it.
  std::shared_ptr<const PreparedFrame> frame(int position) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!reader_.joinable()) {
      while (!frames_.count(position)) readNext(lock);
    }
    ready_.wait(lock, [&] { return frames_.count(position) > 0; });
    Entry& entry = frames_[position];
    if (!entry.prepared && entry.loaded) {
      LoadedFrame loaded = std::move(*entry.loaded);
      entry.loaded.reset();
      lock.unlock();
      PreparedFrame frame;
      const std::string problem =
          finishFrame(context_, std::move(loaded), frame);
      if (!problem.empty()) frame.problem = problem;
      lock.lock();
      frames_[position].prepared =
          std::make_shared<const PreparedFrame>(std::move(frame));
      ready_.notify_all();
    }
    ready_.wait(lock, [&] { return frames_[position].prepared != nullptr; });
    return frames_[position].prepared;
  }

  /// The sets of the frame at position are done: it may go.
  void release(int position) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      frames_.erase(position);
    }
    room_.notify_all();
  }

  /// Stops reading ahead.
  void stop() {
    if (!reader_.joinable()) return;
    reader_.request_stop();
    room_.notify_all();
    reader_.join();
  }

 private:
  /// A frame read, and once a step has prepared it, prepared.
  struct Entry {
    std::optional<LoadedFrame> loaded;
    std::shared_ptr<const PreparedFrame> prepared;
  };

  /// Reads the next frame in order; called with the lock held, which it
  /// lets go while it reads.
  void readNext(std::unique_lock<std::mutex>& lock) {
    const int position = positions_[next_++];
    lock.unlock();
    LoadedFrame frame;
    loadFrame(context_, position, frame);
    lock.lock();
    frames_[position].loaded = std::move(frame);
    ready_.notify_all();
  }

  void read(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (next_ < positions_.size() && !stop.stop_requested()) {
      room_.wait(lock, [&] {
        return frames_.size() < most_ || stop.stop_requested();
      });
      // Not even an interruption stops it short: a set taken before it
      // waits for its frame.
      if (stop.stop_requested()) break;
      readNext(lock);
    }
  }

  RunContext& context_;
  std::vector<int> positions_;
  std::size_t most_;
  std::size_t next_ = 0;  // in positions_
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::map<int, Entry> frames_;
  std::jthread reader_;
};

/// The frame positions that indices need, in order.
std::vector<int> framePositions(const RunContext& context,
                                const std::vector<std::size_t>& indices) {
  std::vector<int> positions;
  for (const std::size_t index : indices) {
    const int position = context.frameOf(index);
    if (positions.empty() || positions.back() != position) {
      positions.push_back(position);
    }
  }
  return positions;
}

/// Reports step j of indices: its errors and notes, then its line, and
/// keeps what it gave. The estimate of the time left uses secondsPerSet.
void reportStep(const RunContext& context, std::size_t j, std::size_t count,
                const StepOutcome& outcome, double secondsPerSet,
                SweepOutcome& sweep) {
  outcome.report.replay(context.listener);
  context.listener.onStep(static_cast<std::uint32_t>(j + 1),
                          static_cast<std::uint32_t>(count), outcome.seconds,
                          secondsPerSet);
  sweep.figures.push_back(outcome.result.figures);
  sweep.allWritten = sweep.allWritten && outcome.result.written;
  sweep.setsDone = j + 1;
}

/// After step j is reported: when it is its frame's last, the frame is
/// done and may go.
void frameAfter(const RunContext& context, FrameFeed& feed,
                const std::vector<std::size_t>& indices, std::size_t j,
                const SweepOutcome& sweep, std::size_t& frameStart,
                const FrameDone& frameDone) {
  const int position = context.frameOf(indices[j]);
  if (j + 1 < indices.size() && context.frameOf(indices[j + 1]) == position) {
    return;
  }
  frameDone(*feed.frame(position), sweep.figures, frameStart, j + 1);
  feed.release(position);
  frameStart = j + 1;
}

/// The design's loop on this thread: the time left is the mean step time
/// so far times the steps still to run.
SweepOutcome runOnThisThread(RunContext& context, StepFields& fields,
                             const std::vector<std::size_t>& indices,
                             FrameFeed& feed, const FrameDone& frameDone) {
  SweepOutcome sweep;
  Vantor::Timer stepTimer;
  std::size_t frameStart = 0;
  for (std::size_t j = 0; j < indices.size() && interruptSignal() == 0; ++j) {
    const std::shared_ptr<const PreparedFrame> frame =
        feed.frame(context.frameOf(indices[j]));
    stepTimer.reset();
    stepTimer.start();
    StepOutcome outcome;
    outcome.result =
        runStep(context, outcome.report, fields, *frame, indices[j]);
    stepTimer.stop();
    outcome.seconds = stepTimer.elapsed();
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    reportStep(context, j, indices.size(), outcome,
               sweep.stepTimeSum / static_cast<double>(j + 1), sweep);
    frameAfter(context, feed, indices, j, sweep, frameStart, frameDone);
  }
  return sweep;
}

/// Workers take the next index in order and compute it; this thread
/// reports the indices in order as they complete. The time left is the
/// wall time so far over the sets done, times the sets still to run: the
/// step times add up to more than the wall time when steps run side by
/// side.
SweepOutcome runOnWorkers(RunContext& context, std::vector<StepFields>& fields,
                          const std::vector<std::size_t>& indices,
                          FrameFeed& feed, const FrameDone& frameDone) {
  std::vector<StepOutcome> outcomes(indices.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::size_t next = 0;
  int working = static_cast<int>(fields.size());
  // Taking an index and looking for an interruption are one step, so that
  // the indices taken are always the first ones: the stacks wait for every
  // earlier page.
  const auto take = [&]() -> std::optional<std::size_t> {
    const std::lock_guard<std::mutex> lock(mutex);
    if (next >= indices.size() || interruptSignal() != 0) return std::nullopt;
    return next++;
  };
  const auto work = [&](StepFields& own) {
    for (std::optional<std::size_t> j = take(); j; j = take()) {
      const std::shared_ptr<const PreparedFrame> frame =
          feed.frame(context.frameOf(indices[*j]));
      StepOutcome outcome;
      Vantor::Timer timer;
      timer.start();
      outcome.result =
          runStep(context, outcome.report, own, *frame, indices[*j]);
      timer.stop();
      outcome.seconds = timer.elapsed();
      outcome.done = true;
      {
        const std::lock_guard<std::mutex> lock(mutex);
        outcomes[*j] = std::move(outcome);
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
  std::size_t frameStart = 0;
  for (std::size_t j = 0; j < indices.size(); ++j) {
    StepOutcome outcome;
    {
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return outcomes[j].done || working == 0; });
      // Every worker has stopped and index j was never taken: interrupted.
      if (!outcomes[j].done) break;
      outcome = std::move(outcomes[j]);
    }
    sweep.stepTimeSum = sweep.stepTimeSum + outcome.seconds;
    const double wall = Vantor::now() - start;
    reportStep(context, j, indices.size(), outcome,
               wall / static_cast<double>(j + 1), sweep);
    frameAfter(context, feed, indices, j, sweep, frameStart, frameDone);
  }
  feed.stop();
  return sweep;
}

}  // namespace

SweepOutcome runSteps(RunContext& context, std::vector<StepFields>& fields,
                      const std::vector<std::size_t>& indices,
                      PreparedFrame first, const FrameDone& frameDone) {
  const bool threaded = fields.size() > 1;
  FrameFeed feed(context, framePositions(context, indices), std::move(first),
                 fields.size() + 1, threaded);
  if (!threaded) {
    return runOnThisThread(context, fields[0], indices, feed, frameDone);
  }
  return runOnWorkers(context, fields, indices, feed, frameDone);
}
