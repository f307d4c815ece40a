// The real programs, run as a user runs them: what they print, what they
// write, and how they answer whatever a hostile or unlucky user hands them.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <numbers>
#include <random>
#include <regex>

#include "images.h"
#include "stack_writer.h"
#include "support.h"
#include "tiff_writer.h"

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
    // Two shards on one thread, where nothing runs beside the loop.
    for (const char* shard : {"3/3 --threads 1", "1/3", "2/3 --threads 1"}) {
      const RunOutcome outcome = holorecon(
          dir, std::string("--shard ") + shard + " --output out exp.xml");
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_NE(outcome.out.find("Step 3/3 completed"), std::string::npos);
      EXPECT_NE(outcome.out.find(std::string("Sharpest in shard ") + shard[0] +
                                 "/3: set "),
                std::string::npos);
    }
    const RunOutcome merged = holorecon(dir, "--merge out");
    EXPECT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out,
              "Merged 3 shard files (9 sets) into out/results.xml\n" +
                  lines(single.out)[11] + "\n");
    EXPECT_EQ(pictures(dir.path("out")), pictures(one));
    EXPECT_EQ(parameterTable(dir.path("out/results.xml")),
              parameterTable(one / "results.xml"));
    EXPECT_EQ(fileNames(dir.path("out/params")), fileNames(one / "params"));
  }
}

// The run directory of a sweep split over a cluster takes each shard once,
// runs again one that failed or was interrupted, merges only complete
// sweeps of one experiment on one set of inputs, and writes nothing when
// the merge fails.
TEST(Program, ShardsOfOneSweepOnlyAndEachOnce) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 80);
  writeNoise(dir, "other.png", 80, 2);
  ExperimentText experiment;
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.04" step="0.01"/>)";
  experiment.extra = R"(<Focus region="0 0 80 80"/>)";
  dir.write("exp.xml", experiment.xml());
  ExperimentText other = experiment;
  other.zDistance = R"(<Range minVal="0.02" maxVal="0.05" step="0.01"/>)";
  dir.write("other/exp.xml", other.xml());
  const struct {
    std::string command;  // arguments of holorecon, or a shell line
    int status;
    std::string error;  // a part of standard error
  } steps[] = {
      // A shard that cannot write its pictures writes no shard file.
      {"(ulimit -f 4; " + kHolorecon +
           " --threads 1 --shard 2/2 --output out exp.xml)",
       1,
       "Error: Shard 2/2 is not complete, so results.2-of-2.xml is not "
       "written: run the shard again once the failures above are mended\n"},
      {"--shard 1/2 --output out exp.xml", 0, ""},
      {"--merge out", 1, "Error: results.2-of-2.xml is missing\n"},
      {"--shard 1/2 --output out exp.xml", 1,
       "Error: Can't run in out: it holds this shard's results already "
       "(results.1-of-2.xml)\n"},
      {"--shard 2/2 --output out other/exp.xml", 1,
       "Error: Can't run in out: its params hold another experiment file\n"},
      {"cp other.png holo.png; " + kHolorecon +
           " --shard 2/2 --output out exp.xml",
       1,
       "Error: Can't run in out: its params hold another holo.png than "
       "this run read (was the hologram replaced?)\n"},
      {"cp h.png holo.png; " + kHolorecon + " --shard 2/2 --output out exp.xml",
       0, ""},
      // A merge that fails writes nothing, and so blocks no rerun.
      {"mv out/focus.2-of-2.csv f.csv; " + kHolorecon + " --merge out", 1,
       "Error: focus.2-of-2.csv is missing\n"},
      {"test ! -e out/results.xml -a ! -e out/focus.csv && mv f.csv out/"
       "focus.2-of-2.csv && " +
           kHolorecon + " --merge out",
       0, ""},
      {"--output out exp.xml", 1,
       "Error: Can't run in out: it holds a finished run (results.xml)\n"},
      // A split into more shards than sets, and a shard with no directory.
      {"--shard 1/2147483647 --output out3 exp.xml", 2,
       "Error: --shard 1/2147483647: the sweep has 4 sets, so it splits into "
       "at most 4 shards\n"},
      {"--shard 1/2 exp.xml", 2, "--shard needs --output DIR"},
      // A shard killed while it archived params left a temporary folder.
      {"mkdir -p out4/.params.1.tmp; " + kHolorecon +
           " --shard 2/2 --output out4 exp.xml && test ! -e out4/.params.1.tmp",
       0, ""},
  };
  fs::copy_file(dir.path("holo.png"), dir.path("h.png"));
  for (const auto& [command, status, error] : steps) {
    SCOPED_TRACE(command);
    const RunOutcome outcome =
        command[0] == '-' ? holorecon(dir, command)
                          : runProgram("sh -c '" + command + "'", "", dir.dir);
    EXPECT_EQ(outcome.status, status) << outcome.err;
    EXPECT_NE(outcome.err.find(error), std::string::npos) << outcome.err;
    if (error.empty()) {
      EXPECT_EQ(outcome.err, "");
    }
  }
  EXPECT_EQ(fileNames(dir.path("out/params")), (Names{"holo.png", "exp.xml"}));
  EXPECT_FALSE(fs::exists(dir.path("out3")));
  // Two experiments started into one directory at once: one is refused,
  // as the other's archive stands or, when it was that quick, its run.
  const RunOutcome both =
      runProgram("sh -c '" + kHolorecon + " --output out5 exp.xml & " +
                     kHolorecon + " --output out5 other/exp.xml; wait'",
                 "", dir.dir);
  const std::set<std::string> refusals = {
      "Error: Can't run in out5: its params hold another experiment file",
      "Error: Can't run in out5: it holds a finished run (results.xml)"};
  ASSERT_EQ(lines(both.err).size(), 1u) << both.err;
  EXPECT_TRUE(refusals.count(lines(both.err)[0])) << both.err;
  EXPECT_EQ(fileNames(dir.path("out5/params")), (Names{"holo.png", "exp.xml"}));
}

