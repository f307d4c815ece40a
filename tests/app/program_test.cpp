// The real programs, run as a user runs them: what they print, what they
// write, and how they answer whatever a hostile or unlucky user hands them.

#include <sys/stat.h>

#include <functional>
#include <map>
#include <random>

#include "images.h"
#include "support.h"

namespace {

using Names = std::set<std::string>;

/// An n x n grey picture of noise, which reconstructs at any distance.
void writeNoise(const ScratchDir& dir, const std::string& name, int n,
                unsigned seed = 1) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n * n));
  for (auto& p : pixels) p = static_cast<std::uint8_t>(random());
  fs::create_directories((dir.dir / name).parent_path());
  ASSERT_EQ(saveGreyPng8(dir.path(name), pixels.data(), n, n), "");
}

std::string replaced(std::string text, const std::string& from,
                     const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

RunOutcome holorecon(const ScratchDir& dir, const std::string& arguments) {
  return runProgram(kHolorecon, arguments, dir.dir);
}

TEST(Program, SweepsWriteOnePicturePerSetWithResultsAndArchive) {
  for (const std::string method : {"Fresnel", "Convolution"}) {
    SCOPED_TRACE(method);
    const ScratchDir dir;
    writeNoise(dir, "holo.png", 32);
    ExperimentText experiment;
    experiment.method = method;
    experiment.zDistance =
        R"(<Range minVal="0.01" maxVal="0.11" step="0.01"/>)";
    dir.write("exp.xml", experiment.xml());

    const RunOutcome outcome = holorecon(dir, "exp.xml ignored.xml --verbose");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    ASSERT_EQ(outcome.runDirectories.size(), 1u);
    const fs::path run = outcome.runDirectories[0];
    Names expected = {"results.xml", "params"};
    for (int i = 0; i <= 10; ++i) {
      expected.insert("result_" + std::string(i < 10 ? "0" : "") +
                      std::to_string(i) + ".png");
    }
    EXPECT_EQ(fileNames(run), expected);
    EXPECT_EQ(fileNames(run / "params"), (Names{"holo.png", "exp.xml"}));
    EXPECT_EQ(readFile(run / "params/exp.xml"), experiment.xml());
    EXPECT_EQ(readFile(run / "params/holo.png"),
              readFile(dir.path("holo.png")));
    // Lengths in metres keep their digits.
    const std::string results = readFile(run / "results.xml");
    for (const char* text : {"hologramsCount=\"11\"", "\"5.32e-07\"",
                             "\"3.45e-06\"", "<ZDistance value=\"0.110000\""}) {
      EXPECT_NE(results.find(text), std::string::npos) << text;
    }
    const std::vector<std::string> out = lines(outcome.out);
    ASSERT_EQ(out.size(), 14u) << outcome.out;
    EXPECT_EQ(out[0],
              method + " reconstruction experiment (exp.xml) is starting...");
    EXPECT_EQ(out[1], "Results go to " + run.filename().string());
    EXPECT_EQ(out[2].rfind("Step 1/11 completed (", 0), 0u);
    EXPECT_NE(out[12].find("Step 11/11 completed ("), std::string::npos);
    EXPECT_NE(out[12].find("s.). Remained ~0s."), std::string::npos);
    EXPECT_EQ(out[13], "The experiment has finished");
  }
}

TEST(Program, DhiWritesThreePicturesPerSetAndArchivesEveryInput) {
  const ScratchDir dir;
  writeNoise(dir, "a/holo.png", 32, 1);
  writeNoise(dir, "b/holo.png", 32, 2);
  ExperimentText experiment;
  experiment.type = "DHI";
  experiment.method = "Convolution";
  experiment.hologram = "a/holo.png";
  experiment.hologram2 = "b/holo.png";
  dir.write("holo.png", experiment.xml());  // a third file of the same name
  const RunOutcome outcome = holorecon(dir, "holo.png");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  const fs::path run = outcome.runDirectories[0];
  EXPECT_EQ(fileNames(run),
            (Names{"result_00_intensity1.png", "result_00_intensity2.png",
                   "result_00_phaseDiff.png", "results.xml", "params"}));
  // Three inputs called holo.png: all kept, in the order they were copied.
  EXPECT_EQ(readFile(run / "params/holo.png"),
            readFile(dir.path("a/holo.png")));
  EXPECT_EQ(readFile(run / "params/holo_2.png"),
            readFile(dir.path("b/holo.png")));
  EXPECT_EQ(readFile(run / "params/holo_3.png"), experiment.xml());
  EXPECT_EQ(lines(outcome.out)[0],
            "Convolution DHI experiment (holo.png) is starting...");
}

TEST(Program, RecordedHologramReconstructsAndDefaultFileIsRead) {
  const fs::path die = HOLORECON_SOURCE_DIR "/../shared/data/pydhm/die_1.jpg";
  if (!fs::exists(die)) GTEST_SKIP() << "no recorded holograms at " << die;
  const ScratchDir dir;
  ExperimentText experiment;
  experiment.hologram = die.string();
  experiment.wavelength = R"(<Single value="632.8e-9"/>)";
  experiment.zDistance = R"(<Single value="0.30"/>)";
  experiment.pitch = R"(<Single value="7e-6"/>)";
  dir.write("experiment.xml", experiment.xml());
  const RunOutcome outcome = holorecon(dir, "");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  EXPECT_EQ(fileNames(outcome.runDirectories[0]),
            (Names{"result_00.png", "results.xml", "params"}));
  EXPECT_EQ(readFile(outcome.runDirectories[0] / "params/die_1.jpg"),
            readFile(die));
}

// The inputs are archived as the run read them, before the first step:
// files replaced during the run do not falsify the record. Progress lines
// come one by one as the sets are done, and a reader that goes away does
// not stop the run.
TEST(Program, ArchiveHoldsWhatTheRunReadAndTheConsoleMayGoAway) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 256);
  writeNoise(dir, "other.png", 256, 2);
  const std::string original = readFile(dir.path("holo.png"));
  ExperimentText experiment;
  experiment.method = "Convolution";
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.4" step="0.01"/>)";
  dir.write("exp.xml", experiment.xml());
  dir.write("other.xml", ExperimentText().xml());
  // Notes what the run directory holds at "Step 1/40", replaces both
  // inputs, and goes away after one line more.
  const std::string reader =
      "(read a; read b; read c; ls 20*/ >seen; cp other.png holo.png;"
      " cp other.xml exp.xml; read d)";
  const RunOutcome outcome =
      runProgram("bash -c '" + kHolorecon + " exp.xml | " + reader +
                     "; exit ${PIPESTATUS[0]}'",
                 "", dir.dir);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  const fs::path run = outcome.runDirectories[0];
  EXPECT_EQ(readFile(dir.path("seen")).find("results.xml"), std::string::npos);
  EXPECT_EQ(readFile(run / "params/exp.xml"), experiment.xml());
  EXPECT_EQ(readFile(run / "params/holo.png"), original);
  EXPECT_TRUE(fs::exists(run / "result_39.png"));
  EXPECT_NE(readFile(run / "results.xml").find("hologramsCount=\"40\""),
            std::string::npos);
}

