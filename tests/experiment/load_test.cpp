#include <gtest/gtest.h>

#include <string>

#include "experiment/experiment.h"
#include "files.h"

namespace {

const std::string kDhi =
    edited(edited(kGoodExperiment, "Reconstruction\" method=\"Fresnel",
                  "DHI\" method=\"Convolution"),
           "value=\"h.bmp\"", "value=\"a &amp; b.bmp\" value2=\"two.png\"");

TEST(Load, ReadsEveryFieldOfAFile) {
  TempDir dir;
  Experiment experiment;
  experiment.loadError = "earlier failure";
  const std::string text = edited(kDhi, "<Single value=\"6.328e-7\"/>",
                                  R"(<Range minVal="1" maxVal="2" step="1"/>)");
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text)));
  EXPECT_EQ(experiment.loadError, "");
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath, "a & b.bmp");
  EXPECT_EQ(experiment.hologramPath2, "two.png");
  EXPECT_EQ(experiment.preferredSize, 512);
  EXPECT_EQ(experiment.clipType, ClipType::Center);
  EXPECT_TRUE(experiment.output.normalize);
  EXPECT_EQ(experiment.output.brightness, 1.5);
  ASSERT_EQ(experiment.parameterSets.size(), 8u);
  const ParameterSet& set = experiment.parameterSets[4];
  EXPECT_EQ(set.wavelength, 2);
  EXPECT_EQ(set.angle, 0);
  EXPECT_EQ(set.zDistance, 0.25);
  EXPECT_EQ(set.ccdPixelDistance, 6.7e-6);
}

TEST(Load, UnknownTextsAndRepeatsAreNoFailure) {
  TempDir dir;
  Experiment experiment;
  // Lower-case dhi is no DHI, so value2 is neither needed nor read.
  std::string text = edited(kGoodExperiment, "Reconstruction", "dhi");
  text = edited(text, "Fresnel", "FFT");
  text =
      edited(text, "value=\"h.bmp\"", R"(value="1st" value="2nd" value2="b")");
  text = edited(text, "\"Center\"", "\"left\"");
  // Output ahead of Hologram, and a second Hologram and Output after them.
  text = edited(text, "<Hologram",
                R"(<Output normalize="yes" brightness="2.5e0"/><Hologram)");
  text = edited(text, "</Experiment>",
                R"(<Hologram value="x" preferredSize="1" clipType="Left"/>
                   <Output normalize="n" brightness="9"/></Experiment>)");
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text)));
  EXPECT_EQ(experiment.type, ExperimentType::Reconstruction);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Fresnel);
  EXPECT_EQ(experiment.hologramPath, "1st");
  EXPECT_EQ(experiment.hologramPath2, "");
  EXPECT_EQ(experiment.clipType, ClipType::Center);
  EXPECT_EQ(experiment.output.brightness, 2.5);
}

TEST(Load, NamesTheCauseOfEachFailure) {
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {edited(kGoodExperiment, "type=\"Reconstruction\"", ""),
       "<Experiment> has no attribute \"type\""},
      {edited(kGoodExperiment, "method=", "way="),
       "<Experiment> has no attribute \"method\""},
      {edited(kGoodExperiment, "<Hologram", "<Hologramm"),
       "no <Hologram> element"},
      {edited(kGoodExperiment, "value=\"h", "vale=\"h"),
       "<Hologram> has no attribute \"value\""},
      {edited(kDhi, "value2=", "Value2="),
       "<Hologram> has no attribute \"value2\""},
      {edited(kGoodExperiment, "preferredSize=", "size="),
       "<Hologram> has no attribute \"preferredSize\""},
      {edited(kGoodExperiment, "clipType=", "clip="),
       "<Hologram> has no attribute \"clipType\""},
      {edited(kGoodExperiment, "<Angle><Single value=\"0\"/></Angle>", ""),
       "no <Angle> element"},
      {edited(kGoodExperiment, "maxVal=\"1.0\"", "maxVal=\"0.1\""),
       "<ZDistance> has no usable value (Range with maxVal below minVal)"},
      {edited(kGoodExperiment, "step=\"0.25\"", "step=\"0\""),
       "the Range of <ZDistance> never ends (step 0)"},
      {edited(edited(kGoodExperiment, "<Single value=\"6.328e-7\"/>",
                     R"(<Range minVal="1" maxVal="1000" step="1"/>)"),
              "<Single value=\"0\"/>",
              R"(<Range minVal="0" maxVal="2499" step="1"/>)"),
       "the sweep has 10000000 parameter sets, more than 1000000"},
      {edited(kGoodExperiment, "<Output", "<Outputs"), "no <Output> element"},
      {edited(kGoodExperiment, "normalize=", "normalise="),
       "<Output> has no attribute \"normalize\""},
      {edited(kGoodExperiment, "brightness=", "contrast="),
       "<Output> has no attribute \"brightness\""},
      {"<Other type='a' method='b'/>", "no <Experiment> element"},
      {"<Experiment type=\"DHI\"\n<Hologram/>",
       "XML parse error at offset 23: Error parsing start element tag"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.write("x.xml", c.text);
    Experiment experiment;
    EXPECT_FALSE(experiment.load(path)) << c.reason;
    EXPECT_EQ(experiment.loadError, path + ": " + c.reason);
  }
  TempDir dir;
  Experiment experiment;
  EXPECT_FALSE(experiment.load(dir.file("missing.xml")));
  EXPECT_EQ(experiment.loadError,
            dir.file("missing.xml") + ": cannot open the file");
  EXPECT_FALSE(experiment.load(dir.file("")));
  EXPECT_EQ(experiment.loadError,
            dir.file("") + ": is a directory, not a file");
}

TEST(Load, FailureKeepsWhatEarlierStepsStored) {
  TempDir dir;
  Experiment experiment;
  experiment.hologramPath = "old";
  experiment.parameterSets.resize(3);
  EXPECT_FALSE(experiment.load(
      dir.write("x.xml", edited(kDhi, "clipType=\"Center\"", ""))));
  EXPECT_TRUE(experiment.parameterSets.empty());
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath2, "two.png");
  EXPECT_EQ(experiment.hologramPath, "old");

  // Loading again: the type stays DHI through an unknown text, so value2 is
  // required; without Output every set is formed already.
  EXPECT_FALSE(experiment.load(dir.write(
      "y.xml", edited(edited(kDhi, "DHI", "other"), "<Output", "<Outputs"))));
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.hologramPath, "a & b.bmp");
  EXPECT_EQ(experiment.parameterSets.size(), 4u);
}

}  // namespace
