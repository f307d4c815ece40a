#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/run.h"

namespace fs = std::filesystem;

namespace {

TEST(RunNamesTest, DirectoryNameHasTwoDigitFieldsAndAFullYear) {
  std::tm time{};
  time.tm_year = 126;
  time.tm_mon = 0;
  time.tm_mday = 5;
  time.tm_hour = 9;
  time.tm_min = 3;
  time.tm_sec = 7;
  EXPECT_EQ(runDirectoryName(time), "2026_01_05_09_03_07");
  time.tm_year = 8100;  // year 10000: no padding, no truncation
  time.tm_mon = 11;
  time.tm_mday = 31;
  time.tm_hour = 23;
  time.tm_min = 59;
  time.tm_sec = 60;
  EXPECT_EQ(runDirectoryName(time), "10000_12_31_23_59_60");
}

TEST(RunNamesTest, FileNameIsTheLastComponentOfAnyPathStyle) {
  const std::pair<const char*, const char*> cases[] = {
      {"data/fringes.bmp", "fringes.bmp"},
      {"data\\fringes.bmp", "fringes.bmp"},
      {"C:\\data\\fringes.bmp", "fringes.bmp"},
      {"C:fringes.bmp", "fringes.bmp"},
      {"fringes", "fringes"},
      {"/abs/dir/", ""},
      {"a\\b/c\\d.xml", "d.xml"},
      {"", ""},
      {"1:x", "1:x"},  // not a drive letter
  };
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(extractFileName(path), name) << path;
  }
}

class RunDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("holorecon_run_names_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(RunDirectoryTest, TakenNamesGetTheFirstFreeSuffix) {
  const std::string name = (root_ / "2026_12_06_18_06_42").string();
  EXPECT_EQ(createRunDirectory(name), name);
  EXPECT_EQ(createRunDirectory(name), name + "_2");
  EXPECT_EQ(createRunDirectory(name), name + "_3");
  EXPECT_TRUE(fs::is_directory(name + "_3"));
}

TEST_F(RunDirectoryTest, ImpossibleDirectoryIsRefused) {
  std::ofstream(root_ / "file") << "x";
  EXPECT_EQ(createRunDirectory((root_ / "file" / "run").string()),
            std::nullopt);
  EXPECT_EQ(createRunDirectory((root_ / "missing" / "run").string()),
            std::nullopt);
}

TEST_F(RunDirectoryTest, ArchiveNamesKeepEarlierCopies) {
  EXPECT_EQ(freeNameIn(root_, "holo.bmp"), root_ / "holo.bmp");
  std::ofstream(root_ / "holo.bmp") << "1";
  EXPECT_EQ(freeNameIn(root_, "holo.bmp"), root_ / "holo_2.bmp");
  std::ofstream(root_ / "holo_2.bmp") << "2";
  EXPECT_EQ(freeNameIn(root_, "holo.bmp"), root_ / "holo_3.bmp");
  std::ofstream(root_ / "sample") << "3";
  EXPECT_EQ(freeNameIn(root_, "sample"), root_ / "sample_2");
  EXPECT_EQ(freeNameIn(root_, "a.tar.gz"), root_ / "a.tar.gz");
  std::ofstream(root_ / "a.tar.gz") << "4";
  EXPECT_EQ(freeNameIn(root_, "a.tar.gz"), root_ / "a.tar_2.gz");
}

}  // namespace