/// The pictures and focus.csv of a run directory, by name.
std::map<std::string, std::string> pictures(const fs::path& run) {
  std::map<std::string, std::string> files;
  for (const std::string& name : fileNames(run)) {
    if (name.ends_with(".png") || name == "focus.csv") {
      files[name] = readFile(run / name);
    }
  }
  return files;
}

/// results.xml without its first two lines (declaration, times).
std::string parameterTable(const fs::path& results) {
  const std::string text = readFile(results);
  return text.substr(text.find('\n', text.find("<Results")) + 1);
}

// Threads and shards change how the sweep is computed, never what it gives:
// the same pictures, the same table of parameters, the lines in set order.
TEST(Program, ThreadsAndShardsGiveWhatOneThreadGives) {
  for (const std::string type : {"Reconstruction", "DHI"}) {
    SCOPED_TRACE(type);
    const ScratchDir dir;
    writeNoise(dir, "holo.png", 48, 1);
    writeNoise(dir, "two.png", 48, 2);
    ExperimentText experiment;
    experiment.type = type;
    experiment.method = "Convolution";
    experiment.hologram2 = "two.png";
    experiment.zDistance =
        R"(<Range minVal="0.01" maxVal="0.09" step="0.01"/>)";
    experiment.extra = "<Focus/>";
    dir.write("exp.xml", experiment.xml());
    const RunOutcome single = holorecon(dir, "--threads 1 exp.xml");
    ASSERT_EQ(single.status, 0) << single.err;
    const fs::path one = single.runDirectories.at(0);
    for (const char* threads : {"2", "3"}) {
      const RunOutcome outcome =
          holorecon(dir, std::string("--threads ") + threads + " exp.xml");
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      const fs::path run = outcome.runDirectories.at(0);
      EXPECT_EQ(pictures(run), pictures(one));
      EXPECT_EQ(parameterTable(run / "results.xml"),
                parameterTable(one / "results.xml"));
      const std::vector<std::string> out = lines(outcome.out);
      ASSERT_EQ(out.size(), 13u) << outcome.out;
      EXPECT_EQ(out[11], lines(single.out)[11]);  // "Sharpest: ..."
      for (int j = 1; j <= 9; ++j) {
        EXPECT_EQ(out[std::size_t(j + 1)].rfind(
                      "Step " + std::to_string(j) + "/9 completed (", 0),
                  0u);
      }
    }
    for (const char* shard : {"3/3", "1/3", "2/3"}) {
      const RunOutcome outcome = holorecon(
          dir, std::string("--shard ") + shard + " --output out exp.xml");
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_NE(outcome.out.find("Step 3/3 completed"), std::string::npos);
    }
    const RunOutcome merged = holorecon(dir, "--merge out");
    EXPECT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out,
              "Merged 3 shard files (9 sets) into out/results.xml\n");
    EXPECT_EQ(pictures(dir.path("out")), pictures(one));
    EXPECT_EQ(parameterTable(dir.path("out/results.xml")),
              parameterTable(one / "results.xml"));
    EXPECT_EQ(fileNames(dir.path("out/params")), fileNames(one / "params"));
  }
}

