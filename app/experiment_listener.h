#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "listener.h"

/// Console listener: progress and the time left on standard output, errors
/// on standard error after "Error: ", warnings after "Warning: ".
class ExperimentListener : public Vantor::IExperimentListener {
 public:
  void onStart(const std::string& path, const std::tm* startTime,
               ExperimentType type, ReconstructionMethod method) override;
  void onFinish() override;
  void onStep(std::uint32_t stepNumber, std::uint32_t count, double stepTime,
              double averageTime) override;
  void onError(const std::string& message) override;
  void onErrorReason(const std::string& reason) override;
  void onRunDirectory(const std::string& directory) override;
  void onNote(const std::string& text) override;
  void onWarning(const std::string& text) override;
};

/// Forwards every report to another listener and counts the failures, so
/// that the run can tell a clean end from one that reported a failure.
class ErrorCountingListener : public Vantor::IExperimentListener {
 public:
  explicit ErrorCountingListener(Vantor::IExperimentListener& inner)
      : inner_(inner) {}
  void onStart(const std::string& path, const std::tm* startTime,
               ExperimentType type, ReconstructionMethod method) override {
    inner_.onStart(path, startTime, type, method);
  }
  void onFinish() override { inner_.onFinish(); }
  void onStep(std::uint32_t stepNumber, std::uint32_t count, double stepTime,
              double averageTime) override {
    inner_.onStep(stepNumber, count, stepTime, averageTime);
  }
  void onError(const std::string& message) override {
    ++errors_;
    inner_.onError(message);
  }
  void onErrorReason(const std::string& reason) override {
    inner_.onErrorReason(reason);
  }
  void onRunDirectory(const std::string& directory) override {
    inner_.onRunDirectory(directory);
  }
  void onNote(const std::string& text) override { inner_.onNote(text); }
  void onWarning(const std::string& text) override { inner_.onWarning(text); }

  /// Failures reported so far.
  int errors() const { return errors_; }

 private:
  Vantor::IExperimentListener& inner_;
  int errors_ = 0;
};

/// The time-left part of a progress line, e.g. "1m. 52s.\n" for 112.5 s.
std::string formatRemaining(double remainingSeconds);
