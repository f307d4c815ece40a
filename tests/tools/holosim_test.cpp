// The holosim program as a user runs it: its pictures, its experiment file
// and its answers to bad arguments and files it cannot read or write.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "experiment/experiment.h"
#include "images/images.h"
#include "tools/simulation.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string error;
};

std::string quoted(const std::string& word) {
  std::string text = "'";
  for (const char ch : word) {
    if (ch == '\'') {
      text += "'\\''";
    } else {
      text += ch;
    }
  }
  return text + "'";
}

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class Holosim : public testing::Test {
 protected:
  void SetUp() override {
    directory_ =
        fs::temp_directory_path() /
        ("holosim_cli_" + std::to_string(::getpid()) + "_" +
         testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  /// Runs holosim with the arguments, in the scratch directory.
  Outcome run(const std::vector<std::string>& arguments) const {
    std::string command = "cd ";
    command += quoted(directory_.string());
    command += " && ";
    command += quoted(HOLORECON_BINARY_DIR "/tools/holosim");
    for (const std::string& argument : arguments) {
      command += ' ';
      command += quoted(argument);
    }
    command += " >";
    command += quoted((directory_ / "out.txt").string());
    command += " 2>";
    command += quoted((directory_ / "error.txt").string());
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = contents(directory_ / "out.txt");
    outcome.error = contents(directory_ / "error.txt");
    return outcome;
  }

  RealField load(const std::string& name, int& size) const {
    RealField samples;
    std::ostringstream messages;
    EXPECT_TRUE(
        loadSquareImage((directory_ / name).string(), samples, size, messages))
        << messages.str();
    return samples;
  }

  fs::path directory_;
};

// Status 2 for bad arguments, 1 for files; one line on standard error.
TEST_F(Holosim, RefusesBadArgumentsAndReportsUnusableFiles) {
  std::ofstream(directory_ / "text.png") << "not a picture";
  std::vector<std::uint8_t> black(32 * 32, 0);
  ASSERT_TRUE(
      saveGreyPng8((directory_ / "black.png").string(), black.data(), 32, 32));
  const struct {
    std::vector<std::string> arguments;
    int status;
    const char* words;
  } cases[] = {
      {{}, 2, "no output picture given"},
      {{"a.png", "b.png"}, 2, "one picture only"},
      {{"a.png", "--frobnicate"}, 2, "unknown option '--frobnicate'"},
      {{"a.png", "--size"}, 2, "--size needs a value"},
      {{"--size=2.5", "a.png"}, 2, "--size: '2.5' is not a whole number"},
      {{"--size", "0", "a.png"}, 2, "size must be at least 16"},
      {{"--size", "99999", "a.png"}, 2, "size must be at most 4096"},
      {{"--wavelength", "0", "a.png"}, 2, "wavelength must be a positive"},
      {{"--pitch", "-3e-6", "a.png"}, 2, "pitch must be a positive"},
      {{"--distance", "1cm", "a.png"}, 2, "--distance: '1cm' is not a number"},
      {{"--angle", "0.5", "a.png"}, 2, "angle is too steep"},
      {{"--noise", "-1", "a.png"}, 2, "noise must be a number from 0"},
      {{"--method", "fresnel", "a.png"}, 2, "is not Fresnel or Convolution"},
      {{"--diffuse=yes", "a.png"}, 2, "--diffuse takes no value"},
      {{"--size", "32", "missing/a.png"},
       1,
       "can't write the picture 'missing/a.png'"},
      {{"--size", "32", "--deform", "1", "a.png", "--experiment", "no/e.xml"},
       1,
       "can't write the experiment file 'no/e.xml'"},
      {{"--size", "32", "--object", "absent.png", "a.png"},
       1,
       "can't read the object picture 'absent.png'"},
      {{"--size", "32", "--object", "text.png", "a.png"},
       1,
       "can't read the object picture 'text.png'"},
      {{"--size", "32", "--object", "black.png", "a.png"}, 1, "is black"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.words);
    const Outcome outcome = run(test.arguments);
    EXPECT_EQ(outcome.status, test.status);
    EXPECT_EQ(outcome.error.rfind("holosim: ", 0), 0u) << outcome.error;
    EXPECT_NE(outcome.error.find(test.words), std::string::npos);
    EXPECT_EQ(outcome.error.find('\n'), outcome.error.size() - 1);
    if (test.status == 2) {
      EXPECT_FALSE(fs::exists(directory_ / "a.png"));  // nothing written
    }
  }
  const Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: holosim [OPTIONS] PICTURE", 0), 0u);
}

TEST_F(Holosim, WritesThePicturesTheSimulationRecords) {
  // The built-in bars as a picture: the same holograms, or the picture's
  // rows were taken upside down somewhere.
  const RealField bars = barsPattern(64);
  std::vector<std::uint8_t> pixels;
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < 64; ++c) pixels.push_back(bars[r][c] > 0 ? 200 : 0);
  }
  const std::string mask = (directory_ / "mask.png").string();
  ASSERT_TRUE(saveGreyPng8(mask, pixels.data(), 64, 64));
  const Outcome outcome = run({"--size", "64", "--distance=2e-3", "--object",
                               "mask.png", "--diffuse", "--seed", "5",
                               "--noise", "1.5", "--deform", "2", "h.png"});
  ASSERT_EQ(outcome.status, 0) << outcome.error;
  EXPECT_EQ(outcome.out + outcome.error, "");

  SimulationOptions options;
  options.recording.size = 64;
  options.recording.distance = 2e-3;
  options.diffuse = true;
  options.seed = 5;
  options.noise = 1.5;
  options.deformed = true;
  options.deform = 2.0;
  const Holograms expected = simulate(bars.rows(), options);
  int size = 0;
  const RealField first = load("h.png", size);
  const RealField second = load("h_deformed.png", size);
  ASSERT_EQ(size, 64);
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < 64; ++c) {
      ASSERT_EQ(first[r][c], expected.first[r][c]) << r << ", " << c;
      ASSERT_EQ(second[r][c], expected.second[r][c]) << r << ", " << c;
    }
  }
}

TEST_F(Holosim, WritesAnExperimentWhosePathsWorkFromItsDirectory) {
  fs::create_directories(directory_ / "pictures");
  fs::create_directories(directory_ / "runs");
  const Outcome outcome =
      run({"--size", "32", "--distance", "1e-3", "--deform", "1", "--method",
           "Fresnel", "--experiment", "runs/dhi.xml", "pictures/p.png"});
  ASSERT_EQ(outcome.status, 0) << outcome.error;
  Experiment experiment;
  ASSERT_TRUE(experiment.load((directory_ / "runs" / "dhi.xml").string()))
      << experiment.loadError;
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Fresnel);
  EXPECT_EQ(experiment.hologramPath, "../pictures/p.png");
  EXPECT_EQ(experiment.hologramPath2, "../pictures/p_deformed.png");
  EXPECT_TRUE(fs::exists(directory_ / "runs" / experiment.hologramPath2));

  // Without --deform: one picture, a plain reconstruction, by Convolution.
  ASSERT_EQ(run({"--size", "32", "--experiment", "plain.xml", "p.png"}).status,
            0);
  Experiment plain;
  ASSERT_TRUE(plain.load((directory_ / "plain.xml").string()));
  EXPECT_EQ(plain.type, ExperimentType::Reconstruction);
  EXPECT_EQ(plain.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(plain.hologramPath, "p.png");
  EXPECT_FALSE(fs::exists(directory_ / "p_deformed.png"));
}

}  // namespace