/// Replaces the first match of the regular expression from in the file at
/// path by to.
void edit(const fs::path& path, const std::string& from,
          const std::string& to) {
  const std::string text = readFile(path);
  const std::regex pattern(from);
  ASSERT_TRUE(std::regex_search(text, pattern)) << from;
  std::ofstream(path, std::ios::binary) << std::regex_replace(
      text, pattern, to, std::regex_constants::format_first_only);
}

// The merge trusts nothing a shard file says: every set of the sweep that
// the archived experiment file gives must be in its shard, once, with the
// values the sweep gives, and so must every line of the focus figures.
TEST(Program, MergeChecksEveryShardFileAgainstTheSweep) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 16);
  ExperimentText experiment;
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.09" step="0.01"/>)";
  experiment.extra = R"(<Focus/>)";
  experiment.method = "Convolution";
  dir.write("exp.xml", experiment.xml());
  for (const char* shard : {"1/2", "2/2"}) {
    ASSERT_EQ(holorecon(dir, std::string("--shard ") + shard +
                                 " --output good exp.xml")
                  .status,
              0);
  }
  const struct {
    const char* file;
    std::string from, to, error;
  } edits[] = {
      {"results.2-of-2.xml",
       R"(\s*<Parameters index="7">[\s\S]*?</Parameters>)", "",
       "results.2-of-2.xml: set 7 is missing"},
      {"results.2-of-2.xml", "</Results>",
       "<Parameters index=\"9\"/></Results>",
       "results.2-of-2.xml: <Parameters index=\"9\"> is not one of its sets"},
      {"results.2-of-2.xml", "index=\"1\"", "index=\"2\"",
       "results.2-of-2.xml: index \"2\" where set 1 should be"},
      {"results.1-of-2.xml", "index=\"4\"", "index=\"+4\"",
       "results.1-of-2.xml: index \"+4\" where set 4 should be"},
      {"results.2-of-2.xml", R"(value="0\.040000")", "value=\"abc\"",
       "results.2-of-2.xml: set 3: ZDistance is \"abc\", where the sweep "
       "gives 0.040000"},
      {"results.2-of-2.xml", R"(<WaveLength value="5\.32e-07" />)", "",
       "results.2-of-2.xml: set 1: <WaveLength> is missing"},
      {"results.1-of-2.xml", "fullRTime=\"", "fullRTime=\"nan",
       "results.1-of-2.xml: its times are not finite numbers"},
      {"results.1-of-2.xml", "hologramsCount=\"5\"", "hologramsCount=\"12\"",
       "results.1-of-2.xml: hologramsCount is \"12\", where its part of the "
       "9-set sweep has 5"},
      {"focus.1-of-2.csv", "\n2,", "\ngarbage\n2,",
       "focus.1-of-2.csv: line 3: it is not the line of set 2"},
      {"focus.2-of-2.csv", "\n7,", "\n5,",
       "focus.2-of-2.csv: line 5: it is not the line of set 7"},
      {"focus.2-of-2.csv", R"(,[0-9.e-]+\n)", ",abc\n", "is not a number"},
      {"params/exp.xml", "<Focus/>", "<Focus />",
       "params/exp.xml is not the experiment file results.1-of-2.xml ran"},
  };
  for (const auto& [file, from, to, error] : edits) {
    SCOPED_TRACE(error);
    fs::remove_all(dir.path("out"));
    fs::copy(dir.path("good"), dir.path("out"), fs::copy_options::recursive);
    edit(fs::path(dir.path("out")) / file, from, to);
    const RunOutcome outcome = holorecon(dir, "--merge out");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(error), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(dir.path("out/results.xml")));
    EXPECT_FALSE(fs::exists(dir.path("out/focus.csv")));
  }
  // A file name that claims more shards than there are sets is refused
  // before anything is held per shard.
  fs::remove_all(dir.path("out"));
  fs::create_directories(dir.path("out"));
  fs::copy(dir.path("good/params"), dir.path("out/params"));
  fs::copy(dir.path("good/results.1-of-2.xml"),
           dir.path("out/results.1-of-2147483647.xml"));
  edit(dir.path("out/results.1-of-2147483647.xml"), "shard=\"1/2\"",
       "shard=\"1/2147483647\"");
  EXPECT_EQ(holorecon(dir, "--merge out").err,
            "Error: results.1-of-2147483647.xml: a split into 2147483647 "
            "shards of a sweep of 9 sets\n");
}

