#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "experiment/experiment.h"
#include "files.h"

namespace {

TEST(Load, ReadsACompleteFile) {
  TempDir dir;
  ExperimentText text;
  text.root = R"(type="DHI" method="Convolution")";
  text.hologram =
      R"(<Hologram value="a &amp; b.bmp" value2="two.png" preferredSize="1024" clipType="Right"/>)";
  text.wavelength =
      R"(<Wavelength><Range minVal="1" maxVal="2" step="1"/></Wavelength>)";
  Experiment experiment;
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text.text())))
      << experiment.loadError;
  EXPECT_EQ(experiment.loadError, "");
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath, "a & b.bmp");
  EXPECT_EQ(experiment.hologramPath2, "two.png");
  EXPECT_EQ(experiment.preferredSize, 1024);
  EXPECT_EQ(experiment.clipType, ClipType::Right);
  EXPECT_TRUE(experiment.output.normalize);
  EXPECT_EQ(experiment.output.brightness, 1.5);
  ASSERT_EQ(experiment.parameterSets.size(), 8u);
  EXPECT_EQ(experiment.parameterSets[3].zDistance, 1.0);
  EXPECT_EQ(experiment.parameterSets[4].wavelength, 2.0);
  EXPECT_EQ(experiment.parameterSets[4].zDistance, 0.25);
  EXPECT_EQ(experiment.parameterSets[7].ccdPixelDistance, 6.7e-6);
}

