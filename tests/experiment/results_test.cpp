#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>

#include "experiment/experiment.h"
#include "files.h"

namespace {

TEST(SaveResults, WritesTheExactLayout) {
  TempDir dir;
  Experiment experiment;
  experiment.parameterSets = {{6.328e-7, -0.5, 0.25, 6.7e-6},
                              {532e-9, 0, 123456789, 1}};
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

TEST(SaveResults, ReplacesOldFilesWritesLongNumbersAndIgnoresBadPaths) {
  TempDir dir;
  const std::string path = dir.write("results.xml", std::string(10000, 'x'));
  const Experiment experiment;
  experiment.saveResults(path, 1e20, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(
      readFile(path),
      "<?xml version=\"1.0\"?>\n<Results hologramsCount=\"0\" "
      "fullRTime=\"100000002004087734272.000000\" averageTime=\"-inf\" />\n");
  const std::string nowhere = dir.file("no/such/dir/results.xml");
  experiment.saveResults(nowhere, 0, 0);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
}

}  // namespace
