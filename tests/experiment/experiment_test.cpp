#include "experiment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>

#include "files.h"
#include "numbers.h"
#include "sha256.h"
#include "support.h"
#include "sweep.h"

namespace {

using enum RangePlan::Verdict;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(Numbers, OnlyWholeNumbersReadAndRecordsReadBackExactly) {
  for (const char* text : {".5", " -0 ", "0X1.8P1", "-Infinity", "NAN(12)",
                           "1e400", "4.9e-324", "\t2.5e0\n"}) {
    ASSERT_TRUE(readReal(text)) << text;
    EXPECT_TRUE(sameBits(*readReal(text), std::strtod(text, nullptr))) << text;
  }
  for (const char* text : {"", " ", "abc", "5,32e-07", "1e", "64abc", "0x",
                           "\xef\xbc\x91", "1 2"}) {
    EXPECT_EQ(readReal(text), std::nullopt) << text;
  }
  EXPECT_EQ(readInteger(" -8 "), -8);
  EXPECT_EQ(readInteger("99999999999999999999"), kIntMax);
  for (const char* text : {"1e3", "512px", "abc", "1.9", "0x10", ""}) {
    EXPECT_EQ(readInteger(text), std::nullopt) << text;
  }
  EXPECT_EQ(notANumberHint("5,32e-07"),
            " (write the decimal separator as a full stop)");
  EXPECT_EQ(notANumberHint("abc"), "");
  for (const char* text : {"yes", "True", "t", "1", "Y"})
    EXPECT_TRUE(readBoolean(text)) << text;
  for (const char* text : {"no", "false", "on", "", " true"})
    EXPECT_FALSE(readBoolean(text)) << text;
  const std::pair<const char*, std::optional<bool>> flags[] = {
      {"TRUE", true}, {" yes ", true}, {"1", true},        {"No", false},
      {"0", false},   {"t", {}},       {"true false", {}}, {"", {}}};
  for (const auto& [text, flag] : flags)
    EXPECT_EQ(readFlag(text), flag) << text;
  // Timings keep the narrowed "%f"; parameters keep it only where it reads
  // back as the value used.
  const struct {
    double value;
    const char* real;
    const char* parameter;
  } formats[] = {{0.25, "0.250000", "0.250000"},
                 {0.1, "0.100000", "0.100000"},
                 {-0.5, "-0.500000", "-0.500000"},
                 {5.32e-7, "0.000001", "5.32e-07"},
                 {1e-9, "0.000000", "1e-09"},
                 {1.0000005, "1.000000", "1.0000005"},
                 {123456789, "123456792.000000", "123456789"},
                 {1e12, "999999995904.000000", "1e+12"},
                 {0x1.ffffffp127, "inf", "3.4028235677973366e+38"},
                 {-1e300, "-inf", "-1e+300"}};
  for (const auto& [value, real, parameter] : formats) {
    EXPECT_EQ(formatReal(value), real);
    EXPECT_EQ(formatParameter(value), parameter);
    EXPECT_TRUE(sameBits(*readReal(formatParameter(value).c_str()), value));
  }
  EXPECT_EQ(formatReal(kNaN), "nan");
}

TEST(Sweep, RangesGiveEveryValueAskedForAndSetsVaryPixelDistanceFastest) {
  const struct {
    double min, max, step;
    std::vector<double> values;
  } usable[] = {{0.1, 0.3, 0.1, {0.1, 0.2, 0.3}},  // adding 0.1 overshoots 0.3
                {0.25, 1.0, 0.25, {0.25, 0.5, 0.75, 1.0}},
                {2, 2, 0.5, {2}},
                {1, 2, kInf, {1}}};
  for (const auto& [lo, hi, by, values] : usable)
    EXPECT_EQ(rangeValues(lo, hi, by, planRange(lo, hi, by).count), values);
  const struct {
    double min, max, step;
    RangePlan::Verdict verdict;
  } refused[] = {{1, 0, 1, MaxBelowMin},      {kNaN, 1, 1, NotANumber},
                 {0, 1, 0, Endless},          {0, 1, kNaN, Endless},
                 {-kInf, 0, 1, Endless},      {0, 1, 4.9e-324, TooLong},
                 {-1e308, 1e308, 1, TooLong}, {0, 1000000, 1, TooLong}};
  for (const auto& [min, max, step, verdict] : refused)
    EXPECT_EQ(planRange(min, max, step).verdict, verdict)
        << min << ".." << max << " by " << step;
  // 2^80, which wraps to 0 in a plain product.
  EXPECT_EQ(sweepSize({1u << 20, 1u << 20, 1u << 20, 1u << 20}), std::nullopt);
  const ValueLists lists = {
      std::vector<double>{1, 2}, {10, 20, 30}, {100}, {1000, 2000, 3000, 4000}};
  std::vector<ParameterSet> sets;
  buildSweep(lists, sets);
  ASSERT_EQ(sets.size(), 24u);
  for (std::size_t i = 0; i < sets.size(); ++i) {
    EXPECT_EQ(sets[i].wavelength, lists[0][i / 12]);
    EXPECT_EQ(sets[i].angle, lists[1][i / 4 % 3]);
    EXPECT_EQ(sets[i].ccdPixelDistance, lists[3][i % 4]);
  }
  using enum ReconstructionMethod;
  const struct {
    ParameterSet set;
    ReconstructionMethod method;
    std::string problem;
  } checks[] = {{{5e-7, 0, -0.1, 1e-6}, Fresnel, ""},
                {{0, 0, 1, 1},
                 Fresnel,
                 "the wavelength must be positive and finite, not 0"},
                {{kNaN, 0, 1, 1},
                 Convolution,
                 "the wavelength must be positive and finite, not nan"},
                {{1, kInf, 1, 1}, Fresnel, "the angle must be finite, not inf"},
                {{1, 0, 0, 1},
                 Convolution,
                 "the z distance must not be 0 with the Convolution method "
                 "(AngularSpectrum reconstructs at 0)"},
                {{1, 0, 0, 1}, AngularSpectrum, ""},
                {{1, 0, -kInf, 1},
                 AngularSpectrum,
                 "the z distance must be finite, not -inf"},
                {{1, 0, 1, -2},
                 Fresnel,
                 "the pixel pitch must be positive and finite, not -2"}};
  for (const auto& [set, method, problem] : checks)
    EXPECT_EQ(parameterSetProblem(set, method), problem);
}

const std::string kGood = R"(<?xml version="1.0"?>
<Experiment type='DHI' method='Convolution'>
  <Hologram value='a &amp; b.bmp' value2='two.png' preferredSize='512' clipType='Right'/>
  <Wavelength><Single value='6.328e-7'/></Wavelength>
  <Angle><Single value='0'/></Angle>
  <ZDistance><Range minVal='0.25' maxVal='1.0' step='0.25'/></ZDistance>
  <CcdPixelDistance><Single value='6.7e-6'/></CcdPixelDistance>
  <Output normalize='true' brightness='1.5'/>
</Experiment>)";

