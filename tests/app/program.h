#pragma once

// Runs the real holorecon executable in a scratch directory on pictures the
// test makes, and collects what a user would look at.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "images.h"

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

inline std::set<std::string> fileNames(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

/// An experiment file; the fields are the parts the tests vary.
struct ExperimentText {
  std::string type = "Reconstruction", method = "Fresnel";
  std::string hologram = "holo.png", hologram2;
  int preferredSize = 0;
  std::string zDistance = R"(<Single value="0.05"/>)";

  std::string xml() const {
    return "<Experiment type=\"" + type + "\" method=\"" + method +
           "\">\n  <Hologram value=\"" + hologram + "\" value2=\"" + hologram2 +
           "\" preferredSize=\"" + std::to_string(preferredSize) +
           "\" clipType=\"Center\"/>\n"
           "  <Wavelength><Single value=\"532e-9\"/></Wavelength>\n"
           "  <Angle><Single value=\"0.02\"/></Angle>\n"
           "  <ZDistance>" +
           zDistance +
           "</ZDistance>\n"
           "  <CcdPixelDistance><Single "
           "value=\"3.45e-6\"/></CcdPixelDistance>\n"
           "  <Output normalize=\"true\" brightness=\"1\"/>\n</Experiment>\n";
  }
};

/// What one run of the program left behind.
struct RunOutcome {
  int status = -1;
  std::string out, err;
  std::vector<fs::path> runDirectories;  // the directories it made
};

class ProgramTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("holorecon_e2e_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  /// An n x n picture of noise, which reconstructs at any distance.
  void writeHologram(const std::string& name, int n, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n * n));
    for (auto& p : pixels) p = static_cast<std::uint8_t>(random());
    fs::create_directories((dir_ / name).parent_path());
    ASSERT_EQ(saveGreyPng8((dir_ / name).string(), pixels.data(), n, n), "");
  }

  void writeText(const std::string& name, const std::string& text) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }

  /// Runs the program in the scratch directory, or in its subdirectory
  /// where, with the console captured beside it.
  RunOutcome run(const std::string& arguments, const std::string& where = "") {
    const fs::path cwd = dir_ / where;
    const std::set<std::string> before = fileNames(cwd);
    const std::string command =
        "cd '" + cwd.string() + "' && " HOLORECON_BINARY_DIR "/app/holorecon " +
        arguments + " >'" + (dir_ / "out.txt").string() + "' 2>'" +
        (dir_ / "err.txt").string() + "'";
    const int raw = std::system(command.c_str());
    RunOutcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1,
                       readFile(dir_ / "out.txt"),
                       readFile(dir_ / "err.txt"),
                       {}};
    for (const std::string& name : fileNames(cwd)) {
      if (!before.count(name) && fs::is_directory(cwd / name)) {
        outcome.runDirectories.push_back(cwd / name);
      }
    }
    return outcome;
  }

  fs::path dir_;
};
