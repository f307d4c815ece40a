#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A directory of its own under the system's temporary directory, removed
// with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string name =
        (std::filesystem::temp_directory_path() / "holorecon-XXXXXX").string();
    path_ = mkdtemp(name.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const {
    return (path_ / name).string();
  }

  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
    return file(name);
  }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A complete, valid experiment file, one member per element, so that a test
// can break exactly one of them.
struct ExperimentText {
  std::string root = R"(type="Reconstruction" method="Fresnel")";
  std::string hologram =
      R"(<Hologram value="h.bmp" preferredSize="512" clipType="Center"/>)";
  std::string wavelength =
      R"(<Wavelength><Single value="6.328e-7"/></Wavelength>)";
  std::string angle = R"(<Angle><Single value="0"/></Angle>)";
  std::string zDistance =
      R"(<ZDistance><Range minVal="0.25" maxVal="1.0" step="0.25"/></ZDistance>)";
  std::string ccdPixelDistance =
      R"(<CcdPixelDistance><Single value="6.7e-6"/></CcdPixelDistance>)";
  std::string output = R"(<Output normalize="true" brightness="1.5"/>)";

  std::string text() const {
    return "<?xml version=\"1.0\"?>\n<Experiment " + root + ">\n" + hologram +
           wavelength + angle + zDistance + ccdPixelDistance + output +
           "\n</Experiment>\n";
  }
};
