// The console lines, the stopwatch and the names a run gives its files.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "command_line.h"
#include "experiment_listener.h"
#include "run_directory.h"
#include "support.h"
#include "timer.h"

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

TEST(Console, LinesGiveTheTimeLeftTruncatedWithoutHours) {
  const struct {
    unsigned stepNumber, count;
    double stepTime, average;
    const char* line;
  } steps[] = {
      {1, 10, 12.5, 12.5, "Step 1/10 completed (12.5s.). Remained ~1m. 52s.\n"},
      {10, 10, 3.0, 3.0, "Step 10/10 completed (3s.). Remained ~0s.\n"},
      {1, 3601, 2.0, 2.0, "Step 1/3601 completed (2s.). Remained ~120m. 0s.\n"},
      {2, 3, 60.0, 60.0, "Step 2/3 completed (60s.). Remained ~1m. 0s.\n"},
      {1, 2, 12.3456789, 59.9,
       "Step 1/2 completed (12.3457s.). Remained ~59s.\n"}};
  for (const auto& [stepNumber, count, stepTime, average, line] : steps) {
    CapturedStreams streams;
    ExperimentListener().onStep(stepNumber, count, stepTime, average);
    EXPECT_EQ(streams.out.str(), line);
  }
  // Estimates past the 32-bit range or NaN must not be undefined behaviour.
  EXPECT_EQ(formatRemaining(1e300), "2147483647m. 2147483647s.\n");
  EXPECT_EQ(formatRemaining(std::nan("")), "0s.\n");

  CapturedStreams streams;
  ExperimentListener console;
  ErrorCountingListener counting(console);
  counting.onStart("e.xml", nullptr, ExperimentType::DHI,
                   ReconstructionMethod::Convolution);
  counting.onStart("e.xml", nullptr, ExperimentType::Reconstruction,
                   ReconstructionMethod::AngularSpectrum);
  counting.onRunDirectory("2026_01_05_09_03_07");
  // The reason of a failure is printed like one and counted with it.
  counting.onError("Can't load a experiment");
  counting.onErrorReason("e.xml: no <Experiment> element");
  counting.onError("The image must be square\n");
  counting.onWarning("e.xml: <Experiment method=\"x\"> is not ...");
  counting.onFinish();
  EXPECT_EQ(counting.errors(), 2);
  EXPECT_EQ(streams.err.str(),
            "Error: Can't load a experiment\n"
            "Error: e.xml: no <Experiment> element\n"
            "Error: The image must be square\n\n"
            "Warning: e.xml: <Experiment method=\"x\"> is not ...\n");
  EXPECT_EQ(streams.out.str(),
            "Convolution DHI experiment (e.xml) is starting...\n"
            "AngularSpectrum reconstruction experiment (e.xml) is "
            "starting...\n"
            "Results go to 2026_01_05_09_03_07\nThe experiment has finished\n");
}

TEST(Timer, IntervalsAddUpFromTheFirstStartUntilReset) {
  const auto sleepMs = [](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  };
  ASSERT_TRUE(Vantor::initializeClock());
  EXPECT_LT(Vantor::now(), 0.5);
  Vantor::Timer timer;
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
  timer.start();
  sleepMs(20);
  timer.start();  // does not restart the interval
  EXPECT_GE(timer.elapsed(), 0.019);
  timer.stop();
  const double first = timer.elapsed();
  sleepMs(100);  // a stopped timer measures nothing
  EXPECT_EQ(timer.elapsed(), first);
  timer.start();
  sleepMs(20);
  timer.stop();
  EXPECT_GE(timer.elapsed() - first, 0.019);
  timer.start();
  timer.reset();  // drops the running interval and stops
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
}