// Files are whole or absent whatever stops a write: a rerun over pictures
// that cannot be written again leaves the old ones, and SIGTERM ends a run
// with the files of the sets done whole and no results.xml, which a rerun
// then completes.
TEST(Program, FilesAreWholeOrAbsentWhateverStopsAWrite) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 128);
  ExperimentText experiment;
  experiment.method = "Convolution";
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="3" step="0.01"/>)";
  experiment.extra = R"(<Data amplitude="true" phase="true"/>)";
  dir.write("exp.xml", experiment.xml());
  const RunOutcome stopped = runProgram(
      "sh -c '" + kHolorecon +
          " --threads 2 --output out exp.xml >log 2>err & until grep -q "
          "\"Step 5/\" log; do sleep 0.01; done; kill -TERM $!; wait $!'",
      "", dir.dir);
  EXPECT_EQ(stopped.status, 143);
  EXPECT_NE(readFile(dir.path("err")).find("Error: Interrupted by SIGTERM"),
            std::string::npos);
  std::map<std::string, std::string> files;
  for (const std::string& name : fileNames(dir.path("out"))) {
    if (name == "params" || name == ".holorecon.lock") continue;
    EXPECT_NE(name[0], '.') << name << " left behind";
    EXPECT_NE(name, "results.xml");
    numerics::RealField samples;
    int n = 0;
    std::ostringstream why;
    EXPECT_TRUE(loadSquareImage(dir.path("out/" + name), samples, n, why))
        << name << ": " << why.str();
    files[name] = readFile(dir.path("out/" + name));
  }
  EXPECT_GE(files.size(), 15u);
  // Over pictures that are there, writes that fail keep the old files.
  const RunOutcome limited = runProgram(
      "sh -c 'ulimit -f 20; " + kHolorecon + " --output out exp.xml'", "",
      dir.dir);
  EXPECT_EQ(limited.status, 1);
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(readFile(dir.path("out/" + name)), bytes) << name;
  }
  for (const std::string& name : fileNames(dir.path("out"))) {
    EXPECT_TRUE(name[0] != '.' || name == ".holorecon.lock") << name;
  }
  EXPECT_EQ(holorecon(dir, "--output out exp.xml").status, 0);
  EXPECT_TRUE(fs::exists(dir.path("out/results.xml")));
}

