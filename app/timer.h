#pragma once

#include <chrono>
#include <cstdint>

namespace Vantor {

namespace detail {

/// The process-wide clock: ticks per second and the reading, in seconds, at
/// initialisation.
struct Clock {
  // The steady clock's rate is a compile-time constant, so a clock that was
  // never initialised still measures seconds, only from another origin.
  std::int64_t frequency = std::chrono::steady_clock::period::den /
                           std::chrono::steady_clock::period::num;
  double origin = 0.0;
};

inline Clock processClock;

inline std::int64_t counter() {
  return static_cast<std::int64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace detail

/// Seconds since initializeClock, read from the monotonic clock.
inline double now() {
  // Divide as doubles, not as integers, so sub-second ticks survive.
  return static_cast<double>(detail::counter()) /
             static_cast<double>(detail::processClock.frequency) -
         detail::processClock.origin;
}

/// Sets the process-wide clock's origin to the present; always succeeds on a
/// steady clock.
inline bool initializeClock() {
  static_assert(std::chrono::steady_clock::period::num == 1,
                "the steady clock must tick in fractions of a second");
  detail::processClock.frequency = std::chrono::steady_clock::period::den;
  detail::processClock.origin = 0.0;
  detail::processClock.origin = now();
  return true;
}

/// Stopwatch that sums start-to-stop intervals until it is reset.
class Timer {
 public:
  virtual ~Timer() = default;

  /// Starts measuring; a running timer keeps its first start.
  virtual void start() {
    if (stopped) {
      startTime = now();
      stopped = false;
    }
  }

  /// Stops and adds the interval since start; a stopped timer is unchanged.
  virtual void stop() {
    if (!stopped) {
      const double t = now();
      stopped = true;
      accumulated = (accumulated + t) - startTime;
    }
  }

  /// Forgets every interval and stops, dropping a running interval.
  virtual void reset() {
    accumulated = 0.0;
    stopped = true;
  }

  /// Seconds measured so far, the running interval included.
  virtual double elapsed() {
    if (stopped) return accumulated;
    return (accumulated + now()) - startTime;
  }

  /// True while the timer is not measuring.
  virtual bool isStopped() { return stopped; }

 private:
  double startTime = 0.0;
  double accumulated = 0.0;
  bool stopped = true;
};

}  // namespace Vantor
