#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under the system's temporary directory, removed with
// its contents at the end of the test.
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

  std::string file(const std::string& name) const { return path_ / name; }
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

// A complete experiment file with four parameter sets.
inline const std::string kGoodExperiment =
    R"(<?xml version="1.0"?>
<Experiment type="Reconstruction" method="Fresnel">
  <Hologram value="h.bmp" preferredSize="512" clipType="Center"/>
  <Wavelength><Single value="6.328e-7"/></Wavelength>
  <Angle><Single value="0"/></Angle>
  <ZDistance><Range minVal="0.25" maxVal="1.0" step="0.25"/></ZDistance>
  <CcdPixelDistance><Single value="6.7e-6"/></CcdPixelDistance>
  <Output normalize="true" brightness="1.5"/>
</Experiment>
)";

// text with the first occurrence of from replaced by to.
inline std::string edited(std::string text, const std::string& from,
                          const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no " << from << " to edit";
    return text;
  }
  return text.replace(at, from.size(), to);
}