// Under an address-space limit (ulimit -v) or a cgroup's (Slurm's --mem),
// the run takes fewer threads instead of losing sets or being killed.
TEST(SlowProgram, MemoryLimitsGiveFewerThreadsNotLostSets) {
  const ScratchDir dir;
  writeNoise(dir, "holo.png", 2048);
  ExperimentText experiment;
  experiment.method = "Convolution";
  experiment.zDistance = R"(<Range minVal="0.05" maxVal="0.07" step="0.01"/>)";
  dir.write("exp.xml", experiment.xml());
  const Names pictures = {"result_00.png", "result_01.png", "result_02.png",
                          "results.xml", "params"};
  const RunOutcome limited =
      runProgram("sh -c 'ulimit -v 350000; " + kHolorecon +
                     " --threads 2 --output a " + "exp.xml'",
                 "", dir.dir);
  EXPECT_EQ(limited.status, 0) << limited.err;
  EXPECT_NE(limited.out.find("Using 1 thread instead of 2"), std::string::npos);
  EXPECT_EQ(fileNames(dir.path("a")).size(), pictures.size() + 1);
  // A cgroup of 300 MiB, where one can be made (root, cgroup v1 or v2).
  const std::string name = "holorecon-test-" + std::to_string(getpid());
  for (const auto& [root, limit] :
       {std::pair{"/sys/fs/cgroup/memory", "memory.limit_in_bytes"},
        std::pair{"/sys/fs/cgroup", "memory.max"}}) {
    const fs::path group = fs::path(root) / name;
    std::error_code error;
    if (!fs::create_directory(group, error)) continue;
    std::ofstream(group / limit) << (300 << 20);
    if (readFile(group / limit).rfind(std::to_string(300 << 20), 0) != 0) {
      fs::remove(group, error);  // no memory controller there
      continue;
    }
    const RunOutcome contained = runProgram(
        "sh -c 'echo $$ > " + (group / "cgroup.procs").string() + "; exec " +
            kHolorecon + " --threads 5 --output b exp.xml'",
        "", dir.dir);
    fs::remove(group, error);
    EXPECT_EQ(contained.status, 0) << contained.err;
    EXPECT_NE(contained.out.find("instead of 3"), std::string::npos);
    EXPECT_EQ(fileNames(dir.path("b")).size(), pictures.size() + 1);
    return;
  }
  GTEST_SKIP() << "no memory cgroup could be made here";
}

/// The samples of every page of a picture file, as the run reads them.
std::vector<std::vector<double>> pages(const fs::path& path) {
  PageReader reader;
  std::ostringstream why;
  std::vector<std::vector<double>> values;
  if (!reader.open(path.string(), why)) return values;
  for (int page = 0; page < reader.pageCount(); ++page) {
    PictureFrame frame;
    if (!reader.read(page, 0, ClipType::Center, frame, why)) break;
    std::vector<double>& samples = values.emplace_back();
    for (int r = 0; r < frame.size; ++r) {
      samples.insert(samples.end(), frame.samples[r],
                     frame.samples[r] + frame.size);
    }
  }
  return values;
}

