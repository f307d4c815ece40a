#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

#include "app/experiment_listener.h"

namespace {

/// Captures std::cout and std::cerr for the lifetime of the object.
class CapturedStreams {
 public:
  CapturedStreams()
      : oldOut_(std::cout.rdbuf(out_.rdbuf())),
        oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~CapturedStreams() {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
  }
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::streambuf* oldOut_;
  std::streambuf* oldErr_;
};

struct StepCase {
  unsigned stepNumber;
  unsigned count;
  double stepTime;
  double average;
  const char* line;
};

TEST(ListenerTest, StepLinesGiveTimeLeftTruncatedWithoutHours) {
  const StepCase cases[] = {
      {1, 10, 12.5, 12.5, "Step 1/10 completed (12.5s.). Remained ~1m. 52s.\n"},
      {10, 10, 3.0, 3.0, "Step 10/10 completed (3s.). Remained ~0s.\n"},
      {1, 3601, 2.0, 2.0, "Step 1/3601 completed (2s.). Remained ~120m. 0s.\n"},
      {1, 10, 5.0, 5.0, "Step 1/10 completed (5s.). Remained ~45s.\n"},
      {2, 3, 60.0, 60.0, "Step 2/3 completed (60s.). Remained ~1m. 0s.\n"},
      {1, 2, 59.9, 59.9, "Step 1/2 completed (59.9s.). Remained ~59s.\n"},
      {1, 2, 12.3456789, 0.5,
       "Step 1/2 completed (12.3457s.). Remained ~0s.\n"},
      {1, 2, 0.5, 119.99, "Step 1/2 completed (0.5s.). Remained ~1m. 59s.\n"},
  };
  for (const StepCase& c : cases) {
    CapturedStreams streams;
    ExperimentListener listener;
    listener.onStep(c.stepNumber, c.count, c.stepTime, c.average);
    EXPECT_EQ(streams.out(), c.line);
    EXPECT_EQ(streams.err(), "");
  }
}

TEST(ListenerTest, AbsurdEstimatesStayDefined) {
  // An estimate past the 32-bit range or NaN must not be undefined
  // behaviour; the figures saturate or read 0.
  EXPECT_EQ(formatRemaining(1e300), "2147483647m. 2147483647s.\n");
  EXPECT_EQ(formatRemaining(std::nan("")), "0s.\n");
}

TEST(ListenerTest, StartLineNamesMethodTypeAndFile) {
  struct Case {
    int type;
    int method;
    const char* line;
  };
  const Case cases[] = {
      {0, 0, "Fresnel reconstruction experiment (e.xml) is starting...\n"},
      {1, 1, "Convolution DHI experiment (e.xml) is starting...\n"},
      {7, 0, "FresnelUndefined experiment (e.xml) is starting...\n"},
      {0, -1, "Undefined reconstruction experiment (e.xml) is starting...\n"},
  };
  for (const Case& c : cases) {
    CapturedStreams streams;
    ExperimentListener listener;
    listener.onStart("e.xml", nullptr, c.type, c.method);
    EXPECT_EQ(streams.out(), c.line);
  }
}

TEST(ListenerTest, ErrorsGoToStandardErrorAfterPrefix) {
  CapturedStreams streams;
  ExperimentListener listener;
  listener.onError("Can't load a experiment");
  listener.onError("");
  listener.onError("The image must be square\n");
  listener.onFinish();
  EXPECT_EQ(streams.err(),
            "Error: Can't load a experiment\nError: \n"
            "Error: The image must be square\n\n");
  EXPECT_EQ(streams.out(), "The experiment has finished\n");
}

TEST(ListenerTest, CountingListenerForwardsAndCountsOnlyErrors) {
  CapturedStreams streams;
  ExperimentListener console;
  ErrorCountingListener counting(&console);
  counting.onStart("e.xml", nullptr, 0, 0);
  counting.onRunDirectory("2026_01_05_09_03_07");
  counting.onStep(1, 1, 0.5, 0.5);
  EXPECT_EQ(counting.errors(), 0);
  counting.onError("");
  counting.onFinish();
  EXPECT_EQ(counting.errors(), 1);
  EXPECT_EQ(streams.out(),
            "Fresnel reconstruction experiment (e.xml) is starting...\n"
            "Results go to 2026_01_05_09_03_07\n"
            "Step 1/1 completed (0.5s.). Remained ~0s.\n"
            "The experiment has finished\n");
  EXPECT_EQ(streams.err(), "Error: \n");

  ErrorCountingListener silent(nullptr);
  silent.onError("x");
  EXPECT_EQ(silent.errors(), 1);
}

}  // namespace