// The run directory of a sweep split over a cluster takes each shard once,
// runs an interrupted one again, and merges only the shards of one sweep.
TEST(Program, ShardsOfOneSweepOnlyAndEachOnce) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 16);
  ExperimentText experiment;
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.04" step="0.01"/>)";
  dir.write("exp.xml", experiment.xml());
  ExperimentText other = experiment;
  other.zDistance = R"(<Range minVal="0.02" maxVal="0.05" step="0.01"/>)";
  dir.write("other/exp.xml", other.xml());
  const auto shard = [&](const std::string& arguments) {
    return holorecon(dir, "--shard " + arguments);
  };
  EXPECT_EQ(shard("1/2 --output out exp.xml").status, 0);
  const struct {
    std::string arguments;
    int status;
    std::string error;
  } steps[] = {
      {"--merge out", 1, "Error: results.2-of-2.xml is missing\n"},
      {"--shard 1/2 --output out exp.xml", 1,
       "Error: Can't run in out: it holds this shard's results already "
       "(results.1-of-2.xml)\n"},
      {"--shard 2/2 --output out other/exp.xml", 1,
       "Error: Can't run in out: its params hold another experiment file\n"},
      {"--shard 2/2 --output out2 other/exp.xml", 0, ""},
      {"--shard 2/2 --output out exp.xml", 0, ""},
      {"--merge out", 0, ""},
      {"--output out exp.xml", 1,
       "Error: Can't run in out: it holds a finished run (results.xml)\n"}};
  for (const auto& [arguments, status, error] : steps) {
    SCOPED_TRACE(arguments);
    const RunOutcome outcome = holorecon(dir, arguments);
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.err, error);
  }
  // A leftover of another experiment in a directory, and a shard that was
  // cut short: its pictures there, its results file not.
  fs::copy_file(dir.path("out2/results.2-of-2.xml"),
                dir.path("out/results.2-of-2.xml"),
                fs::copy_options::overwrite_existing);
  fs::remove(dir.path("out/results.xml"));
  EXPECT_EQ(holorecon(dir, "--merge out").err,
            "Error: results.2-of-2.xml is from another experiment than "
            "results.1-of-2.xml\n");
  fs::remove(dir.path("out/results.2-of-2.xml"));
  EXPECT_EQ(shard("2/2 --output out exp.xml").status, 0);
  fs::remove(dir.path("out/results.1-of-2.xml"));
  EXPECT_EQ(shard("1/2 --output out exp.xml").status, 0);
  EXPECT_EQ(fileNames(dir.path("out/params")), (Names{"holo.png", "exp.xml"}));
  EXPECT_EQ(holorecon(dir, "--merge out").status, 0);
  const RunOutcome usage = holorecon(dir, "--threads two exp.xml");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err,
            "holorecon: --threads needs a whole number from 1, not 'two' "
            "(see holorecon --help)\n");
}