// A series gives, frame by frame, what each frame gives alone, whether its
// frames are the pages of one TIFF or numbered files, with any selection
// of them; its stacks hold the per-set TIFFs' values page by page; a frame
// that cannot be read fails its sets only.
TEST(Program, SeriesGiveWhatEachFrameGivesAlone) {
  const ScratchDir dir;
  std::vector<numerics::RealField> frames;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const std::string name = "f_" + std::to_string(seed * seed) + ".tif";
    std::mt19937 random(seed);
    numerics::RealField& frame = frames.emplace_back(32);
    for (int r = 0; r < 32; ++r) {
      for (int c = 0; c < 32; ++c) {
        frame[r][c] = static_cast<double>(random() % 256) / 255.0;
      }
    }
    ASSERT_EQ(saveFloatTiff(dir.path(name), frame.rows(), 32, {}), "");
  }
  StackWriter pagesOfOneFile;
  ASSERT_EQ(pagesOfOneFile.open(dir.dir.string(), "series", {32, 1, 3}, {}),
            "");
  for (const numerics::RealField& frame : frames) {
    ASSERT_EQ(pagesOfOneFile.append(frame.rows(), {}), "");
  }
  ASSERT_EQ(pagesOfOneFile.close(), "");
  ExperimentText experiment;
  experiment.method = "Convolution";
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.02" step="0.01"/>)";
  experiment.extra = R"(<Data phase="true"/>)";
  for (const char* frame : {"f_1", "f_4", "f_9"}) {
    ExperimentText alone = experiment;
    alone.hologram = std::string(frame) + ".tif";
    dir.write(std::string(frame) + ".xml", alone.xml());
    ASSERT_EQ(
        holorecon(dir, std::string("--output ") + frame + " " + frame + ".xml")
            .status,
        0);
  }
  const auto series = [&](const std::string& name, const std::string& value,
                          const std::string& selection,
                          const std::string& extra,
                          const std::string& options) {
    ExperimentText text = experiment;
    if (!extra.empty()) text.extra = extra;
    dir.write(name + ".xml",
              replaced(text.xml(), "value=\"holo.png\"",
                       "value=\"" + value + "\" frames=\"" + selection + "\""));
    return holorecon(dir, options + " --output " + name + " " + name + ".xml");
  };
  ASSERT_EQ(series("pages", "series.tif", "all", "", "").status, 0);
  ASSERT_EQ(series("files", "f_*.tif", "3,1-2/2", "", "--threads 1").status, 0);
  // Index i is set i mod 2 of frame i / 2.
  const struct {
    const char* run;
    const char* picture;
    const char* alone;
  } same[] = {{"pages", "result_00.png", "f_1/result_00.png"},
              {"pages", "result_03_phase.tif", "f_4/result_01_phase.tif"},
              {"pages", "result_05.png", "f_9/result_01.png"},
              {"files", "result_00.png", "f_9/result_00.png"},
              {"files", "result_03.png", "f_1/result_01.png"}};
  for (const auto& [name, picture, alone] : same) {
    EXPECT_EQ(pages(dir.path(name) / fs::path(picture)), pages(dir.path(alone)))
        << name << "/" << picture;
  }
  const std::string results = readFile(dir.path("files/results.xml"));
  EXPECT_NE(results.find("<Frame value=\"3\" file=\"f_9.tif\" />"),
            std::string::npos);
  EXPECT_NE(results.find("hologramsCount=\"4\""), std::string::npos);
  // Stacks hold the per-set TIFFs' values, the same on any thread count.
  for (const char* threads : {"1", "2"}) {
    ASSERT_EQ(series(std::string("stack") + threads, "series.tif", "all",
                     R"(<Data phase="true" stack="true"/>)",
                     std::string("--threads ") + threads)
                  .status,
              0);
  }
  const std::vector<std::vector<double>> stack =
      pages(dir.path("stack1/phase.tif"));
  ASSERT_EQ(stack.size(), 6u);
  for (std::size_t i = 0; i < stack.size(); ++i) {
    EXPECT_EQ(stack[i], pages(dir.path("pages/result_0" + std::to_string(i) +
                                       "_phase.tif"))
                            .at(0));
  }
  EXPECT_EQ(readFile(dir.path("stack1/phase.tif")),
            readFile(dir.path("stack2/phase.tif")));
  // A frame that cannot be read fails its own sets, and its pages are NaN.
  dir.write("f_4.tif", "not a picture");
  const RunOutcome broken = series("broken", "f_*.tif", "all",
                                   R"(<Data phase="true" stack="true"/>)", "");
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("Error: Set 2: frame 2 (f_4.tif): The image "
                            "couldn't be loaded"),
            std::string::npos)
      << broken.err << "|" << broken.out;
  EXPECT_TRUE(fs::exists(dir.path("broken/result_05.png")));
  const std::vector<std::vector<double>> holes =
      pages(dir.path("broken/phase.tif"));
  ASSERT_EQ(holes.size(), 6u);
  EXPECT_TRUE(std::isnan(holes[2][0]) && !std::isnan(holes[4][0]));
}

