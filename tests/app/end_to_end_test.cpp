#include <ctime>

#include "program.h"
#include "run.h"

namespace {

using EndToEndTest = ProgramTest;
using Names = std::set<std::string>;

TEST_F(EndToEndTest, SweepsWriteOnePicturePerSetWithResultsAndArchive) {
  for (const std::string method : {"Fresnel", "Convolution"}) {
    SCOPED_TRACE(method);
    writeHologram("holo.png", 32);
    ExperimentText experiment;
    experiment.method = method;
    experiment.zDistance =
        R"(<Range minVal="0.01" maxVal="0.03" step="0.01"/>)";
    writeText("exp.xml", experiment.xml());

    const RunOutcome outcome = run("exp.xml ignored.xml --verbose");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    ASSERT_EQ(outcome.runDirectories.size(), 1u);
    const fs::path runDir = outcome.runDirectories[0];
    EXPECT_EQ(fileNames(runDir),
              (Names{"result_00.png", "result_01.png", "result_02.png",
                     "results.xml", "params"}));
    EXPECT_EQ(fileNames(runDir / "params"), (Names{"holo.png", "exp.xml"}));
    EXPECT_EQ(readFile(runDir / "params/exp.xml"), experiment.xml());
    const std::string results = readFile(runDir / "results.xml");
    EXPECT_NE(results.find("hologramsCount=\"3\""), std::string::npos);
    EXPECT_NE(results.find("<ZDistance value=\"0.030000\" />"),
              std::string::npos);

    const std::vector<std::string> out = lines(outcome.out);
    ASSERT_EQ(out.size(), 6u) << outcome.out;
    EXPECT_EQ(out[0], method +
                          " reconstruction experiment (exp.xml) is "
                          "starting...");
    EXPECT_EQ(out[1], "Results go to " + runDir.filename().string());
    EXPECT_EQ(out[2].rfind("Step 1/3 completed (", 0), 0u);
    EXPECT_NE(out[4].find("Step 3/3 completed ("), std::string::npos);
    EXPECT_NE(out[4].find("s.). Remained ~0s."), std::string::npos);
    EXPECT_EQ(out[5], "The experiment has finished");
    fs::remove_all(runDir);
  }
}

TEST_F(EndToEndTest, DhiWritesThreePicturesPerSetAndArchivesEveryInput) {
  writeHologram("a/holo.png", 32, 1);
  writeHologram("b/holo.png", 32, 2);
  ExperimentText experiment;
  experiment.type = "DHI";
  experiment.method = "Convolution";
  experiment.hologram = "a/holo.png";
  experiment.hologram2 = "b/holo.png";
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.02" step="0.01"/>)";
  writeText("holo.png", experiment.xml());  // a third file of the same name

  const RunOutcome outcome = run("holo.png");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  const fs::path runDir = outcome.runDirectories[0];
  EXPECT_EQ(fileNames(runDir),
            (Names{"result_00_intensity1.png", "result_00_intensity2.png",
                   "result_00_phaseDiff.png", "result_01_intensity1.png",
                   "result_01_intensity2.png", "result_01_phaseDiff.png",
                   "results.xml", "params"}));
  // Three inputs called holo.png: all kept, in the order they were copied.
  EXPECT_EQ(readFile(runDir / "params/holo.png"),
            readFile(dir_ / "a/holo.png"));
  EXPECT_EQ(readFile(runDir / "params/holo_2.png"),
            readFile(dir_ / "b/holo.png"));
  EXPECT_EQ(readFile(runDir / "params/holo_3.png"), experiment.xml());
  EXPECT_EQ(lines(outcome.out)[0],
            "Convolution DHI experiment (holo.png) is starting...");
}

TEST_F(EndToEndTest, WithoutArgumentExperimentXmlIsRead) {
  writeHologram("holo.png", 16);
  writeText("experiment.xml", ExperimentText().xml());
  const RunOutcome outcome = run("");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(lines(outcome.out)[0],
            "Fresnel reconstruction experiment (experiment.xml) is "
            "starting...");
}

TEST_F(EndToEndTest, MissingExperimentFileLeavesAnEmptyRunAndItsReason) {
  const RunOutcome outcome = run("nothing.xml");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  const std::vector<std::string> err = lines(outcome.err);
  ASSERT_EQ(err.size(), 2u) << outcome.err;
  EXPECT_EQ(err[0], "Error: Can't load a experiment");
  EXPECT_NE(err[1].find("nothing.xml"), std::string::npos) << err[1];
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  EXPECT_TRUE(fs::is_empty(outcome.runDirectories[0]));
}

TEST_F(EndToEndTest, UnusableSetIsReportedAndTheSweepGoesOn) {
  writeHologram("holo.png", 32);
  ExperimentText experiment;
  experiment.zDistance = R"(<Range minVal="0" maxVal="0.02" step="0.01"/>)";
  writeText("exp.xml", experiment.xml());
  const RunOutcome outcome = run("exp.xml");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "Error: FFTC1DInv: A contains infinite or NAN values!\n");
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  EXPECT_EQ(fileNames(outcome.runDirectories[0]),
            (Names{"result_01.png", "result_02.png", "results.xml", "params"}));
  EXPECT_EQ(lines(outcome.out).back(), "The experiment has finished");
}

TEST_F(EndToEndTest, RunsInTheSameSecondKeepSeparateDirectories) {
  writeHologram("holo.png", 16);
  writeText("exp.xml", ExperimentText().xml());
  // Take the names of this second and the next few, as earlier runs
  // started in the same second would have.
  std::set<std::string> taken;
  for (std::time_t t = std::time(nullptr), end = t + 5; t < end; ++t) {
    std::tm local{};
    taken.insert(runDirectoryName(*localtime_r(&t, &local)));
    writeText(runDirectoryName(local) + "/results.xml", "first");
  }
  const RunOutcome outcome = run("exp.xml");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  const std::string name = outcome.runDirectories[0].filename().string();
  EXPECT_TRUE(taken.count(name.substr(0, name.size() - 2))) << name;
  EXPECT_EQ(name.substr(name.size() - 2), "_2");
  for (const std::string& t : taken) {
    EXPECT_EQ(readFile(dir_ / t / "results.xml"), "first");
  }
}

TEST_F(EndToEndTest, RecordedHologramReconstructs) {
  const fs::path die = HOLORECON_SOURCE_DIR "/../shared/data/pydhm/die_1.jpg";
  if (!fs::exists(die)) GTEST_SKIP() << "no recorded holograms at " << die;
  ExperimentText experiment;
  experiment.hologram = die.string();
  experiment.zDistance = R"(<Single value="0.30"/>)";
  std::string xml = experiment.xml();
  xml.replace(xml.find("532e-9"), 6, "632.8e-9");
  xml.replace(xml.find("3.45e-6"), 7, "7e-6");
  writeText("die.xml", xml);
  const RunOutcome outcome = run("die.xml");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.runDirectories.size(), 1u);
  EXPECT_EQ(fileNames(outcome.runDirectories[0]),
            (Names{"result_00.png", "results.xml", "params"}));
  EXPECT_TRUE(fs::exists(outcome.runDirectories[0] / "params/die_1.jpg"));
}

}  // namespace