// text with the first occurrence of from replaced by to.
std::string edited(std::string text, const std::string& from,
                   const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "no " << from << " to edit";
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Of repeated elements and attributes the first counts; Single beats Range.
TEST(Load, ReadsTheFirstOfEveryFieldAndKeepsTheBytes) {
  ScratchDir dir;
  std::string text = edited(kGood, "<Single value='6.328e-7'/>",
                            "<Range minVal='1' maxVal='2' step='1'/><Range/>");
  text = edited(text, "</Experiment>",
                "<Hologram value='x' value2='y' preferredSize='1' "
                "clipType='Left'/><Output normalize='n' brightness='9'/>"
                "</Experiment>");
  Experiment experiment;
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text)));
  EXPECT_EQ(experiment.fileBytes, text);
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath, "a & b.bmp");
  EXPECT_EQ(experiment.hologramPath2, "two.png");
  EXPECT_EQ(experiment.preferredSize, 512);
  EXPECT_EQ(experiment.clipType, ClipType::Right);
  EXPECT_TRUE(experiment.output.normalize);
  EXPECT_EQ(experiment.output.brightness, 1.5);
  ASSERT_EQ(experiment.parameterSets.size(), 8u);
  EXPECT_EQ(experiment.parameterSets[4].wavelength, 2);
  EXPECT_EQ(experiment.parameterSets[4].zDistance, 0.25);
}