// Recorded off-axis holograms of a cell and of the empty field: the phase
// relative to the empty frame's field, its tilt removed, shows the cell on
// a background at 0 rad; the optical path is that phase in lengths.
TEST(Program, RecordedCellStandsOnAFlatBackground) {
  const fs::path data = HOLORECON_SOURCE_DIR "/../shared/data/qpretrieve";
  if (!fs::exists(data)) GTEST_SKIP() << "no recorded holograms at " << data;
  const ScratchDir dir;
  ExperimentText experiment;
  experiment.method = "AngularSpectrum";
  experiment.hologram = (data / "hologram_cell_data.png").string();
  experiment.preferredSize = "200";
  experiment.wavelength = R"(<Single value="5.5e-07"/>)";
  experiment.zDistance = R"(<Single value="0"/>)";
  experiment.pitch = R"(<Single value="1e-06"/>)";
  experiment.extra =
      R"(<Filter type="Sideband" center="true"/><Compensation/>)"
      R"(<Data opticalPath="true"/><Background mode="Field" value=")" +
      (data / "hologram_cell_bg.png").string() + "\"/>";
  dir.write("exp.xml",
            replaced(experiment.xml(), "value=\"0.02\"", "value=\"0\""));
  const RunOutcome outcome = holorecon(dir, "--output run exp.xml");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("Compensation: the surface fitted to set 0 "
                             "rests on "),
            std::string::npos);
  const std::vector<double> path =
      pages(dir.path("run/result_00_opticalPath.tif")).at(0);
  ASSERT_EQ(path.size(), 200u * 200u);
  // In radians again (the reader gives 255 times the float values).
  const double toRadians = 2.0 * std::numbers::pi / 5.5e-7 / 255.0;
  std::vector<double> corners;
  double highest = 0.0;
  for (int r = 0; r < 200; ++r) {
    for (int c = 0; c < 200; ++c) {
      const double phase = path[std::size_t(r * 200 + c)] * toRadians;
      highest = std::max(highest, phase);
      if ((r < 30 || r >= 170) && (c < 30 || c >= 170)) {
        corners.push_back(phase);
      }
    }
  }
  std::nth_element(corners.begin(), corners.begin() + corners.size() / 2,
                   corners.end());
  EXPECT_LT(std::abs(corners[corners.size() / 2]), 0.1);
  EXPECT_GT(highest, 3.5);
}

