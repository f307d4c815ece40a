#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <pugixml.hpp>
#include <string>

#include "experiment/experiment.h"
#include "experiment/numbers.h"
#include "files.h"

namespace {

Experiment withSets(std::vector<ParameterSet> sets) {
  Experiment experiment;
  experiment.parameterSets = std::move(sets);
  return experiment;
}

TEST(SaveResults, WritesTheExactLayout) {
  TempDir dir;
  const Experiment experiment =
      withSets({{6.328e-7, -0.5, 0.25, 6.7e-6}, {532e-9, 0, 123456789, 1}});
  experiment.saveResults(dir.file("results.xml"), 1.5, 0.25);
  EXPECT_EQ(readFile(dir.file("results.xml")),
            "<?xml version=\"1.0\"?>\n"
            "<Results hologramsCount=\"2\" fullRTime=\"1.500000\" "
            "averageTime=\"0.250000\">\n"
            "\t<Parameters index=\"0\">\n"
            "\t\t<WaveLength value=\"0.000001\" />\n"
            "\t\t<Angle value=\"-0.500000\" />\n"
            "\t\t<ZDistance value=\"0.250000\" />\n"
            "\t\t<CcdPixelDistance value=\"0.000007\" />\n"
            "\t</Parameters>\n"
            "\t<Parameters index=\"1\">\n"
            "\t\t<WaveLength value=\"0.000001\" />\n"
            "\t\t<Angle value=\"0.000000\" />\n"
            "\t\t<ZDistance value=\"123456792.000000\" />\n"
            "\t\t<CcdPixelDistance value=\"1.000000\" />\n"
            "\t</Parameters>\n"
            "</Results>\n");
}

TEST(SaveResults, WritesNumbersOfAnyLengthInFull) {
  TempDir dir;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const double values[] = {3e38, -1e30, kInf,
                           std::numeric_limits<double>::quiet_NaN(), 1e300};
  const Experiment experiment = withSets(
      {{values[0], values[1], values[2], values[3]}, {values[4], 0, 0, 0}});
  experiment.saveResults(dir.file("results.xml"), 1e20, -kInf);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(dir.file("results.xml").c_str()));
  const pugi::xml_node results = document.child("Results");
  EXPECT_STREQ(results.attribute("fullRTime").value(),
               "100000002004087734272.000000");
  EXPECT_STREQ(results.attribute("averageTime").value(), "-inf");
  const pugi::xml_node first = results.child("Parameters");
  EXPECT_EQ(first.child("WaveLength").attribute("value").value(),
            formatReal(values[0]));
  EXPECT_EQ(
      std::string(first.child("WaveLength").attribute("value").value()).size(),
      46u);
  EXPECT_STREQ(first.child("ZDistance").attribute("value").value(), "inf");
  EXPECT_STREQ(first.child("CcdPixelDistance").attribute("value").value(),
               "nan");
  EXPECT_STREQ(first.next_sibling("Parameters")
                   .child("WaveLength")
                   .attribute("value")
                   .value(),
               "inf");
}

TEST(SaveResults, ReplacesOldFilesAndIgnoresUnwritablePaths) {
  TempDir dir;
  const std::string path = dir.write("results.xml", std::string(10000, 'x'));
  const Experiment experiment = withSets({});
  experiment.saveResults(path, 0, 0);
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\"?>\n<Results hologramsCount=\"0\" "
            "fullRTime=\"0.000000\" averageTime=\"0.000000\" />\n");
  const std::string nowhere = dir.file("no/such/dir/results.xml");
  experiment.saveResults(nowhere, 0, 0);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
}

}  // namespace
