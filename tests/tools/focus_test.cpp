// Focus found on simulated holograms, run as a user runs the programs.

#include <cmath>
#include <cstdio>
#include <string>

#include "support.h"

namespace {

/// The number after text in line, NaN when text is not there.
double numberAfter(const std::string& line, const std::string& text) {
  const std::size_t at = line.find(text);
  return at == std::string::npos
             ? std::nan("")
             : std::strtod(line.c_str() + at + text.size(), nullptr);
}

// A sweep from 0.5 z to 1.5 z in steps of z / 20 around an object that
// stands clear of the undiffracted light and the twin, at distances where
// the method samples its chirp correctly: the sharpest set is the one at z
// and the refined z lies within 1 % of it. Fresnel's field of view grows
// with z, so its figures come from a region around the object.
TEST(SlowFocus, TheSharpestSetIsAtTheSimulatedDistance) {
  const struct {
    const char* method;
    double z;
    const char* object;
    const char* region;
  } cases[] = {
      {"Convolution", 0.012, "--diffuse --noise 2", ""},
      {"Convolution", 0.02, "", ""},
      {"Fresnel", 0.008, "", "region='92 92 72 72'"},
      {"Fresnel", 0.02, "--diffuse --noise 2", "region='92 92 72 72'"}};
  for (const auto& [method, z, object, region] : cases) {
    for (const std::string metric :
         {"NormalizedVariance", "TenenbaumGradient"}) {
      SCOPED_TRACE(std::string(method) + " " + std::to_string(z) + " " +
                   object + " " + metric);
      const ScratchDir dir;
      const RunOutcome simulated = runProgram(
          kHolosim,
          "--size 256 --distance " + std::to_string(z) + " " + object +
              " --method " + method + " --experiment e.xml e.png",
          dir.dir);
      ASSERT_EQ(simulated.status, 0) << simulated.err;
      std::string xml = readFile(dir.path("e.xml"));
      const std::size_t from = xml.find("<Range"), to = xml.find("/>", from);
      xml.replace(from, to + 2 - from,
                  "<Range minVal='" + std::to_string(0.5 * z) + "' maxVal='" +
                      std::to_string(1.5 * z) + "' step='" +
                      std::to_string(z / 20) + "'/>");
      xml.replace(
          xml.find("</Experiment>"), 0,
          "<Focus metric='" + metric + "' " + region + " refine='yes'/>");
      dir.write("e.xml", xml);
      const RunOutcome outcome = runProgram(kHolorecon, "e.xml", dir.dir);
      ASSERT_EQ(outcome.status, 0) << outcome.err;
      const std::string sharpest = lines(outcome.out).end()[-2];
      EXPECT_EQ(sharpest.rfind("Sharpest: set 10 (z = ", 0), 0u) << sharpest;
      EXPECT_NEAR(numberAfter(sharpest, "refined z = "), z, 0.01 * z)
          << sharpest;
      // focus.csv: the parameters exactly as the sweep has them.
      const std::vector<std::string> csv =
          lines(readFile(outcome.runDirectories.at(0) / "focus.csv"));
      ASSERT_EQ(csv.size(), 23u);
      EXPECT_EQ(numberAfter(csv[11], "10,5.32e-07,0.05,"), z);
      EXPECT_EQ(csv[22].rfind("refined,", 0), 0u);
    }
  }
}

}  // namespace