TEST(Load, NamesTheCauseOfEachFailure) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {edited(kGood, "<Hologram", "<Hologramm"), "no <Hologram> element"},
      {edited(kGood, "<Single value='0'/>", ""),
       "<Angle> has no usable value (no <Single> or <Range>)"},
      {edited(kGood, "step='0.25'", "step='0'"),
       "the Range of <ZDistance> never ends (step 0)"},
      {edited(kGood, "6.328e-7", "6,328e-7"),
       "<Wavelength><Single value=\"6,328e-7\">: not a number (write the "
       "decimal separator as a full stop)"},
      {edited(kGood, "maxVal='1.0'", "maxVal='one'"),
       "<ZDistance><Range maxVal=\"one\">: not a number"},
      {edited(kGood, "'512'", "'1e3'"),
       "<Hologram preferredSize=\"1e3\">: not a whole number"},
      {edited(kGood, "'1.5'", "'\xef\xbc\x91'"),
       "<Output brightness=\"\xef\xbc\x91\">: not a number"},
      {edited(edited(kGood, "<Single value='6.328e-7'/>",
                     "<Range minVal='1' maxVal='1000' step='1'/>"),
              "<Single value='0'/>",
              "<Range minVal='0' maxVal='2499' step='1'/>"),
       "the sweep has 10000000 parameter sets, more than 1000000"},
      {"<Other type='a' method='b'/>", "no <Experiment> element"},
      {"<Experiment type='DHI'\n<Hologram/>",
       "XML parse error at offset 23: Error parsing start element tag"}};
  for (const std::string attribute :
       {"type", "value2", "clipType", "normalize"}) {
    cases.emplace_back(edited(kGood, attribute + "=", "x="),
                       "has no attribute \"" + attribute + "\"");
  }
  ScratchDir dir;
  for (const auto& [text, reason] : cases) {
    const std::string path = dir.write("x.xml", text);
    Experiment experiment;
    EXPECT_FALSE(experiment.load(path)) << reason;
    EXPECT_NE(experiment.loadError.find(path + ": "), std::string::npos);
    EXPECT_NE(experiment.loadError.find(reason), std::string::npos)
        << experiment.loadError;
  }
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  const std::pair<std::string, std::string> unreadable[] = {
      {dir.path("none"), "No such file or directory"},
      {dir.dir, "not a regular file"},
      {dir.path("fifo"),
       "not a regular file"}};  // would block without a writer
  for (const auto& [path, reason] : unreadable) {
    Experiment experiment;
    EXPECT_FALSE(experiment.load(path));
    EXPECT_EQ(experiment.loadError, path + ": " + reason);
  }
}

