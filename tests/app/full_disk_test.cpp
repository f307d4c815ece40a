// A disk that fills up during a sweep: every picture that no longer fits is
// reported, the ones written before stay intact, and the run exits 1.

#include <sys/mount.h>

#include "program.h"

namespace {

using FullDiskTest = ProgramTest;

TEST_F(FullDiskTest, PicturesAfterTheDiskFillsAreReportedAndEarlierOnesKept) {
  writeHologram("holo.png", 128);
  ExperimentText experiment;
  experiment.hologram = (dir_ / "holo.png").string();
  experiment.zDistance = R"(<Range minVal="0.01" maxVal="0.2" step="0.01"/>)";
  writeText("exp.xml", experiment.xml());
  // The same sweep on a disk with room, for the pictures to compare with.
  const RunOutcome reference = run("exp.xml");
  ASSERT_EQ(reference.status, 0) << reference.err;

  fs::create_directories(dir_ / "small");
  if (::mount("tmpfs", (dir_ / "small").c_str(), "tmpfs", 0, "size=200k")) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  const RunOutcome outcome = run((dir_ / "exp.xml").string(), "small");
  int whole = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string name =
        "result_" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".png";
    const fs::path picture = outcome.runDirectories.at(0) / name;
    if (fs::exists(picture) &&
        readFile(picture) == readFile(reference.runDirectories[0] / name)) {
      ++whole;
    }
  }
  ::umount((dir_ / "small").c_str());
  EXPECT_EQ(outcome.status, 1);
  const std::vector<std::string> failures = lines(outcome.err);
  EXPECT_GT(whole, 0);
  EXPECT_GT(failures.size(), 0u);
  for (const std::string& line : failures) {
    EXPECT_EQ(line.rfind("Error: Can't write result_", 0), 0u) << line;
    EXPECT_NE(line.find(".png: No space left on device"), std::string::npos);
  }
  // Every picture is there whole, or reported and gone: none cut short.
  EXPECT_EQ(whole + static_cast<int>(failures.size()), 20) << outcome.err;
}

}  // namespace
