#pragma once

// What every test program shares: scratch directories, files, experiment
// files, and running the real executables the way a user does.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

/// Four bytes of v, little-endian, as TIFF files of this machine hold it.
inline std::string le32(std::uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
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

/// A directory of its own for one test, removed with everything in it
/// unless the test failed (then it is left for a look).
struct ScratchDir {
  fs::path dir = [] {
    std::string name = fs::temp_directory_path() / "holorecon-XXXXXX";
    return fs::path(mkdtemp(name.data()));
  }();
  ScratchDir() = default;
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    if (!::testing::Test::HasFailure()) fs::remove_all(dir, ignored);
  }
  std::string path(const std::string& name) const { return dir / name; }
  /// Writes bytes to name, making its directories; returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    fs::create_directories((dir / name).parent_path());
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return path(name);
  }
};

/// An experiment file; the fields are the parts the tests vary, extra goes
/// in before the closing tag.
struct ExperimentText {
  std::string type = "Reconstruction", method = "Fresnel";
  std::string hologram = "holo.png", hologram2;
  std::string preferredSize = "0";
  std::string wavelength = R"(<Single value="532e-9"/>)";
  std::string zDistance = R"(<Single value="0.05"/>)";
  std::string pitch = R"(<Single value="3.45e-6"/>)";
  std::string extra;

  std::string xml() const {
    return "<Experiment type=\"" + type + "\" method=\"" + method +
           "\">\n  <Hologram value=\"" + hologram + "\" value2=\"" + hologram2 +
           "\" preferredSize=\"" + preferredSize +
           "\" clipType=\"Center\"/>\n  <Wavelength>" + wavelength +
           "</Wavelength>\n  <Angle><Single value=\"0.02\"/></Angle>\n"
           "  <ZDistance>" +
           zDistance + "</ZDistance>\n  <CcdPixelDistance>" + pitch +
           "</CcdPixelDistance>\n"
           "  <Output normalize=\"true\" brightness=\"1\"/>\n" +
           extra + "</Experiment>\n";
  }
};

/// What one run of an executable left behind.
struct RunOutcome {
  int status = -1;
  std::string out, err;
  std::vector<fs::path> runDirectories;  // directories it made in its cwd
};

inline const std::string kHolorecon = HOLORECON_BINARY_DIR "/app/holorecon";
inline const std::string kHolosim = HOLORECON_BINARY_DIR "/tools/holosim";

/// Runs "program arguments" (a shell command line) in cwd with standard
/// output and error captured into files beside it. A run that hangs (a
/// FIFO that blocks, say) is killed after two minutes and fails the test
/// instead of the whole suite.
inline RunOutcome runProgram(const std::string& program,
                             const std::string& arguments,
                             const fs::path& cwd) {
  const fs::path out = cwd.parent_path() / (cwd.filename().string() + ".out");
  const fs::path err = cwd.parent_path() / (cwd.filename().string() + ".err");
  std::set<std::string> before = fileNames(cwd);
  // Handed over in the environment, so that no quoting can go wrong.
  setenv("HOLORECON_TEST_COMMAND", (program + " " + arguments).c_str(), 1);
  const std::string command =
      "cd '" + cwd.string() +
      "' && timeout 120 sh -c \"$HOLORECON_TEST_COMMAND\""
      " >'" +
      out.string() + "' 2>'" + err.string() + "'";
  const int raw = std::system(command.c_str());
  RunOutcome outcome{
      WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err), {}};
  fs::remove(out);
  fs::remove(err);
  for (const std::string& name : fileNames(cwd)) {
    if (!before.count(name) && fs::is_directory(cwd / name)) {
      outcome.runDirectories.push_back(cwd / name);
    }
  }
  return outcome;
}
