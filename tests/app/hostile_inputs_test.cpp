// Files from cameras, colleagues and scripts: whatever they hold, the
// program answers with a clear error and a non-zero exit, or does its job,
// and writes nothing outside its own run directory.

#include <functional>
#include <map>

#include "program.h"

namespace {

using HostileInputTest = ProgramTest;

/// Size and time of every file below root but the captured console.
std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(
    const fs::path& root) {
  std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().extension() == ".txt") continue;
    files[entry.path()] = {entry.is_regular_file() ? entry.file_size() : 0,
                           entry.last_write_time()};
  }
  return files;
}

std::string bigEndian32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
          static_cast<char>(v >> 8), static_cast<char>(v)};
}

/// A PNG chunk with the CRC its decoder checks.
std::string pngChunk(const std::string& type, const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : type + data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & -(crc & 1u));
  }
  return bigEndian32(static_cast<std::uint32_t>(data.size())) + type + data +
         bigEndian32(~crc);
}

/// A well-formed PNG whose header claims 100000 x 100000 grey pixels and
/// whose image data is a few stray bytes.
std::string hugePng() {
  return "\x89PNG\r\n\x1a\n" +
         pngChunk("IHDR", bigEndian32(100000) + bigEndian32(100000) +
                              std::string("\x08\0\0\0\0", 5)) +
         pngChunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\x01", 8)) +
         pngChunk("IEND", "");
}

std::string replaced(std::string text, const std::string& from,
                     const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

ExperimentText with(int preferredSize, const std::string& hologram = "holo.png",
                    const std::string& hologram2 = "") {
  ExperimentText e;
  e.preferredSize = preferredSize;
  e.hologram = hologram;
  e.hologram2 = hologram2;
  if (!hologram2.empty()) e.type = "DHI";
  return e;
}

struct HostileCase {
  const char* name;
  std::string experiment;                      // written as exp.xml
  std::function<void(ProgramTest&)> pictures;  // other files
  int status;
  const char* errorContains;
};

TEST_F(HostileInputTest, EveryInputGivesAClearAnswerAndWritesOnlyItsRun) {
  const std::string good = ExperimentText().xml();
  const std::string convolution = replaced(good, "Fresnel", "Convolution");
  std::string nested, binary, laughs = "<!DOCTYPE E [<!ENTITY l0 \"lol\">";
  for (int i = 0; i < 1000000; ++i) nested += "<Experiment>";
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i * 131);
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  const auto noise = [](ProgramTest& t) { t.writeHologram("holo.png", 16); };
  const auto nothing = [](ProgramTest&) {};
  const HostileCase cases[] = {
      {"empty file", "", nothing, 1, "Can't load a experiment"},
      {"binary file", binary, nothing, 1, "Can't load a experiment"},
      {"deep nesting", nested, nothing, 1, "Can't load a experiment"},
      {"50 MB path", replaced(good, "holo.png", std::string(50 << 20, 'a')),
       nothing, 1, "The image couldn't be loaded"},
      {"entity expansion", laughs + "]>\n" + replaced(good, "holo.png", "&l9;"),
       nothing, 1, "The image couldn't be loaded"},
      {"NaN wavelength", replaced(good, "532e-9", "nan"), noise, 1,
       "infinite or NAN"},
      {"1e308 distance", replaced(convolution, "0.05", "1e308"), noise, 1,
       "infinite or NAN"},
      {"infinite range",
       replaced(good, R"(<Single value="0.05"/>)",
                R"(<Range minVal="1e308" maxVal="inf" step="1e308"/>)"),
       noise, 1, "never ends"},
      {"ten million sets",
       replaced(good, R"(<Single value="0.05"/>)",
                R"(<Range minVal="0" maxVal="1" step="1e-7"/>)"),
       noise, 1, "more than 1000000"},
      {"preferredSize 2147483647", with(2147483647).xml(), noise, 1,
       "Not enough memory for the hologram"},
      {"preferredSize 60000", with(60000).xml(), noise, 1,
       "Not enough memory for the hologram"},
      {"preferredSize -1", with(-1).xml(), noise, 1,
       "The preferred size must be positive"},
      {"truncated picture", with(0, "cut.png").xml(),
       [](ProgramTest& t) {
         t.writeHologram("whole.png", 64);
         const std::string png = readFile(t.dir_ / "whole.png");
         t.writeText("cut.png", png.substr(0, png.size() / 2));
       },
       1, "The image couldn't be loaded"},
      {"empty picture", with(0, "zero.png").xml(),
       [](ProgramTest& t) { t.writeText("zero.png", ""); }, 1,
       "The image couldn't be loaded"},
      {"100000 x 100000 header", with(0, "huge.png").xml(),
       [](ProgramTest& t) { t.writeText("huge.png", hugePng()); }, 1,
       "claims 100000 x 100000 pixels"},
      {"65535 x 65535 GIF frame", with(0, "huge.gif").xml(),
       [](ProgramTest& t) {
         t.writeText("huge.gif", std::string("GIF89a\x0c\0\x05\0\0\0\0"
                                             ",\0\0\0\0\xff\xff\xff\xff\0"
                                             "\x02\x02\x44\x01\0;",
                                             29));
       },
       1, "claims 65535 x 65535 pixels"},
      {"directory as picture", with(0, "folder.png").xml(),
       [](ProgramTest& t) { fs::create_directories(t.dir_ / "folder.png"); }, 1,
       "The image couldn't be loaded"},
      {"missing second hologram", with(0, "holo.png", "gone.png").xml(), noise,
       1, "The image couldn't be loaded"},
      {"holograms of two sizes", with(0, "holo.png", "big.png").xml(),
       [](ProgramTest& t) {
         t.writeHologram("holo.png", 16);
         t.writeHologram("big.png", 32);
       },
       1, "The holograms must have the same size"},
      {"spaces and non-ASCII letters",
       with(0, "Grüße aus Köln/holo 1.png").xml(),
       [](ProgramTest& t) { t.writeHologram("Grüße aus Köln/holo 1.png", 16); },
       0, ""},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    writeText("exp.xml", c.experiment);
    c.pictures(*this);
    const auto before = snapshot(dir_);
    const RunOutcome outcome = run("exp.xml");
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_NE(outcome.err.find(c.errorContains), std::string::npos)
        << outcome.err;
    if (c.status == 0) {
      EXPECT_EQ(outcome.err, "");
    }
    ASSERT_EQ(outcome.runDirectories.size(), 1u);
    auto after = snapshot(dir_);
    std::erase_if(after, [&](const auto& file) {
      return file.first.string().rfind(outcome.runDirectories[0].string(), 0) ==
             0;
    });
    EXPECT_EQ(after, before) << "written outside the run directory";
  }
}

}  // namespace
