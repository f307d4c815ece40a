// Files from cameras, colleagues and scripts: whatever they hold, the
// program answers with a clear error and a non-zero exit, or does its job,
// and writes nothing outside its own run directory.

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/app/program.h"

namespace fs = std::filesystem;

namespace {

using HostileInputTest = ProgramTest;

/// Size and time of every file below a directory, except the program's
/// captured console.
std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(
    const fs::path& root) {
  std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name == "out.txt" || name == "err.txt") continue;
    files[entry.path()] = {entry.is_regular_file() ? entry.file_size() : 0,
                           entry.last_write_time()};
  }
  return files;
}

std::string bigEndian32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
          static_cast<char>(v >> 8), static_cast<char>(v)};
}

/// One PNG chunk: length, type and data, and the CRC the decoder checks.
std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : body) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return bigEndian32(static_cast<std::uint32_t>(data.size())) + body +
         bigEndian32(~crc);
}

/// A well-formed PNG whose header claims width x height grey pixels and
/// whose image data is a few stray bytes.
std::string pngClaiming(std::uint32_t width, std::uint32_t height) {
  const std::string header =
      bigEndian32(width) + bigEndian32(height) + std::string("\x08\0\0\0\0", 5);
  return std::string("\x89PNG\r\n\x1a\n") + pngChunk("IHDR", header) +
         pngChunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\x01", 8)) +
         pngChunk("IEND", "");
}

struct HostileCase {
  const char* name;
  /// Writes the inputs into the scratch directory; the experiment file is
  /// exp.xml.
  std::function<void(HostileInputTest&)> prepare;
  int status;                 // expected exit status
  const char* errorContains;  // expected on standard error
};

ExperimentText withHologram(const std::string& value,
                            const std::string& value2 = "") {
  ExperimentText experiment;
  experiment.hologram = value;
  if (!value2.empty()) {
    experiment.type = "DHI";
    experiment.hologram2 = value2;
  }
  return experiment;
}

std::string replaced(std::string text, const std::string& from,
                     const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

TEST_F(HostileInputTest, EveryInputGivesAClearAnswerAndWritesOnlyItsRun) {
  const std::string good = ExperimentText().xml();
  const HostileCase cases[] = {
      {"empty experiment file",
       [](HostileInputTest& t) { t.writeText("exp.xml", ""); }, 1,
       "Can't load a experiment"},
      {"binary experiment file",
       [](HostileInputTest& t) {
         std::string bytes;
         for (int i = 0; i < 4096; ++i) bytes += static_cast<char>(i * 131);
         t.writeText("exp.xml", bytes);
       },
       1, "Can't load a experiment"},
      {"50 MB experiment file",
       [&good](HostileInputTest& t) {
         t.writeText("exp.xml",
                     replaced(good, "holo.png", std::string(50 << 20, 'a')));
       },
       1, "The image couldn't be loaded"},
      {"deep nesting",
       [](HostileInputTest& t) {
         std::string nested;
         for (int i = 0; i < 1000000; ++i) nested += "<Experiment>";
         t.writeText("exp.xml", nested);
       },
       1, "Can't load a experiment"},
      {"entity expansion",
       [&good](HostileInputTest& t) {
         std::string doctype = "<!DOCTYPE Experiment [<!ENTITY l0 \"lol\">";
         for (int i = 1; i < 10; ++i) {
           doctype += "<!ENTITY l" + std::to_string(i) + " \"";
           for (int k = 0; k < 10; ++k)
             doctype += "&l" + std::to_string(i - 1) + ";";
           doctype += "\">";
         }
         t.writeText("exp.xml",
                     doctype + "]>\n" + replaced(good, "holo.png", "&l9;"));
       },
       1, "The image couldn't be loaded"},
      {"NaN wavelength",
       [&good](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         t.writeText("exp.xml", replaced(good, "532e-9", "nan"));
       },
       1, "infinite or NAN"},
      {"infinite and huge distances",
       [&good](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         std::string xml = replaced(good, "Fresnel", "Convolution");
         t.writeText(
             "exp.xml",
             replaced(xml, R"(<Single value="0.05"/>)",
                      R"(<Range minVal="1e308" maxVal="inf" step="1e308"/>)"));
       },
       1, "Can't load a experiment"},
      {"huge distance",
       [&good](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         std::string xml = replaced(good, "Fresnel", "Convolution");
         t.writeText("exp.xml", replaced(xml, "0.05", "1e308"));
       },
       1, "infinite or NAN"},
      {"ten million sets",
       [&good](HostileInputTest& t) {
         t.writeText("exp.xml",
                     replaced(good, R"(<Single value="0.05"/>)",
                              R"(<Range minVal="0" maxVal="1" step="1e-7"/>)"));
       },
       1, "more than 1000000"},
      {"preferredSize 2147483647",
       [](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         ExperimentText e;
         e.preferredSize = 2147483647;
         t.writeText("exp.xml", e.xml());
       },
       1, "Not enough memory for the hologram"},
      {"preferredSize 60000",
       [](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         ExperimentText e;
         e.preferredSize = 60000;
         t.writeText("exp.xml", e.xml());
       },
       1, "Not enough memory for the hologram"},
      {"preferredSize -1",
       [](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         ExperimentText e;
         e.preferredSize = -1;
         t.writeText("exp.xml", e.xml());
       },
       1, "The preferred size must be positive"},
      {"truncated picture",
       [](HostileInputTest& t) {
         t.writeHologram("whole.png", 64);
         const std::string png = readFile(t.dir() / "whole.png");
         t.writeText("cut.png", png.substr(0, png.size() / 2));
         t.writeText("exp.xml", withHologram("cut.png").xml());
       },
       1, "The image couldn't be loaded"},
      {"empty picture",
       [](HostileInputTest& t) {
         t.writeText("zero.png", "");
         t.writeText("exp.xml", withHologram("zero.png").xml());
       },
       1, "The image couldn't be loaded"},
      {"header claiming 100000 x 100000 pixels",
       [](HostileInputTest& t) {
         t.writeText("huge.png", pngClaiming(100000, 100000));
         t.writeText("exp.xml", withHologram("huge.png").xml());
       },
       1, "claims 100000 x 100000 pixels"},
      {"directory instead of a picture",
       [](HostileInputTest& t) {
         fs::create_directories(t.dir() / "folder.png");
         t.writeText("exp.xml", withHologram("folder.png").xml());
       },
       1, "The image couldn't be loaded"},
      {"missing second hologram",
       [](HostileInputTest& t) {
         t.writeHologram("holo.png", 16);
         t.writeText("exp.xml", withHologram("holo.png", "gone.png").xml());
       },
       1, "The image couldn't be loaded"},
      {"path with spaces and non-ASCII letters",
       [](HostileInputTest& t) {
         t.writeHologram("Bilder/Grüße aus Köln/holo gram.png", 16);
         t.writeText("exp.xml",
                     withHologram("Bilder/Grüße aus Köln/holo gram.png").xml());
       },
       0, ""},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    c.prepare(*this);
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
    EXPECT_EQ(after, before) << "something was written outside the run";
  }
}

}  // namespace
