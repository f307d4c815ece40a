#pragma once

// Runs the real holorecon executable in a scratch directory on pictures the
// test makes, and collects what a user would look at: the run directory,
// the console and the exit status.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "images/images.h"

namespace fs = std::filesystem;

inline const std::string kProgram = HOLORECON_BINARY_DIR "/app/holorecon";

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

/// What one run of the program left behind.
struct RunOutcome {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<fs::path> runDirectories;  // directories the run created
};

/// An experiment description to write as a file.
struct ExperimentText {
  std::string type = "Reconstruction";
  std::string method = "Fresnel";
  std::string hologram = "holo.png";
  std::string hologram2;
  int preferredSize = 0;
  std::string zDistance = R"(<Single value="0.05"/>)";

  std::string xml() const {
    std::ostringstream text;
    text << "<Experiment type=\"" << type << "\" method=\"" << method << "\">\n"
         << "  <Hologram value=\"" << hologram << "\" value2=\"" << hologram2
         << "\" preferredSize=\"" << preferredSize
         << "\" clipType=\"Center\"/>\n"
         << "  <Wavelength><Single value=\"532e-9\"/></Wavelength>\n"
         << "  <Angle><Single value=\"0.02\"/></Angle>\n"
         << "  <ZDistance>" << zDistance << "</ZDistance>\n"
         << "  <CcdPixelDistance><Single "
            "value=\"3.45e-6\"/></CcdPixelDistance>\n"
         << "  <Output normalize=\"true\" brightness=\"1\"/>\n"
         << "</Experiment>\n";
    return text.str();
  }
};

class ProgramTest : public ::testing::Test {
 public:
  const fs::path& dir() const { return dir_; }

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("holorecon_e2e_" + std::to_string(::getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  /// A noisy grey picture of n x n pixels; noise reconstructs to something
  /// at every distance, which is all these runs need.
  void writeHologram(const std::string& name, int n, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n) *
                                     static_cast<std::size_t>(n));
    for (auto& p : pixels) p = static_cast<std::uint8_t>(random() & 0xff);
    fs::create_directories((dir_ / name).parent_path());
    ASSERT_TRUE(saveGreyPng8((dir_ / name).string(), pixels.data(), n, n));
  }

  void writeText(const std::string& name, const std::string& text) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }

  static std::set<fs::path> directories(const fs::path& in) {
    std::set<fs::path> result;
    for (const auto& entry : fs::directory_iterator(in)) {
      if (entry.is_directory()) result.insert(entry.path());
    }
    return result;
  }

  /// Runs the program with arguments in the scratch directory, or in its
  /// subdirectory where, and collects the run directories it made there.
  RunOutcome run(const std::string& arguments, const std::string& where = "") {
    const fs::path cwd = where.empty() ? dir_ : dir_ / where;
    const std::set<fs::path> before = directories(cwd);
    const std::string command = "cd '" + cwd.string() + "' && " + kProgram +
                                " " + arguments + " >'" +
                                (dir_ / "out.txt").string() + "' 2>'" +
                                (dir_ / "err.txt").string() + "'";
    const int raw = std::system(command.c_str());
    RunOutcome outcome;
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    outcome.out = readFile(dir_ / "out.txt");
    outcome.err = readFile(dir_ / "err.txt");
    for (const fs::path& d : directories(cwd)) {
      if (!before.count(d)) outcome.runDirectories.push_back(d);
    }
    return outcome;
  }

  fs::path dir_;
};

inline std::set<std::string> fileNames(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}