// Cropped to the sideband's disk, a run reconstructs on the small grid
// what the centred run gives at the same points: the disk of radius 16
// fits 32 x 32 samples, a quarter of the camera's per axis, so cropped
// sample q is the centred run's sample 4 q, and the TIFFs record the
// coarser pitch. Regions are in the cropped picture's pixels.
TEST(Program, CroppedSidebandGivesTheCentredFieldOnTheSmallGrid) {
  const ScratchDir dir;
  writeNoise(dir, "object.png", 128);
  ASSERT_EQ(runProgram(kHolosim,
                       "--size 128 --distance 0.01 --phase-object object.png "
                       "--surround holo.png",
                       dir.dir)
                .status,
            0);
  ExperimentText experiment;
  experiment.method = "AngularSpectrum";
  experiment.zDistance = R"(<Single value="0.01"/>)";
  const auto run = [&](const std::string& name, const std::string& crop,
                       const std::string& focus) {
    experiment.extra = R"(<Filter type="Sideband" fx="0" fy="41" )"
                       R"(radius="16" center="true" crop=")" +
                       crop + R"("/><Data phase="true"/>)" + focus;
    dir.write(name + ".xml",
              replaced(experiment.xml(), "value=\"0.02\"", "value=\"0\""));
    return holorecon(dir, "--output " + name + " " + name + ".xml");
  };
  const RunOutcome centred = run("centred", "false", "");
  const RunOutcome cropped = run("cropped", "true", "");
  ASSERT_EQ(centred.status, 0) << centred.err;
  ASSERT_EQ(cropped.status, 0) << cropped.err;
  EXPECT_NE(cropped.out.find(", moved to the zero frequency, reconstructed "
                             "on 32 x 32 samples (the camera's pitch times "
                             "4)\n"),
            std::string::npos)
      << cropped.out;
  const std::vector<double> whole =
      pages(dir.path("centred/result_00_phase.tif")).at(0);
  const std::vector<double> coarse =
      pages(dir.path("cropped/result_00_phase.tif")).at(0);
  ASSERT_EQ(coarse.size(), 32u * 32u);
  double worst = 0.0;
  for (std::size_t r = 0; r < 32; ++r) {
    for (std::size_t c = 0; c < 32; ++c) {
      // The reader gives 255 times the float values.
      const double difference =
          (coarse[r * 32 + c] - whole[4 * r * 128 + 4 * c]) / 255.0;
      worst = std::max(worst, std::abs(std::remainder(difference, 2 * M_PI)));
    }
  }
  EXPECT_LT(worst, 1e-4);
  EXPECT_NE(readFile(dir.path("cropped/result_00_phase.tif"))
                .find("outputPitch=1.38e-05\n"),
            std::string::npos);
  const RunOutcome outside =
      run("outside", "true", R"(<Focus region="0 0 33 8"/>)");
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("the <Focus> region 0 0 33 8 reaches past the "
                             "32 x 32 picture"),
            std::string::npos)
      << outside.err;
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
  std::vector<std::string> out = {};  // each appears on standard output
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
       {"Can't load a experiment",
        "<Wavelength><Single value=\"5,32e-07\">: not a number (write the "
        "decimal separator as a full stop)"}},
      {"preferredSize 1e3",
       with([](auto& e) { e.preferredSize = "1e3"; }),
       noise,
       1,
       {"Can't load a experiment",
        "<Hologram preferredSize=\"1e3\">: not a whole number"}},
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
       {"Can't load a experiment", "never ends"}},
      {"ten million sets",
       replaced(good.xml(), R"(<Single value="0.05"/>)",
                R"(<Range minVal="0" maxVal="1" step="1e-7"/>)"),
       noise,
       1,
       {"Can't load a experiment", "more than 1000000"}},
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
       {},
       "ulimit -f 12; " + kHolorecon + " exp.xml"},
      {.name = "unknown method text",
       .experiment = with([](auto& e) { e.method = "AngularSpectrm"; }),
       .files = noise,
       .status = 0,
       .errors = {"Warning: exp.xml: <Experiment method=\"AngularSpectrm\"> "
                  "is not Fresnel, Convolution or AngularSpectrum; running "
                  "Fresnel"},
       .runFiles = {"result_00.png", "results.xml", "params"}},
      {.name = "unknown clip type",
       .experiment = replaced(with([](auto& e) { e.preferredSize = "16"; }),
                              "Center", "Middle"),
       .files = noise,
       .status = 0,
       .errors = {"<Hologram clipType=\"Middle\"> is not Left, Center or "
                  "Right; running Center"}},
      {.name = "filter with an unusable first set",
       .experiment = with([](auto& e) {
         e.wavelength = R"(<Range minVal="0" maxVal="6e-7" step="6e-7"/>)";
         e.extra = R"(<Filter type="Sideband" order=" -1"/>)";
       }),
       .files = noise,
       .errors = {"Set 0: the wavelength must be positive and finite, not 0"},
       .runFiles = {"result_01.png", "results.xml", "params"},
       .out = {"Sideband filter: centre fx = 0, fy = -"}},
      {.name = "AngularSpectrum far beyond its band limit, and at z = 0",
       .experiment = with([](auto& e) {
         e.method = "AngularSpectrum";
         e.zDistance = R"(<Range minVal="0" maxVal="1" step="0.5"/>)";
       }),
       .files = [](const ScratchDir& d) { writeNoise(d, "holo.png", 256); },
       .status = 0,
       .errors = {"Warning: 2 sets, the first set 1 (z = 0.5), are so far "
                  "that the AngularSpectrum method's band limit keeps fewer "
                  "than 1 in 1000 of the grid's frequencies (9 of 65536 for "
                  "set 1: details finer than 0.000442 are lost); the Fresnel "
                  "method suits them"},
       .runFiles = {"result_00.png", "result_01.png", "result_02.png",
                    "results.xml", "params"}},
      {.name = "a dark hologram has no sharpest set",
       .experiment = with([](auto& e) {
         e.method = "Convolution";
         e.extra = "<Focus/>";
       }),
       .files =
           [](const ScratchDir& d) {
             const std::vector<std::uint8_t> black(16 * 16);
             ASSERT_EQ(saveGreyPng8(d.path("holo.png"), black.data(), 16, 16),
                       "");
           },
       .status = 0,
       .out = {"Sharpest: none: no set has a finite NormalizedVariance"}},
      {.name = "focus region of 2 x 2",
       .experiment =
           with([](auto& e) { e.extra = R"(<Focus region="0 0 2 2"/>)"; }),
       .files = noise,
       .errors = {"Can't load a experiment", "width and height at least 3"}},
      {.name = "focus region of 2^31 pixels",
       .experiment = with(
           [](auto& e) { e.extra = R"(<Focus region="0 0 2147483648 3"/>)"; }),
       .files = noise,
       .errors = {"Can't load a experiment",
                  "<Focus region=\"0 0 2147483648 3\">"}},
      {.name = "more shards than sets",
       .experiment = good.xml(),
       .files = noise,
       .status = 2,
       .errors = {"--shard 1/2147483647: the sweep has 1 set, so it splits "
                  "into at most 1 shard"},
       .command = kHolorecon + " --shard 1/2147483647 --output out exp.xml"},
      {.name = "an output directory it may not write",
       .experiment = good.xml(),
       .files = noise,
       .errors = {"Error: Can't run in out: Permission denied\n"},
       .command = "chmod 755 .; mkdir out; chmod 555 out; setpriv "
                  "--reuid=65534 --regid=65534 --clear-groups " +
                  kHolorecon + " --output out exp.xml"},
      {"holosim: full device behind a link",
       "",
       [](const ScratchDir&
              d) { fs::create_symlink("/dev/full", d.path("o.png")); },
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
    for (const std::string& line : c.out) {
      EXPECT_NE(outcome.out.find(line), std::string::npos) << outcome.out;
    }
    // A run that goes well says nothing but the warnings expected.
    if (c.status == 0) {
      EXPECT_EQ(lines(outcome.err).size(), c.errors.size()) << outcome.err;
    }
    // Neither a file that does not load nor a usage error makes a run
    // directory.
    const bool holosim = c.command.find("holosim") != std::string::npos;
    const bool loads = std::find(c.errors.begin(), c.errors.end(),
                                 "Can't load a experiment") == c.errors.end();
    const std::size_t directories =
        holosim || !loads || c.status == 2 ? 0u : 1u;
    EXPECT_EQ(outcome.runDirectories.size(), directories);
    if (outcome.runDirectories.size() != directories) continue;
    if (!c.runFiles.empty()) {
      EXPECT_EQ(fileNames(outcome.runDirectories[0]), c.runFiles);
    }
    auto after = snapshot(dir.dir);
    if (!outcome.runDirectories.empty()) {
      std::erase_if(after, [&](const auto& file) {
        return file.first.string().rfind(outcome.runDirectories[0].string(),
                                         0) == 0;
      });
    }
    EXPECT_EQ(after, before) << "written outside the run directory";
  }
}

}  // namespace
