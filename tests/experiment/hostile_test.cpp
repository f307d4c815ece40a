#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "experiment/experiment.h"
#include "files.h"

namespace {

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

std::string garbage(std::size_t size) {
  std::mt19937 random(12345);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

// Every attribute value of the good file after its declaration set to text.
std::string everyValue(const std::string& text) {
  std::string file = kGoodExperiment;
  for (std::size_t at = file.find("=\"", file.find("?>"));
       at != std::string::npos; at = file.find("=\"", at + text.size())) {
    at += 2;
    file.replace(at, file.find('"', at) - at, text);
  }
  return file;
}

std::string billionLaughs() {
  std::string dtd = "<!DOCTYPE Experiment [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    dtd += "<!ENTITY lol" + std::to_string(i) + " \"" +
           repeat("&lol" + std::to_string(i - 1) + ";", 10) + "\">";
  }
  return dtd + "]>" + edited(kGoodExperiment, "h.bmp", "&lol9;");
}

std::string utf16(const std::string& ascii) {
  std::string bytes = "\xff\xfe";
  for (const char c : ascii) bytes += {c, '\0'};
  return bytes;
}

// Files an attacker or an accident may hand the loader: each must load or
// fail with a one-line reason, quickly, and never crash.
TEST(HostileFile, LoadsOrFailsCleanly) {
  const struct {
    const char* name;
    std::string bytes;
    bool loads;
  } cases[] = {
      {"empty", "", false},
      {"declaration only", "<?xml version=\"1.0\"?>", false},
      {"binary garbage", garbage(1 << 16), false},
      {"NUL bytes", std::string(100, '\0'), false},
      {"10 MB of open elements", "<Experiment>" + repeat("<a>", 3'500'000),
       false},
      {"deep nesting in a good file",
       edited(
           kGoodExperiment, "</Experiment>",
           repeat("<a>", 500'000) + repeat("</a>", 500'000) + "</Experiment>"),
       true},
      {"billion laughs", billionLaughs(), true},
      {"huge numbers", everyValue("1e999999999"), false},
      {"huge negative numbers", everyValue("-99999999999999999999e99999"),
       false},
      {"a 1 MB number", everyValue(repeat("9", 1 << 20)), false},
      {"a 1 MB fraction", everyValue("0." + repeat("9", 1 << 20)), true},
      {"NaN", everyValue("NaN"), false},
      {"no numbers", everyValue("?"), false},
      {"UTF-16 with a byte order mark", utf16(kGoodExperiment), true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Experiment experiment;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(experiment.load(dir.write("x.xml", c.bytes)), c.loads)
        << c.name << ": " << experiment.loadError;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << c.name;
    EXPECT_EQ(experiment.loadError.empty(), c.loads) << c.name;
    EXPECT_EQ(experiment.loadError.find('\n'), std::string::npos) << c.name;
  }
}

TEST(HostileFile, EntitiesStayTextAndAMillionValuesIsTheLimit) {
  TempDir dir;
  Experiment experiment;
  ASSERT_TRUE(experiment.load(dir.write("x.xml", billionLaughs())));
  EXPECT_EQ(experiment.hologramPath, "&lol9;");

  const std::string million =
      edited(kGoodExperiment, "maxVal=\"1.0\" step=\"0.25\"",
             "maxVal=\"1000000.24\" step=\"1\"");
  ASSERT_TRUE(experiment.load(dir.write("y.xml", million)));
  ASSERT_EQ(experiment.parameterSets.size(), kMaxParameterSets);
  EXPECT_EQ(experiment.parameterSets.back().zDistance, 999999.25);

  std::string everywhere = million;
  for (const char* single :
       {"<Single value=\"6.328e-7\"/>", "<Single value=\"0\"/>",
        "<Single value=\"6.7e-6\"/>"}) {
    everywhere = edited(everywhere, single,
                        R"(<Range minVal="0" maxVal="999999" step="1"/>)");
  }
  const std::string path = dir.write("z.xml", everywhere);
  EXPECT_FALSE(experiment.load(path));
  EXPECT_EQ(experiment.loadError,
            path +
                ": the sweep has 1000000 x 1000000 x 1000000 x 1000000 "
                "parameter sets, more than 1000000");
}

}  // namespace