TEST(RunNames, DirectoriesAndArchivedFilesGetFreeNames) {
  std::tm time{};
  time.tm_year = 126;
  time.tm_mday = 5;
  time.tm_hour = 9;
  time.tm_min = 3;
  time.tm_sec = 7;
  EXPECT_EQ(runDirectoryName(time), "2026_01_05_09_03_07");
  const std::pair<const char*, const char*> names[] = {
      {"data/fringes.bmp", "fringes.bmp"},
      {"C:\\data\\fringes.bmp", "fringes.bmp"},
      {"C:fringes.bmp", "fringes.bmp"},
      {"fringes", "fringes"},
      {"/abs/dir/", ""},
      {"1:x", "1:x"}};
  for (const auto& [path, name] : names) EXPECT_EQ(extractFileName(path), name);

  const ScratchDir scratch;
  const fs::path root = scratch.dir;
  const std::string run = (root / "2026_12_06_18_06_42").string();
  EXPECT_EQ(createRunDirectory(run), run);
  EXPECT_EQ(createRunDirectory(run), run + "_2");
  scratch.write("file", "x");
  EXPECT_EQ(createRunDirectory((root / "file/run").string()), std::nullopt);
  // Every shard plans the same names: clashes of other bytes get a suffix,
  // the same bytes under one name share a copy.
  const std::string x = "x", y = "y", z = "z";
  const std::vector<RunInput> inputs = {
      {"hologram", "a/holo.bmp", &x}, {"hologram", "b\\holo.bmp", &y},
      {"hologram", "c/holo.bmp", &x}, {"background", "a.tar.gz", &z},
      {"dark", "b/a.tar.gz", &y},     {"experiment", "holo.bmp", &z}};
  EXPECT_EQ(archiveNames(inputs),
            (std::vector<std::string>{"holo.bmp", "holo_2.bmp", "holo.bmp",
                                      "a.tar.gz", "a.tar_2.gz", "holo_3.bmp"}));
  // The identity of the inputs changes with any byte and any role.
  std::vector<RunInput> changed = inputs;
  changed[3].bytes = &y;
  EXPECT_NE(inputsDigest(changed), inputsDigest(inputs));
  changed = inputs;
  changed[3].role = "hologram";
  EXPECT_NE(inputsDigest(changed), inputsDigest(inputs));
}

TEST(CommandLine, OptionsComeFirstAndBadOnesSayWhy) {
  const struct {
    std::vector<std::string_view> words;
    std::string problem;
    CommandLine::Action action = CommandLine::Action::Run;
    int threads = 0;
    std::string path = "experiment.xml";
  } cases[] = {
      {{}, ""},
      {{"e.xml", "--frob", "x"}, "", CommandLine::Action::Run, 0, "e.xml"},
      {{"--threads", "3", "--shard=2/4", "--output", "out", "e.xml"},
       "",
       CommandLine::Action::Run,
       3,
       "e.xml"},
      {{"--threads=1"}, "", CommandLine::Action::Run, 1},
      {{"--merge", "out"}, "", CommandLine::Action::Merge},
      {{"--help", "e.xml"}, "", CommandLine::Action::Help},
      {{"--version"}, "", CommandLine::Action::Version},
      {{"--frob"}, "unknown option '--frob'"},
      {{"-t", "2"}, "unknown option '-t'"},
      {{"--threads", "0"}, "--threads needs a whole number from 1, not '0'"},
      {{"--threads", "2x"}, "--threads needs a whole number from 1, not '2x'"},
      {{"--shard", "5/4"}, "--shard needs K/N with 1 <= K <= N, not '5/4'"},
      {{"--shard", "0/4"}, "--shard needs K/N with 1 <= K <= N, not '0/4'"},
      {{"--output"}, "--output needs a value"},
      {{"--output="}, "--output needs a directory"},
      {{"--help=yes"}, "--help takes no value"},
      {{"--merge", "out", "--threads", "2"}, "--merge takes no other options"},
      {{"--shard", "1/2", "e.xml"},
       "--shard needs --output DIR: the shards of one sweep write into one "
       "directory, which --merge then joins"},
  };
  for (const auto& c : cases) {
    CommandLine line;
    EXPECT_EQ(parseCommandLine(c.words, line), c.problem);
    if (!c.problem.empty()) continue;
    EXPECT_EQ(line.action, c.action);
    EXPECT_EQ(line.options.threads, c.threads);
    EXPECT_EQ(line.experimentPath, c.path);
  }
  CommandLine line;
  ASSERT_EQ(parseCommandLine({"--shard", "2/4", "--output", "out"}, line), "");
  EXPECT_TRUE(line.options.shard->holds(5));
  EXPECT_FALSE(line.options.shard->holds(4));
  EXPECT_EQ(line.options.shard->resultsFileName(), "results.2-of-4.xml");
  EXPECT_EQ(line.options.outputDirectory, "out");
}

}  // namespace
