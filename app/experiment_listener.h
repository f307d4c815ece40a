#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "listener.h"

/// Console listener: progress and the time left on standard output, errors
/// on standard error after "Error: ".
class ExperimentListener : public Vantor::IExperimentListener {
 public:
  ~ExperimentListener() override {}
  void onStart(const std::string& path, const std::tm* startTime, int type,
               int method) override;
  void onFinish() override;
  void onStep(std::uint32_t stepNumber, std::uint32_t count, double stepTime,
              double averageTime) override;
  void onError(const std::string& message) override;
  void onRunDirectory(const std::string& directory) override;
  void onNote(const std::string& text) override;
  void onWarning(const std::string& text) override;
};

/// Forwards every report to another listener and counts the errors, so that
/// the program can tell a clean run from one that reported a failure.
class ErrorCountingListener : public Vantor::IExperimentListener {
 public:
  /// Forwards to inner, which may be null.
  explicit ErrorCountingListener(Vantor::IExperimentListener* inner)
      : inner_(inner) {}
  void onStart(const std::string& path, const std::tm* startTime, int type,
               int method) override;
  void onFinish() override;
  void onStep(std::uint32_t stepNumber, std::uint32_t count, double stepTime,
              double averageTime) override;
  void onError(const std::string& message) override;
  void onRunDirectory(const std::string& directory) override;
  void onNote(const std::string& text) override;
  void onWarning(const std::string& text) override;

  /// Number of onError reports so far.
  int errors() const { return errors_; }

 private:
  Vantor::IExperimentListener* inner_;
  int errors_ = 0;
};

/// The time-left part of a progress line, e.g. "1m. 52s.\n" for 112.5 s.
std::string formatRemaining(double remainingSeconds);
