#include "experiment_listener.h"

#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>

#include "images.h"
#include "names.h"

namespace {

/// Truncates toward zero into the 32-bit range; NaN gives 0. A plain cast
/// would be undefined for an estimate that does not fit.
std::int32_t truncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  if (value <= kMin) return std::numeric_limits<std::int32_t>::min();
  if (value >= kMax) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

/// " reconstruction " or " DHI ", between the method and "experiment".
const char* typeWord(ExperimentType type) {
  return type == ExperimentType::DHI ? " DHI " : " reconstruction ";
}

}  // namespace

std::string formatRemaining(double remainingSeconds) {
  std::ostringstream text;
  const std::int32_t minutes = truncateToInt32(remainingSeconds / 60.0);
  if (minutes != 0) {
    text << minutes << "m. "
         << truncateToInt32(remainingSeconds - minutes * 60.0) << "s.\n";
  } else {
    text << truncateToInt32(remainingSeconds) << "s.\n";
  }
  return text.str();
}

void ExperimentListener::onStart(const std::string& path,
                                 const std::tm* /*startTime*/,
                                 ExperimentType type,
                                 ReconstructionMethod method) {
  std::cout << nameOf(method) << typeWord(type) << "experiment (" << path
            << ") is starting..." << std::endl;
}

void ExperimentListener::onFinish() {
  std::cout << "The experiment has finished" << std::endl;
}

void ExperimentListener::onStep(std::uint32_t stepNumber, std::uint32_t count,
                                double stepTime, double averageTime) {
  // The difference is taken as a signed 32-bit number, as the step counter
  // can never pass the count.
  const auto stepsLeft = static_cast<std::int32_t>(count - stepNumber);
  const double remaining = static_cast<double>(stepsLeft) * averageTime;
  // Flushed: a batch job's log shows progress as it happens, and a job that
  // is killed leaves the steps it finished.
  std::cout << "Step " << stepNumber << "/" << count << " completed ("
            << stepTime << "s.). Remained ~" << formatRemaining(remaining)
            << std::flush;
}

void ExperimentListener::onError(const std::string& message) {
  const std::lock_guard<std::recursive_mutex> lock(standardErrorLock());
  std::cerr << "Error: " << message << std::endl;
}

void ExperimentListener::onErrorReason(const std::string& reason) {
  const std::lock_guard<std::recursive_mutex> lock(standardErrorLock());
  std::cerr << "Error: " << reason << std::endl;
}

void ExperimentListener::onRunDirectory(const std::string& directory) {
  std::cout << "Results go to " << directory << std::endl;
}

void ExperimentListener::onNote(const std::string& text) {
  std::cout << text << std::endl;
}

void ExperimentListener::onWarning(const std::string& text) {
  const std::lock_guard<std::recursive_mutex> lock(standardErrorLock());
  std::cerr << "Warning: " << text << std::endl;
}
