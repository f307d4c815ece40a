// A disk that fills up during a sweep: every picture that no longer fits is
// reported, the ones written before stay intact, and the run exits 1.

#include <sys/mount.h>

#include <filesystem>
#include <string>

#include "tests/app/program.h"

namespace fs = std::filesystem;

namespace {

using FullDiskTest = ProgramTest;

/// A tmpfs of a few hundred kilobytes mounted on a directory; unmounted
/// when it goes. Needs root, and a sandbox that allows mounting.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, const std::string& size) : at_(at) {
    fs::create_directories(at);
    const std::string options = "size=" + size;
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount(at_.c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, PicturesAfterTheDiskFillsAreReportedAndEarlierOnesKept) {
  writeHologram("holo.png", 128);
  ExperimentText experiment;
  experiment.hologram = (dir_ / "holo.png").string();
  experiment.zDistance =
      R"(<Range minVal="0.01" maxVal="0.2" step="0.01"/>)";  // 20 sets
  writeText("exp.xml", experiment.xml());

  // The same sweep on a disk with room, for the pictures to compare with.
  const RunOutcome reference = run("exp.xml");
  ASSERT_EQ(reference.status, 0) << reference.err;
  ASSERT_EQ(reference.runDirectories.size(), 1u);

  SmallDisk disk(dir_ / "small", "200k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const RunOutcome outcome = run((dir_ / "exp.xml").string(), "small");
  EXPECT_EQ(outcome.status, 1);
  ASSERT_EQ(outcome.runDirectories.size(), 1u);

  int written = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string name =
        "result_" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".png";
    const fs::path picture = outcome.runDirectories[0] / name;
    if (!fs::exists(picture)) continue;
    // What is there is whole: the very pixels of the reference run.
    if (readFile(picture) == readFile(reference.runDirectories[0] / name)) {
      ++written;
    }
  }
  const auto failures = lines(outcome.err);
  EXPECT_GT(written, 0);
  EXPECT_GT(failures.size(), 0u);
  for (const std::string& line : failures) EXPECT_EQ(line, "Error: ");
  // No picture is cut short: each is written whole, or reported and gone.
  EXPECT_EQ(written + static_cast<int>(failures.size()), 20) << outcome.err;
  EXPECT_EQ(lines(outcome.out).back(), "The experiment has finished");
}

}  // namespace