// The optional elements: absent, they change nothing; present, their
// values are read strictly and a bad one fails the load naming it.
TEST(Load, OptionalElementsAreStrict) {
  const auto withExtra = [](const std::string& method,
                            const std::string& extra) {
    return edited(
        edited(kGood, "method='Convolution'", "method='" + method + "'"),
        "</Experiment>", extra + "</Experiment>");
  };
  const struct {
    std::string file;
    std::string problem;
  } cases[] = {
      {withExtra("AngularSpectrum",
                 "<Data amplitude='YES' phase='1' unwrap=' no ' other='x'/>"
                 "<Filter type='Sideband' order='-1' fx='3' fy='-40.5' "
                 "radius='' center='true'/>"
                 "<Focus metric='TamuraGradient' region='1 2 30 40'/>"),
       ""},
      {withExtra("Convolution", "<Data phase='maybe'/>"),
       "<Data phase=\"maybe\">: not a boolean (true, false, 1, 0, yes or no)"},
      {withExtra("Convolution", "<Filter type='Lowpass'/>"),
       "<Filter type=\"Lowpass\">: the only type is Sideband"},
      {withExtra("Convolution", "<Filter type='Sideband' fx='3'/>"),
       "<Filter> needs both fx and fy, or neither"},
      {withExtra("Convolution", "<Filter type='Sideband' radius='1,5'/>"),
       "<Filter radius=\"1,5\">: not a number (write the decimal separator "
       "as a full stop)"},
      {withExtra("Convolution", "<Focus metric='Sharpness'/>"),
       "<Focus metric=\"Sharpness\">: the metric is one of"},
      {withExtra("Convolution", "<Focus region='0 0 10'/>"),
       "<Focus region=\"0 0 10\">: not \"x y width height\""},
      {withExtra("Convolution", "<Focus region='500 0 13 3'/>"),
       "the <Focus> region 500 0 13 3 reaches past the 512 x 512 picture"},
      {withExtra("Fresnel", "<Focus/>"),
       "<Focus> needs a region with the Fresnel method"},
      {edited(kGood, "clipType", "dc='Median' clipType"),
       "<Hologram dc=\"Median\">: not LocalMean, Mean or None"},
      {edited(kGood, "clipType", "frames='3-1' clipType"),
       "<Hologram frames=\"3-1\">: \"3-1\" is not a frame or a range"},
      {edited(kGood, "clipType", "frames='1,' clipType"),
       "<Hologram frames=\"1,\">: no frames"},
      {withExtra("Convolution", "<Background mode='Divide'/>"),
       "<Background> has no attribute \"value\""},
      {withExtra("Convolution", "<Background value='e.png' mode='divide'/>"),
       "<Background mode=\"divide\">: not Divide, Subtract or Field"},
      {withExtra("Convolution",
                 "<Background value='e.png'/><Filter type='Sideband'/>"),
       "<Background> needs a mode with <Filter>"},
      {withExtra("Convolution", "<Background value='e.png' mode='Field'/>"),
       "<Background mode=\"Field\"> does not apply to DHI"},
      {withExtra("Convolution", "<Data relativeAmplitude='1'/>"),
       "<Data relativeAmplitude=\"true\"> needs <Background mode=\"Field\">"},
      {withExtra("Convolution", "<Compensation tilt='no'/>"),
       "<Compensation> with neither tilt nor curvature would remove nothing"},
      {withExtra("Convolution", "<Compensation region='0 0 2 3'/>"),
       "<Compensation region=\"0 0 2 3\">: not \"x y width height\""},
      {withExtra("Convolution", "<Compensation region='0 500 20 13'/>"),
       "the <Compensation> region 0 500 20 13 reaches past the 512 x 512"},
      {edited(withExtra("Convolution", "<Data stack='true'/>"),
              "<Single value='0'/>",
              "<Range minVal='0' maxVal='0.01' step='0.01'/>"),
       "<Data stack=\"true\">: a stack holds z distances and frames only"},
      {withExtra("Convolution", "<Filter type=' Sideband' crop='maybe'/>"),
       "<Filter crop=\"maybe\">: not a boolean"}};
  ScratchDir dir;
  for (const auto& [file, problem] : cases) {
    Experiment experiment;
    EXPECT_EQ(experiment.load(dir.write("x.xml", file)), problem.empty());
    EXPECT_NE(experiment.loadError.find(problem), std::string::npos)
        << experiment.loadError;
  }
  Experiment experiment;
  ASSERT_TRUE(experiment.load(dir.write("x.xml", cases[0].file)));
  EXPECT_EQ(experiment.method, ReconstructionMethod::AngularSpectrum);
  EXPECT_TRUE(experiment.data.amplitude && experiment.data.phase);
  EXPECT_FALSE(experiment.data.intensity || experiment.data.unwrap);
  EXPECT_TRUE(experiment.filter.enabled && experiment.filter.center);
  EXPECT_EQ(experiment.filter.order, -1);
  EXPECT_EQ(experiment.filter.fy, -40.5);
  EXPECT_EQ(experiment.filter.radius, 0.0);
  EXPECT_EQ(experiment.focus.metric, FocusMetric::TamuraGradient);
  EXPECT_EQ(experiment.focus.region->height, 40);
  ASSERT_TRUE(experiment.load(dir.write(
      "x.xml",
      edited(withExtra("Convolution",
                       "<Background value='e.png' dark='d.png'/>"
                       "<Compensation curvature='yes' region='1 2 3 4'/>"
                       "<Data stack='1' opticalPath='1'/>"),
             "clipType", "dc=' Mean ' frames=' 2-9/3, 7 ' clipType"))));
  EXPECT_EQ(experiment.zeroOrder, ZeroOrderMode::Mean);
  EXPECT_EQ(experiment.background.mode, BackgroundMode::Divide);
  EXPECT_EQ(experiment.background.darkPath, "d.png");
  EXPECT_TRUE(experiment.compensation.tilt &&
              experiment.compensation.curvature);
  EXPECT_TRUE(experiment.data.stack && experiment.data.opticalPath);
  ASSERT_TRUE(experiment.frames);
  std::string problem;
  EXPECT_EQ(selectedFrames(*experiment.frames, 9, 100, problem),
            (std::vector<int>{2, 5, 8, 7}));
  // A load starts afresh: nothing of the last file stays.
  Experiment plain = experiment;
  ASSERT_TRUE(plain.load(dir.write("x.xml", kGood)));
  EXPECT_FALSE(plain.data.any() || plain.filter.enabled ||
               plain.focus.enabled || plain.background.enabled ||
               plain.compensation.enabled || plain.frames);
  EXPECT_EQ(plain.zeroOrder, ZeroOrderMode::LocalMean);
  // Frames past the series' end, and more than a sweep may hold.
  const struct {
    const char* text;
    int count;
    std::vector<int> frames;
    std::string problem;
  } selections[] = {{"all", 3, {1, 2, 3}, ""},
                    {"1-9/4,2", 9, {1, 5, 9, 2}, ""},
                    {"8-12",
                     10,
                     {},
                     "frame 12 is past the last of the series, which has "
                     "10 frames"},
                    {"1-2147483647/2147483647", 2147483647, {1}, ""},
                    {"1-5,1-5", 5, {}, "the frames asked for are more than 8"},
                    {"all", 9, {}, "the series has 9 frames, more than 8"}};
  for (const auto& [text, count, frames, why] : selections) {
    problem.clear();
    const std::optional<FrameSelection> selection = parseFrames(text, problem);
    ASSERT_TRUE(selection) << problem;
    EXPECT_EQ(selectedFrames(*selection, count, 8, problem), frames) << text;
    EXPECT_EQ(problem, why) << text;
  }
}

