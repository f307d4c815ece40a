#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

#include "experiment_listener.h"

namespace {

/// Sends std::cout and std::cerr into strings while it lives.
struct CapturedStreams {
  std::ostringstream out, err;
  std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
  ~CapturedStreams() {
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
  }
};

TEST(ListenerTest, StepLinesGiveTimeLeftTruncatedWithoutHours) {
  const struct {
    unsigned stepNumber, count;
    double stepTime, average;
    const char* line;
  } cases[] = {
      {1, 10, 12.5, 12.5, "Step 1/10 completed (12.5s.). Remained ~1m. 52s.\n"},
      {10, 10, 3.0, 3.0, "Step 10/10 completed (3s.). Remained ~0s.\n"},
      {1, 3601, 2.0, 2.0, "Step 1/3601 completed (2s.). Remained ~120m. 0s.\n"},
      {1, 10, 5.0, 5.0, "Step 1/10 completed (5s.). Remained ~45s.\n"},
      {2, 3, 60.0, 60.0, "Step 2/3 completed (60s.). Remained ~1m. 0s.\n"},
      {1, 2, 59.9, 59.9, "Step 1/2 completed (59.9s.). Remained ~59s.\n"},
      {1, 2, 12.3456789, 119.99,
       "Step 1/2 completed (12.3457s.). Remained ~1m. 59s.\n"},
  };
  for (const auto& c : cases) {
    CapturedStreams streams;
    ExperimentListener().onStep(c.stepNumber, c.count, c.stepTime, c.average);
    EXPECT_EQ(streams.out.str(), c.line);
  }
  // Estimates past the 32-bit range or NaN must not be undefined behaviour.
  EXPECT_EQ(formatRemaining(1e300), "2147483647m. 2147483647s.\n");
  EXPECT_EQ(formatRemaining(std::nan("")), "0s.\n");
}

TEST(ListenerTest, StartLineNamesMethodTypeAndFile) {
  const struct {
    int type, method;
    const char* line;
  } cases[] = {
      {0, 0, "Fresnel reconstruction experiment (e.xml) is starting...\n"},
      {1, 1, "Convolution DHI experiment (e.xml) is starting...\n"},
      {7, 0, "FresnelUndefined experiment (e.xml) is starting...\n"},
      {0, -1, "Undefined reconstruction experiment (e.xml) is starting...\n"},
  };
  for (const auto& c : cases) {
    CapturedStreams streams;
    ExperimentListener().onStart("e.xml", nullptr, c.type, c.method);
    EXPECT_EQ(streams.out.str(), c.line);
  }
}

TEST(ListenerTest, ErrorsGoToStandardErrorAndAreCounted) {
  CapturedStreams streams;
  ExperimentListener console;
  ErrorCountingListener counting(&console);
  counting.onRunDirectory("2026_01_05_09_03_07");
  counting.onError("Can't load a experiment");
  counting.onError("");
  counting.onError("The image must be square\n");
  counting.onFinish();
  EXPECT_EQ(counting.errors(), 3);
  EXPECT_EQ(streams.err.str(),
            "Error: Can't load a experiment\nError: \n"
            "Error: The image must be square\n\n");
  EXPECT_EQ(streams.out.str(),
            "Results go to 2026_01_05_09_03_07\nThe experiment has finished\n");
}

}  // namespace
