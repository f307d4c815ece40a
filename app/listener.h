#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "experiment.h"

namespace Vantor {

/// Observer of one experiment run: start, every step, finish and failures.
class IExperimentListener {
 public:
  virtual ~IExperimentListener() = default;
  /// The experiment file loaded and the run begins.
  virtual void onStart(const std::string& path, const std::tm* startTime,
                       ExperimentType type, ReconstructionMethod method) = 0;
  /// The results file is written and the inputs are archived.
  virtual void onFinish() = 0;
  /// Step stepNumber (1-based) of count took stepTime seconds.
  virtual void onStep(std::uint32_t stepNumber, std::uint32_t count,
                      double stepTime, double averageTime) = 0;
  /// Something failed; message may be empty.
  virtual void onError(const std::string& message) = 0;
  /// Why the failure just reported happened, on a line of its own (the
  /// file and what is wrong with it, after "Can't load a experiment");
  /// part of that failure, not another one.
  virtual void onErrorReason(const std::string& /*reason*/) {}
  /// Where the run writes its results; told once, right after onStart.
  virtual void onRunDirectory(const std::string& /*directory*/) {}
  /// Something the user should know that is no failure: how the run
  /// adapted itself (fewer threads than asked, say).
  virtual void onNote(const std::string& /*text*/) {}
  /// Something the user should look at that stops nothing and is no
  /// failure (a set closer than its method samples correctly, say).
  virtual void onWarning(const std::string& /*text*/) {}
};

/// A listener that hears everything and says nothing: what a run reports
/// to when its caller gives it none.
class SilentListener : public IExperimentListener {
 public:
  void onStart(const std::string&, const std::tm*, ExperimentType,
               ReconstructionMethod) override {}
  void onFinish() override {}
  void onStep(std::uint32_t, std::uint32_t, double, double) override {}
  void onError(const std::string&) override {}
};

}  // namespace Vantor