TEST(Files, WrittenWholeOrReportedAndNothingOfOthersRemoved) {
  ScratchDir dir;
  const std::string path = dir.write("results.xml", std::string(10000, 'x'));
  Experiment experiment;
  experiment.parameterSets = {{5.32e-7, -0.5, 0.25, 3.45e-6}};
  EXPECT_EQ(experiment.saveResults(path, 1.5, 0.25), "");
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\"?>\n"
            "<Results hologramsCount=\"1\" fullRTime=\"1.500000\" "
            "averageTime=\"0.250000\">\n"
            "\t<Parameters index=\"0\">\n"
            "\t\t<WaveLength value=\"5.32e-07\" />\n"
            "\t\t<Angle value=\"-0.500000\" />\n"
            "\t\t<ZDistance value=\"0.250000\" />\n"
            "\t\t<CcdPixelDistance value=\"3.45e-06\" />\n"
            "\t</Parameters>\n"
            "</Results>\n");
  EXPECT_EQ(experiment.saveResults(dir.path("no/results.xml"), 0, 0),
            "No such file or directory");
  // A full device behind a link: reported, and neither is removed.
  fs::create_symlink("/dev/full", dir.path("full"));
  EXPECT_EQ(writeWholeFile(dir.path("full"), "x"), "No space left on device");
  EXPECT_TRUE(fs::is_symlink(dir.path("full")));
  EXPECT_TRUE(fs::exists("/dev/full"));
  EXPECT_EQ(sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex(std::string(1000, 'a')),
            "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
  EXPECT_EQ(
      sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Given in uneven pieces, across block edges, the digest is the same.
  const std::string million(1000000, 'a');
  Sha256 pieces;
  for (std::size_t at = 0, size = 1; at < million.size(); at += size, ++size) {
    pieces.update(std::string_view(million).substr(at, size));
  }
  EXPECT_EQ(pieces.hex(),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  std::string bytes = "unchanged";
  EXPECT_EQ(readWholeFile(path, bytes, 100),
            "the file is larger than the memory available");
  EXPECT_EQ(bytes, "unchanged");
}

// Users' locales may write decimal commas; the file's numbers never do.
// Uses an installed German locale or one compiled for the test.
TEST(Numbers, CommaLocaleKeepsTheFullStop) {
  ScratchDir dir;
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    const std::string build = "localedef -i de_DE -f ISO-8859-1 '" +
                              dir.dir.string() + "/de_DE' >/dev/null 2>&1";
    setenv("LOCPATH", dir.dir.c_str(), 1);
    if (std::system(build.c_str()) != 0 || !std::setlocale(LC_ALL, "de_DE")) {
      unsetenv("LOCPATH");
      GTEST_SKIP() << "no comma-decimal locale, and localedef cannot make one";
    }
  }
  char printed[8];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);
  const std::optional<double> comma = readReal("1,5");
  const std::optional<double> point = readReal("-2.5e-3");
  const std::string formatted = formatReal(1e12);
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  ASSERT_STREQ(printed, "1,5") << "the locale does not write decimal commas";
  EXPECT_EQ(point, -2.5e-3);
  EXPECT_EQ(comma, std::nullopt);
  EXPECT_EQ(formatted, "999999995904.000000");
}

}  // namespace
