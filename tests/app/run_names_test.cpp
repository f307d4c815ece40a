#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run.h"

namespace fs = std::filesystem;

namespace {

TEST(RunNamesTest, DirectoryNameHasTwoDigitFieldsAndAFullYear) {
  std::tm time{};
  time.tm_year = 126;
  time.tm_mday = 5;
  time.tm_hour = 9;
  time.tm_min = 3;
  time.tm_sec = 7;
  EXPECT_EQ(runDirectoryName(time), "2026_01_05_09_03_07");
  time.tm_year = 8100;
  time.tm_mon = 11;
  EXPECT_EQ(runDirectoryName(time), "10000_12_05_09_03_07");
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
      {"1:x", "1:x"}};
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(extractFileName(path), name) << path;
  }
}

TEST(RunNamesTest, TakenNamesGetTheFirstFreeSuffix) {
  const fs::path root = fs::temp_directory_path() /
                        ("holorecon_names_" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  const std::string run = (root / "2026_12_06_18_06_42").string();
  EXPECT_EQ(createRunDirectory(run), run);
  EXPECT_EQ(createRunDirectory(run), run + "_2");
  EXPECT_EQ(createRunDirectory(run), run + "_3");
  std::ofstream(root / "file") << "x";
  EXPECT_EQ(createRunDirectory((root / "file/run").string()), std::nullopt);
  EXPECT_EQ(createRunDirectory((root / "missing/run").string()), std::nullopt);

  EXPECT_EQ(freeNameIn(root, "holo.bmp"), root / "holo.bmp");
  for (const char* taken : {"holo.bmp", "holo_2.bmp", "sample", "a.tar.gz"}) {
    std::ofstream(root / taken) << "x";
  }
  EXPECT_EQ(freeNameIn(root, "holo.bmp"), root / "holo_3.bmp");
  EXPECT_EQ(freeNameIn(root, "sample"), root / "sample_2");
  EXPECT_EQ(freeNameIn(root, "a.tar.gz"), root / "a.tar_2.gz");
  fs::remove_all(root);
}

}  // namespace
