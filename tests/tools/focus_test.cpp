// Focus found on simulated holograms, run as a user runs the programs.

#include <cmath>
#include <cstdio>
#include <string>

#include "images.h"
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
// with z, so its figures come from a region around the object, as do those
// of the angular spectrum close in, where the zero order is not yet clear
// of the object. A phase object is sharpest where its amplitude integrates
// to most, the undiffracted light and the twin filtered out.
TEST(SlowFocus, TheSharpestSetIsAtTheSimulatedDistance) {
  const std::string nearTheAxis =
      "--pitch 6.7e-6 --wavelength 632.8e-9 "
      "--angle 0.03 ";  // z_c = 0.0182
  const std::string aroundTheObject = "region='88 88 80 80'";
  const std::vector<std::string> sharpness = {"NormalizedVariance",
                                              "TenenbaumGradient"};
  const std::string filter = "<Filter type='Sideband'/>";
  const std::string phaseObject = "--phase-object phase.png --phase-scale 1.5";
  const std::vector<std::string> integrated = {"IntegratedAmplitudeMax"};
  const struct {
    const char* method;
    double z;
    std::string object, elements;
    bool region;
    std::vector<std::string> metrics;
  } cases[] = {
      {"Convolution", 0.012, "--diffuse --noise 2", "", false, sharpness},
      {"Convolution", 0.02, "", "", false, sharpness},
      {"Fresnel", 0.008, "", "", true, sharpness},
      {"Fresnel", 0.02, "--diffuse --noise 2", "", true, sharpness},
      {"AngularSpectrum", 0.0045, nearTheAxis, "", true, sharpness},
      {"AngularSpectrum", 0.055, nearTheAxis, "", false, sharpness},
      {"Convolution", 0.012, phaseObject, filter, true, integrated},
      {"AngularSpectrum", 0.012, phaseObject, filter, true, integrated}};
  for (const auto& [method, z, object, elements, region, metrics] : cases) {
    for (const std::string& metric : metrics) {
      SCOPED_TRACE(std::string(method) + " " + std::to_string(z) + " " +
                   object + " " + metric);
      const ScratchDir dir;
      std::vector<std::uint8_t> stripes(256 * 256);  // a phase of 16-pixel bars
      for (std::size_t i = 0; i < stripes.size(); ++i) {
        stripes[i] = i / 16 % 2 == 0 ? 255 : 0;
      }
      ASSERT_EQ(saveGreyPng8(dir.path("phase.png"), stripes.data(), 256, 256),
                "");
      const RunOutcome simulated = runProgram(
          kHolosim,
          "--size 256 --distance " + std::to_string(z) + " " + object +
              " --method Convolution --experiment e.xml e.png",
          dir.dir);
      ASSERT_EQ(simulated.status, 0) << simulated.err;
      std::string xml = readFile(dir.path("e.xml"));
      xml.replace(xml.find("Convolution"), 11, method);
      const std::size_t from = xml.find("<Range"), to = xml.find("/>", from);
      xml.replace(from, to + 2 - from,
                  "<Range minVal='" + std::to_string(0.5 * z) + "' maxVal='" +
                      std::to_string(1.5 * z) + "' step='" +
                      std::to_string(z / 20) + "'/>");
      xml.replace(xml.find("</Experiment>"), 0,
                  elements + "<Focus metric='" + metric + "' " +
                      (region ? aroundTheObject : "") + " refine='yes'/>");
      dir.write("e.xml", xml);
      const RunOutcome outcome = runProgram(kHolorecon, "e.xml", dir.dir);
      ASSERT_EQ(outcome.status, 0) << outcome.err;
      const std::string sharpest = lines(outcome.out).end()[-2];
      EXPECT_EQ(sharpest.rfind("Sharpest: set 10 (z = ", 0), 0u) << sharpest;
      EXPECT_NEAR(numberAfter(sharpest, "refined z = "), z, 0.01 * z)
          << sharpest;
      // focus.csv: the parameters exactly as results.xml has them.
      const fs::path run = outcome.runDirectories.at(0);
      const std::vector<std::string> csv = lines(readFile(run / "focus.csv"));
      ASSERT_EQ(csv.size(), 23u);
      const std::string results = readFile(run / "results.xml");
      std::vector<std::string> fields;  // index, the four values, figures
      std::istringstream row(csv[11]);
      for (std::string field; std::getline(row, field, ',');) {
        fields.push_back(field);
      }
      ASSERT_EQ(fields.size(), 9u);
      EXPECT_EQ(std::strtod(fields[3].c_str(), nullptr),
                numberAfter(results.substr(results.find("index=\"10\"")),
                            "<ZDistance value=\""));
      EXPECT_EQ(csv[22].rfind("refined,", 0), 0u);
    }
  }
}

}  // namespace