// What the optional elements add leaves every picture as it was: float
// TIFFs beside them with their record, a warning for sets closer than the
// method samples correctly, and the sideband filter's line.
TEST(Program, MeasurementDataAndWarningsAddToTheRunAndChangeNoPicture) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 32, 1);
  writeNoise(dir, "two.png", 32, 2);
  for (const std::string type : {"Reconstruction", "DHI"}) {
    SCOPED_TRACE(type);
    ExperimentText experiment;
    experiment.type = type;
    experiment.method = "Convolution";
    experiment.hologram2 = "two.png";
    // z_c = 32 pitch^2 / wavelength = 0.000716: set 1 lies below it.
    experiment.zDistance =
        R"(<Range minVal="0.0001" maxVal="0.0501" step="0.05"/>)";
    dir.write("plain.xml", experiment.xml());
    experiment.extra =
        R"(<Data amplitude="yes" phase="1" intensity="TRUE" unwrap="true"/>)";
    dir.write("data.xml", experiment.xml());
    const RunOutcome plain = holorecon(dir, "plain.xml");
    const RunOutcome data = holorecon(dir, "data.xml");
    ASSERT_EQ(data.status, 0) << data.err;
    EXPECT_EQ(data.err, plain.err);
    EXPECT_EQ(data.err,
              "Warning: 1 set, set 0 (z = 0.0001), is closer than the distance "
              "from which the Convolution method samples its impulse response "
              "correctly (0.000716 for set 0); the AngularSpectrum method "
              "suits it\n");
    const fs::path run = data.runDirectories.at(0);
    EXPECT_EQ(pictures(run), pictures(plain.runDirectories.at(0)));
    Names tiffs;
    for (const std::string& name : fileNames(run)) {
      if (name.ends_with(".tif")) tiffs.insert(name);
    }
    EXPECT_EQ(
        tiffs,
        type == "DHI"
            ? (Names{"result_01_amplitude1.tif", "result_01_amplitude2.tif",
                     "result_01_intensity1.tif", "result_01_intensity2.tif",
                     "result_01_phase1.tif", "result_01_phase2.tif",
                     "result_01_phaseDiff.tif",
                     "result_01_phaseDiffUnwrapped.tif",
                     "result_00_amplitude1.tif", "result_00_amplitude2.tif",
                     "result_00_intensity1.tif", "result_00_intensity2.tif",
                     "result_00_phase1.tif", "result_00_phase2.tif",
                     "result_00_phaseDiff.tif",
                     "result_00_phaseDiffUnwrapped.tif"})
            : (Names{"result_00_amplitude.tif", "result_00_intensity.tif",
                     "result_00_phase.tif", "result_00_phaseUnwrapped.tif",
                     "result_01_amplitude.tif", "result_01_intensity.tif",
                     "result_01_phase.tif", "result_01_phaseUnwrapped.tif"}));
    const std::string phase = readFile(
        run / (type == "DHI" ? "result_01_phase1.tif" : "result_01_phase.tif"));
    EXPECT_NE(phase.find("ImageJ=1.53t\nunit=m\nvunit=rad\nquantity=phase\n"
                         "set=1\nwavelength=5.32e-07\nangle=0.02\n"
                         "zDistance=0.0501\nccdPixelDistance=3.45e-06\n"
                         "method=Convolution\nkind=" +
                         type + "\noutputPitch=3.45e-06\n"),
              std::string::npos);
  }
  // In line (angle 0 over noise), the filter's centre cannot stand out.
  ExperimentText filtered;
  filtered.extra = R"(<Filter type="Sideband"/>)";
  dir.write("filter.xml", filtered.xml());
  const RunOutcome outcome = holorecon(dir, "filter.xml");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(lines(outcome.out)[2].rfind("Sideband filter: centre fx = ", 0),
            0u);
  EXPECT_NE(outcome.err.find("does not stand out from its surroundings"),
            std::string::npos)
      << outcome.err;
}