TEST(Load, TakesLenientReadingsOfSingleFields) {
  using Edit = std::function<void(ExperimentText&)>;
  using Check = std::function<void(const Experiment&)>;
  const struct {
    const char* name;
    Edit edit;
    Check check;
  } cases[] = {
      {"lower-case dhi is no DHI and needs no value2",
       [](ExperimentText& t) { t.root = R"(type="dhi" method="Fresnel")"; },
       [](const Experiment& e) {
         EXPECT_EQ(e.type, ExperimentType::Reconstruction);
       }},
      {"value2 of a Reconstruction is not read",
       [](ExperimentText& t) {
         t.hologram =
             R"(<Hologram value="a" value2="b" preferredSize="1" clipType="Left"/>)";
       },
       [](const Experiment& e) {
         EXPECT_EQ(e.hologramPath2, "");
         EXPECT_EQ(e.clipType, ClipType::Left);
       }},
      {"unknown clipType and method keep their defaults",
       [](ExperimentText& t) {
         t.root = R"(type="Reconstruction" method="FFT")";
         t.hologram =
             R"(<Hologram value="a" preferredSize="-8" clipType="left"/>)";
       },
       [](const Experiment& e) {
         EXPECT_EQ(e.method, ReconstructionMethod::Fresnel);
         EXPECT_EQ(e.clipType, ClipType::Center);
         EXPECT_EQ(e.preferredSize, -8);
       }},
      {"Output before Hologram, first of repeated elements and attributes",
       [](ExperimentText& t) {
         t.hologram =
             t.output +
             R"(<Hologram value="1st" value="x" preferredSize="7" clipType="Center"/>)"
             R"(<Hologram value="2nd" preferredSize="9" clipType="Left"/>)";
         t.output = R"(<Output normalize="on" brightness="abc"/>)";
       },
       [](const Experiment& e) {
         EXPECT_EQ(e.hologramPath, "1st");
         EXPECT_EQ(e.preferredSize, 7);
         EXPECT_TRUE(e.output.normalize);
         EXPECT_EQ(e.output.brightness, 1.5);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ExperimentText text;
    c.edit(text);
    Experiment experiment;
    ASSERT_TRUE(experiment.load(dir.write("x.xml", text.text())))
        << experiment.loadError;
    c.check(experiment);
  }
}

TEST(Load, NamesTheCauseOfEachFailure) {
  using Edit = std::function<void(ExperimentText&)>;
  const struct {
    Edit edit;
    std::string reason;
  } cases[] = {
      {[](ExperimentText& t) { t.root = R"(method="Fresnel")"; },
       "<Experiment> has no attribute \"type\""},
      {[](ExperimentText& t) { t.root = R"(type="DHI")"; },
       "<Experiment> has no attribute \"method\""},
      {[](ExperimentText& t) { t.hologram = ""; }, "no <Hologram> element"},
      {[](ExperimentText& t) {
         t.hologram = R"(<Hologram preferredSize="1" clipType="Left"/>)";
       },
       "<Hologram> has no attribute \"value\""},
      {[](ExperimentText& t) { t.root = R"(type="DHI" method="Fresnel")"; },
       "<Hologram> has no attribute \"value2\""},
      {[](ExperimentText& t) {
         t.hologram = R"(<Hologram value="a" clipType="Left"/>)";
       },
       "<Hologram> has no attribute \"preferredSize\""},
      {[](ExperimentText& t) {
         t.hologram = R"(<Hologram value="a" preferredSize="1"/>)";
       },
       "<Hologram> has no attribute \"clipType\""},
      {[](ExperimentText& t) { t.angle = ""; }, "no <Angle> element"},
      {[](ExperimentText& t) {
         t.zDistance =
             R"(<ZDistance><Range minVal="1" maxVal="0.5" step="0.25"/></ZDistance>)";
       },
       "<ZDistance> has no usable value (Range with maxVal below minVal)"},
      {[](ExperimentText& t) {
         t.angle = R"(<Angle><Range minVal="0" maxVal="1" step="0"/></Angle>)";
       },
       "the Range of <Angle> never ends (step 0)"},
      {[](ExperimentText& t) {
         t.wavelength =
             R"(<Wavelength><Range minVal="0" maxVal="999" step="1"/></Wavelength>)";
         t.angle =
             R"(<Angle><Range minVal="1" maxVal="1000" step="1"/></Angle>)";
         t.zDistance =
             R"(<ZDistance><Range minVal="0" maxVal="9" step="1"/></ZDistance>)";
       },
       "the sweep has 10000000 parameter sets, more than 1000000"},
      {[](ExperimentText& t) { t.output = ""; }, "no <Output> element"},
      {[](ExperimentText& t) { t.output = R"(<Output brightness="1"/>)"; },
       "<Output> has no attribute \"normalize\""},
      {[](ExperimentText& t) { t.output = R"(<Output normalize="1"/>)"; },
       "<Output> has no attribute \"brightness\""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ExperimentText text;
    c.edit(text);
    const std::string path = dir.write("x.xml", text.text());
    Experiment experiment;
    EXPECT_FALSE(experiment.load(path)) << c.reason;
    EXPECT_EQ(experiment.loadError, path + ": " + c.reason);
  }
}

TEST(Load, ReportsFilesItCannotRead) {
  TempDir dir;
  Experiment experiment;
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {dir.file("missing.xml"), "cannot open the file"},
      {dir.file(""), "is a directory, not a file"},
      {dir.write("cut.xml", "<Experiment type=\"DHI\"\n<Hologram/>"),
       "XML parse error at offset 23: Error parsing start element tag"},
      {dir.write("other.xml", "<Other type='a' method='b'/>"),
       "no <Experiment> element"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(experiment.load(c.path));
    EXPECT_EQ(experiment.loadError, c.path + ": " + c.reason);
  }
}

TEST(Load, FailureKeepsWhatEarlierStepsStored) {
  TempDir dir;
  ExperimentText text;
  text.root = R"(type="DHI" method="Convolution")";
  text.hologram = R"(<Hologram value="new" value2="new2" clipType="Left"/>)";
  Experiment experiment;
  experiment.hologramPath = "old";
  experiment.parameterSets.resize(3);
  EXPECT_FALSE(experiment.load(dir.write("x.xml", text.text())));
  EXPECT_TRUE(experiment.parameterSets.empty());
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath2, "new2");
  EXPECT_EQ(experiment.hologramPath, "old");
  EXPECT_EQ(experiment.clipType, ClipType::Center);

  // Without Output every set is formed already, and stays.
  text = ExperimentText();
  text.output = "";
  EXPECT_FALSE(experiment.load(dir.write("y.xml", text.text())));
  EXPECT_EQ(experiment.parameterSets.size(), 4u);
  EXPECT_EQ(experiment.hologramPath, "h.bmp");
}

TEST(Load, SecondLoadStartsAFreshSweepAndClearsTheError) {
  TempDir dir;
  Experiment experiment;
  EXPECT_FALSE(experiment.load(dir.file("missing.xml")));
  ExperimentText text;
  text.root = R"(type="DHI" method="Convolution")";
  text.hologram =
      R"(<Hologram value="a" value2="b" preferredSize="1" clipType="Left"/>)";
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text.text())));
  EXPECT_EQ(experiment.loadError, "");
  // Unknown texts keep the earlier values, so this is still DHI and its
  // value2 is required and read.
  text.root = R"(type="other" method="other")";
  text.hologram =
      R"(<Hologram value="a" value2="c" preferredSize="1" clipType="Left"/>)";
  text.zDistance = "<ZDistance><Single value='2'/></ZDistance>";
  ASSERT_TRUE(experiment.load(dir.write("y.xml", text.text())));
  EXPECT_EQ(experiment.parameterSets.size(), 1u);
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath2, "c");
}

}  // namespace
