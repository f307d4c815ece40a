#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "experiment/experiment.h"
#include "files.h"

namespace {

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

std::string garbage(std::size_t size) {
  std::mt19937 random(12345);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string withSingles(const std::string& value) {
  ExperimentText text;
  const std::string single = "<Single value=\"" + value + "\"/>";
  text.wavelength = "<Wavelength>" + single + "</Wavelength>";
  text.angle = "<Angle>" + single + "</Angle>";
  text.hologram = "<Hologram value='a' preferredSize='" + value +
                  "' clipType='" + value + "'/>";
  text.output =
      "<Output normalize='" + value + "' brightness='" + value + "'/>";
  return text.text();
}

std::string utf16(const std::string& ascii) {
  std::string bytes = "\xff\xfe";
  for (const char c : ascii) bytes += {c, '\0'};
  return bytes;
}

// Files an attacker or an accident may hand the loader: each must load or
// fail with a reason, quickly, and never crash.
TEST(HostileFile, LoadsOrFailsCleanly) {
  ExperimentText billionLaughs;
  billionLaughs.root = R"(type="&lol9;" method="Fresnel")";
  std::string entities = "<!DOCTYPE Experiment [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    entities += "<!ENTITY lol" + std::to_string(i) + " \"" +
                repeat("&lol" + std::to_string(i - 1) + ";", 10) + "\">";
  }
  const struct {
    const char* name;
    std::string bytes;
    bool loads;
  } cases[] = {
      {"empty", "", false},
      {"only a declaration", "<?xml version=\"1.0\"?>", false},
      {"binary garbage", garbage(1 << 16), false},
      {"NUL bytes", std::string(100, '\0'), false},
      {"billion laughs", entities + "]>" + billionLaughs.text(), true},
      {"10 MB of open elements", "<Experiment>" + repeat("<a>", 3'500'000),
       false},
      {"deep nesting inside a good file",
       [] {
         ExperimentText text;
         text.output += repeat("<a>", 500'000) + repeat("</a>", 500'000);
         return text.text();
       }(),
       true},
      {"huge numbers", withSingles("1e999999999"), true},
      {"huge negative numbers", withSingles("-99999999999999999999e99999"),
       true},
      {"nan", withSingles("nan"), true},
      {"inf", withSingles("-inf"), true},
      {"a 1 MB attribute", withSingles(repeat("9", 1 << 20)), true},
      {"UTF-16 with a byte order mark", utf16(ExperimentText().text()), true},
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

TEST(HostileFile, BillionLaughsStaysText) {
  TempDir dir;
  ExperimentText text;
  text.hologram =
      R"(<Hologram value="&lol2;" preferredSize="1" clipType="Left"/>)";
  Experiment experiment;
  ASSERT_TRUE(
      experiment.load(dir.write("x.xml",
                                "<!DOCTYPE Experiment [<!ENTITY lol1 \"lol\">"
                                "<!ENTITY lol2 \"&lol1;&lol1;\">]>" +
                                    text.text())));
  EXPECT_EQ(experiment.hologramPath, "&lol2;");
}

TEST(HostileFile, MillionValueRangeIsTheLimit) {
  TempDir dir;
  ExperimentText text;
  text.zDistance =
      R"(<ZDistance><Range minVal="0" maxVal="999999" step="1"/></ZDistance>)";
  Experiment experiment;
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text.text())));
  ASSERT_EQ(experiment.parameterSets.size(), kMaxParameterSets);
  EXPECT_EQ(experiment.parameterSets.back().zDistance, 999999.0);

  const auto million = [](const std::string& name) {
    return "<" + name + R"(><Range minVal="0" maxVal="999999" step="1"/></)" +
           name + ">";
  };
  text.wavelength = million("Wavelength");
  text.angle = million("Angle");
  text.ccdPixelDistance = million("CcdPixelDistance");
  const std::string path = dir.write("y.xml", text.text());
  EXPECT_FALSE(experiment.load(path));
  EXPECT_EQ(experiment.loadError,
            path +
                ": the sweep has 1000000 x 1000000 x 1000000 x 1000000 "
                "parameter sets, more than 1000000");
}

}  // namespace