/// A PNG chunk with the CRC its decoder checks.
std::string pngChunk(const std::string& type, const std::string& data) {
  const auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : type + data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & -(crc & 1u));
  }
  return be32(static_cast<std::uint32_t>(data.size())) + type + data +
         be32(~crc);
}

/// Size and time of every file below root but the captured console.
std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> snapshot(
    const fs::path& root) {
  std::map<fs::path, std::pair<std::uintmax_t, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink()) {
      files[entry.path()] = {};
    } else {
      files[entry.path()] = {entry.is_regular_file() ? entry.file_size() : 0,
                             entry.last_write_time()};
    }
  }
  return files;
}

struct HostileCase {
  const char* name;
  std::string experiment;                             // written as exp.xml
  std::function<void(const ScratchDir&)> files = {};  // the other inputs
  int status = 1;
  std::vector<std::string> errors = {};  // each appears on standard error
  Names runFiles = {};                   // if given: what the run holds
  std::string command = kHolorecon + " exp.xml";
};

TEST(Program, EveryHostileInputGivesAClearAnswerAndWritesOnlyItsRun) {
  ExperimentText good;
  ExperimentText convolution;
  convolution.method = "Convolution";
  const auto with = [](auto edit) {
    ExperimentText experiment;
    edit(experiment);
    return experiment.xml();
  };
  std::string nested, binary, laughs = "<!DOCTYPE E [<!ENTITY l0 \"lol\">";
  for (int i = 0; i < 1000000; ++i) nested += "<Experiment>";
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>(i * 131);
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  const std::string longPath = std::string(200, 'd') + "/" +
                               std::string(200, 'e') + "/" +
                               std::string(150, 'f') + ".png";
  const auto noise = [](const ScratchDir& d) { writeNoise(d, "holo.png", 16); };
  const auto picture = [](const char* name, std::string bytes) {
    return [=](const ScratchDir& d) { d.write(name, bytes); };
  };
  // A DDS header claiming 2^30 x 2^30 pixels of 32 bits.
  std::string dds =
      "DDS " + std::string("\x7c\0\0\0\x07\x10\0\0\0\0\0\x40\0\0\0\x40", 16) +
      std::string(112, '\0');
  dds[76] = 32;
  dds[80] = 0x40;
  dds[88] = 32;
  std::string pixels(16 * 16 * 4, '\0');  // one NaN among float pixels
  pixels.replace(100, 4, "\x00\x00\xc0\x7f", 4);
  const HostileCase cases[] = {
      {"empty file", "", {}, 1, {"Can't load a experiment"}},
      {"binary file", binary, {}, 1, {"Can't load a experiment"}},
      {"deep nesting", nested, {}, 1, {"Can't load a experiment"}},
      {"FIFO as experiment file",
       "",
       [](const ScratchDir& d) {
         fs::remove(d.path("exp.xml"));
         mkfifo(d.path("exp.xml").c_str(), 0600);
       },
       1,
       {"Can't load a experiment", "not a regular file"}},
      {"decimal comma",
       replaced(good.xml(), "532e-9", "5,32e-07"),
       noise,
       1,
       {"<Wavelength><Single value=\"5,32e-07\">: not a number (write the "
        "decimal separator as a full stop)"}},
      {"preferredSize 1e3",
       with([](auto& e) { e.preferredSize = "1e3"; }),
       noise,
       1,
       {"<Hologram preferredSize=\"1e3\">: not a whole number"}},
      {"50 MB path",
       replaced(good.xml(), "holo.png", std::string(50 << 20, 'a')),
       {},
       1,
       {"The image couldn't be loaded"}},
      {"550-character path",
       with([&](auto& e) { e.hologram = longPath; }),
       {},
       1,
       {"The image couldn't be loaded"}},
      {"FIFO as picture",
       good.xml(),
       [](const ScratchDir& d) { mkfifo(d.path("holo.png").c_str(), 0600); },
       1,
       {"The image couldn't be loaded", "Detail: not a regular file"}},
      {"entity expansion",
       laughs + "]>\n" + replaced(good.xml(), "holo.png", "&l9;"),
       {},
       1,
       {"The image couldn't be loaded"}},
      {"NaN wavelength",
       replaced(good.xml(), "532e-9", "nan"),
       noise,
       1,
       {"Set 0: the wavelength must be positive and finite, not nan"},
       {"results.xml", "params"}},
      {"pitch 0",
       with([](auto& e) { e.pitch = R"(<Single value="0"/>)"; }),
       noise,
       1,
       {"Set 0: the pixel pitch must be positive and finite, not 0"},
       {"results.xml", "params"}},
      {"Convolution at z = 0",
       replaced(convolution.xml(), R"(<Single value="0.05"/>)",
                R"(<Range minVal="0" maxVal="0.02" step="0.01"/>)"),
       noise,
       1,
       {"Set 0: the z distance must not be 0"},
       {"result_01.png", "result_02.png", "results.xml", "params"}},
      {"wavelength = z = 1e-150",
       replaced(replaced(good.xml(), "532e-9", "1e-150"), "0.05", "1e-150"),
       noise,
       1,
       {"Set 0: the reconstruction overflowed"},
       {"results.xml", "params"}},
      {"1e308 distance",
       replaced(convolution.xml(), "0.05", "1e308"),
       noise,
       1,
       {"Set 0: FFTC1D: A contains infinite or NAN values!"}},
      {"infinite range",
       replaced(good.xml(), R"(<Single value="0.05"/>)",
                R"(<Range minVal="1e308" maxVal="inf" step="1e308"/>)"),
       noise,
       1,
       {"never ends"}},
      {"ten million sets",
       replaced(good.xml(), R"(<Single value="0.05"/>)",
                R"(<Range minVal="0" maxVal="1" step="1e-7"/>)"),
       noise,
       1,
       {"more than 1000000"}},
      {"preferredSize 60000",
       with([](auto& e) { e.preferredSize = "60000"; }),
       noise,
       1,
       {"Not enough memory for the hologram"}},
      {"preferredSize -1",
       with([](auto& e) { e.preferredSize = "-1"; }),
       noise,
       1,
       {"The preferred size must be positive"}},
      {"empty picture",
       good.xml(),
       picture("holo.png", ""),
       1,
       {"The image couldn't be loaded"}},
      {"100000 x 100000 header",
       good.xml(),
       picture(
           "holo.png",
           "\x89PNG\r\n\x1a\n" +
               pngChunk("IHDR", std::string("\0\x01\x86\xa0\0\x01\x86\xa0"
                                            "\x08\0\0\0\0",
                                            13)) +
               pngChunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\x01", 8)) +
               pngChunk("IEND", "")),
       1,
       {"claims 100000 x 100000 pixels"}},
      {"65535 x 65535 GIF frame",
       good.xml(),
       picture("holo.png", std::string("GIF89a\x0c\0\x05\0\0\0\0"
                                       ",\0\0\0\0\xff\xff\xff\xff\0"
                                       "\x02\x02\x44\x01\0;",
                                       29)),
       1,
       {"claims 65535 x 65535 pixels"}},
      {"2^30 x 2^30 DDS",
       good.xml(),
       picture("holo.png", dds),
       1,
       {"claims 1073741824 x 1073741824 pixels"}},
      {"holograms of two sizes",
       with([](auto& e) {
         e.type = "DHI";
         e.hologram2 = "big.png";
       }),
       [](const ScratchDir& d) {
         writeNoise(d, "holo.png", 16);
         writeNoise(d, "big.png", 32);
       },
       1,
       {"The holograms must have the same size"}},
      {"spaces and non-ASCII letters",
       with([](auto& e) { e.hologram = "Grüße aus Köln/holo 1.png"; }),
       [](const ScratchDir& d) {
         writeNoise(d, "Grüße aus Köln/holo 1.png", 16);
       },
       0},
      {"file-size limit",
       replaced(good.xml(), R"(<Single value="0.05"/>)",
                R"(<Range minVal="0.01" maxVal="1" step="0.01"/>)"),
       [](const ScratchDir& d) { writeNoise(d, "holo.png", 80); },
       1,
       {"Can't archive holo.png: File too large",
        "Can't write results.xml: File too large",
        "Can't write result_00.png: File too large"},
       {"params"},
       "ulimit -f 12; " + kHolorecon + " exp.xml"},
      {"holosim: full device behind a link",
       "",
       [](const ScratchDir& d) {
         fs::create_symlink("/dev/full", d.path("o.png"));
       },
       1,
       {"holosim: can't write the picture 'o.png'"},
       {},
       kHolosim + " --size 32 o.png"},
      {"holosim: 550-character object path",
       "",
       {},
       1,
       {"can't read the object picture"},
       {},
       kHolosim + " --size 32 --object " + longPath + " o.png"},
      {"holosim: NaN in the object",
       "",
       picture("nan.pfm", "Pf\n16 16\n-1.0\n" + pixels),
       1,
       {"holds values that are not finite numbers"},
       {},
       kHolosim + " --size 16 --object nan.pfm o.png"},
      {"holosim: experiment over the picture",
       "",
       {},
       2,
       {"the experiment file and the picture are the same file 'o.png'"},
       {},
       kHolosim + " --size 16 --experiment o.png o.png"},
      {"holosim: experiment over the deformed picture",
       "",
       {},
       2,
       {"the experiment file and the deformed picture are the same file"},
       {},
       kHolosim + " --size 16 --deform 1 --experiment o_deformed.png o.png"},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchDir dir;
    dir.write("exp.xml", c.experiment);
    if (c.files) c.files(dir);
    const auto before = snapshot(dir.dir);
    const RunOutcome outcome = runProgram(c.command, "", dir.dir);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    for (const std::string& error : c.errors) {
      EXPECT_NE(outcome.err.find(error), std::string::npos) << outcome.err;
    }
    if (c.status == 0) {
      EXPECT_EQ(outcome.err, "");
    }
    const bool holosim = c.command.find("holosim") != std::string::npos;
    ASSERT_EQ(outcome.runDirectories.size(), holosim ? 0u : 1u);
    if (!c.runFiles.empty()) {
      EXPECT_EQ(fileNames(outcome.runDirectories[0]), c.runFiles);
    }
    auto after = snapshot(dir.dir);
    if (!holosim) {
      std::erase_if(after, [&](const auto& file) {
        return file.first.string().rfind(outcome.runDirectories[0].string(),
                                         0) == 0;
      });
    }
    EXPECT_EQ(after, before) << "written outside the run directory";
  }
}

}  // namespace
