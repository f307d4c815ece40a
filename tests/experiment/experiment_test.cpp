#include "experiment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "numbers.h"
#include "sweep.h"

namespace {

using enum RangePlan::Verdict;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

TEST(Numbers, ReadAndFormatKnownValues) {
  for (const char* text :
       {"  1e5xyz", ".5", "-0", "0X1.8P1", "-Infinity", "NAN(12)", "1e400",
        "1e-400", "4.9e-324", "abc", "1,5", "1e", "-.e3", "0x"}) {
    const double expected = std::strtod(text, nullptr), actual = readReal(text);
    EXPECT_EQ(std::memcmp(&expected, &actual, sizeof actual), 0) << text;
  }
  const std::pair<const char*, std::int32_t> integers[] = {
      {"512px", 512}, {"abc", 0}, {"  -8", -8}, {"0x10", 0}, {"1.9", 1}};
  for (const auto& [text, value] : integers)
    EXPECT_EQ(readInteger(text), value) << text;
  for (const char* text : {"2147483647", "2147483648", "99999999999999999999"})
    EXPECT_EQ(readInteger(text), kIntMax) << text;
  for (const char* text : {"-2147483649", "-99999999999999999999"})
    EXPECT_EQ(readInteger(text), kIntMin) << text;
  for (const char* text : {"yes", "True", "t", "1", "Y"})
    EXPECT_TRUE(readBoolean(text)) << text;
  for (const char* text : {"no", "false", "on", "", " true"})
    EXPECT_FALSE(readBoolean(text)) << text;
  // Narrowed to float: 1e12 fills the 19 characters an old buffer held, and
  // 0x1.ffffffp127 is the first double that overflows.
  const std::pair<double, const char*> reals[] = {
      {1.0000005, "1.000000"}, {5e-7, "0.000000"},
      {-0.0, "-0.000000"},     {1e12, "999999995904.000000"},
      {0x1.ffffffp127, "inf"}, {-1e300, "-inf"},
      {kNaN, "nan"},           {-kNaN, "-nan"}};
  for (const auto& [value, text] : reals) EXPECT_EQ(formatReal(value), text);
  EXPECT_EQ(formatReal(std::nextafter(0x1.ffffffp127, 0.0)),
            "340282346638528859811704183484516925440.000000");
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
  EXPECT_EQ(rangeValues(0, 1, 0.1, planRange(0, 1, 0.1).count),
            (std::vector<double>{0, 0.1, 0.2, 0.30000000000000004, 0.4, 0.5,
                                 0.6000000000000001, 0.7000000000000001, 0.8,
                                 0.9, 1}));
  const struct {
    double min, max, step;
    RangePlan::Verdict verdict;
  } refused[] = {{1, 0, 1, MaxBelowMin},    {kNaN, 1, 1, NotANumber},
                 {0, 1, 0, Endless},        {0, 1, kNaN, Endless},
                 {1, 1, 0, Endless},        {-kInf, 0, 1, Endless},
                 {0, 1, 4.9e-324, TooLong}, {-1e308, 1e308, 1, TooLong},
                 {0, 1000000, 1, TooLong}};
  for (const auto& [min, max, step, verdict] : refused)
    EXPECT_EQ(planRange(min, max, step).verdict, verdict)
        << min << ".." << max << " by " << step;
  EXPECT_EQ(sweepSize({1000, 1001, 1, 1}), std::nullopt);
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
    EXPECT_EQ(sets[i].zDistance, 100);
    EXPECT_EQ(sets[i].ccdPixelDistance, lists[3][i % 4]);
  }
}

// A fresh directory for one test's files, removed at its end.
struct TempDir {
  std::string path = [] {
    std::string name = testing::TempDir() + "holorecon-XXXXXX";
    return std::string(mkdtemp(name.data()));
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path + "/" + name, std::ios::binary) << bytes;
    return path + "/" + name;
  }
};

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
TEST(Load, ReadsTheFirstOfEveryField) {
  TempDir dir;
  Experiment experiment;
  experiment.loadError = "earlier failure";
  std::string text = edited(kGood, "<Single value='6.328e-7'/>",
                            "<Range minVal='1' maxVal='2' step='1'/><Range/>");
  text = edited(text, "<Single value='0'/>",
                "<Range/><Single value='0'/><Single/>");
  text = edited(
      text, "</Experiment>",
      "<Hologram value='x' value2='y' preferredSize='1' clipType='Left'/>"
      "<Output normalize='n' brightness='9'/></Experiment>");
  ASSERT_TRUE(experiment.load(dir.write("x.xml", text)));
  EXPECT_EQ(experiment.loadError, "");
  EXPECT_EQ(experiment.type, ExperimentType::DHI);
  EXPECT_EQ(experiment.method, ReconstructionMethod::Convolution);
  EXPECT_EQ(experiment.hologramPath, "a & b.bmp");
  EXPECT_EQ(experiment.hologramPath2, "two.png");
  EXPECT_EQ(experiment.preferredSize, 512);
  EXPECT_EQ(experiment.clipType, ClipType::Right);
  EXPECT_TRUE(experiment.output.normalize);
  EXPECT_EQ(experiment.output.brightness, 1.5);
  ASSERT_EQ(experiment.parameterSets.size(), 8u);
  const ParameterSet& set = experiment.parameterSets[4];
  EXPECT_EQ(set.wavelength, 2);
  EXPECT_EQ(set.angle, 0);
  EXPECT_EQ(set.zDistance, 0.25);
  EXPECT_EQ(set.ccdPixelDistance, 6.7e-6);
}

TEST(Load, NamesTheCauseOfEachFailure) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {edited(kGood, "<Hologram", "<Hologramm"), "no <Hologram> element"},
      {edited(kGood, "<Angle><Single value='0'/></Angle>", ""),
       "no <Angle> element"},
      {edited(kGood, "<Single value='0'/>", ""),
       "<Angle> has no usable value (no <Single> or <Range>)"},
      {edited(kGood, "<Single value='0'/>",
              "<Single/><Range minVal='0' maxVal='1' step='1'/>"),
       "<Angle> has no usable value (<Single> has no attribute \"value\")"},
      {edited(kGood, "step='0.25'", "step='0'"),
       "the Range of <ZDistance> never ends (step 0)"},
      {edited(edited(kGood, "<Single value='6.328e-7'/>",
                     "<Range minVal='1' maxVal='1000' step='1'/>"),
              "<Single value='0'/>",
              "<Range minVal='0' maxVal='2499' step='1'/>"),
       "the sweep has 10000000 parameter sets, more than 1000000"},
      {edited(kGood, "<Output", "<Outputs"), "no <Output> element"},
      {"<Other type='a' method='b'/>", "no <Experiment> element"},
      {"<Experiment type='DHI'\n<Hologram/>",
       "XML parse error at offset 23: Error parsing start element tag"}};
  for (const std::string missing :
       {"Experiment type", "Experiment method", "Hologram value",
        "Hologram value2", "Hologram preferredSize", "Hologram clipType",
        "Output normalize", "Output brightness"}) {
    const std::string attribute = missing.substr(missing.find(' ') + 1);
    cases.emplace_back(edited(kGood, attribute + "=", "x="),
                       "<" + missing.substr(0, missing.find(' ')) +
                           "> has no attribute \"" + attribute + "\"");
  }
  TempDir dir;
  for (const auto& [text, reason] : cases) {
    const std::string path = dir.write("x.xml", text);
    Experiment experiment;
    EXPECT_FALSE(experiment.load(path)) << reason;
    EXPECT_EQ(experiment.loadError, path + ": " + reason);
  }
  Experiment experiment;
  EXPECT_FALSE(experiment.load(dir.path + "/none"));
  EXPECT_EQ(experiment.loadError, dir.path + "/none: cannot open the file");
  EXPECT_FALSE(experiment.load(dir.path));
  EXPECT_EQ(experiment.loadError, dir.path + ": is a directory, not a file");
}

// Hostile files load, or fail with a one-line reason; quickly, never crashing.
TEST(HostileFile, LoadsOrFailsCleanly) {
  std::string garbage(1 << 16, '\0'), deep = "<Experiment>";
  std::mt19937 random(12345);
  for (char& byte : garbage) byte = static_cast<char>(random());
  for (int i = 0; i < 3'500'000; ++i) deep += "<a>";
  const std::tuple<const char*, std::string, std::size_t> cases[] = {
      {"empty", "", 0},
      {"binary garbage", garbage, 0},
      {"10 MB of open elements", deep, 0},
      {"huge numbers",
       edited(edited(kGood, "512", "-99999999999999999999"), "'1.0'",
              "'1e999'"),
       0},
      {"NaN and inf",
       edited(edited(kGood, "6.328e-7", "NaN"), "6.7e-6", "-inf"), 4},
      {"a million-value range",
       edited(kGood, "1.0' step='0.25", "1000000.24' step='1"),
       kMaxParameterSets}};
  TempDir dir;
  for (const auto& [name, bytes, sets] : cases) {
    SCOPED_TRACE(name);
    Experiment experiment;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(experiment.load(dir.write("x.xml", bytes)), sets > 0)
        << experiment.loadError;
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(5));
    EXPECT_EQ(experiment.loadError.empty(), sets > 0);
    EXPECT_EQ(experiment.loadError.find('\n'), std::string::npos);
    EXPECT_EQ(experiment.parameterSets.size(), sets);
  }
}

// Over an older, longer file; a path that cannot be written is no failure.
TEST(SaveResults, WritesTheExactLayout) {
  TempDir dir;
  const std::string path = dir.write("results.xml", std::string(10000, 'x'));
  Experiment experiment;
  experiment.parameterSets = {{532e-9, -0.5, 123456789, 1}};
  experiment.saveResults(path, 1.5, 0.25);
  std::ifstream saved(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}),
            "<?xml version=\"1.0\"?>\n"
            "<Results hologramsCount=\"1\" fullRTime=\"1.500000\" "
            "averageTime=\"0.250000\">\n"
            "\t<Parameters index=\"0\">\n"
            "\t\t<WaveLength value=\"0.000001\" />\n"
            "\t\t<Angle value=\"-0.500000\" />\n"
            "\t\t<ZDistance value=\"123456792.000000\" />\n"
            "\t\t<CcdPixelDistance value=\"1.000000\" />\n"
            "\t</Parameters>\n"
            "</Results>\n");
  experiment.saveResults(dir.path + "/no/such/dir/results.xml", 0, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path + "/no"));
}

// Users' locales may write decimal commas; the file's numbers never do.
// Uses an installed German locale or one compiled for the test.
TEST(CommaLocale, NumbersKeepTheFullStop) {
  TempDir dir;
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    const std::string build = "localedef -i de_DE -f ISO-8859-1 '" + dir.path +
                              "/de_DE' >/dev/null 2>&1";
    setenv("LOCPATH", dir.path.c_str(), 1);
    if (std::system(build.c_str()) != 0 || !std::setlocale(LC_ALL, "de_DE")) {
      unsetenv("LOCPATH");
      GTEST_SKIP() << "no comma-decimal locale, and localedef cannot make one";
    }
  }
  char printed[8];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);
  const double comma = readReal("1,5");
  const double point = readReal("-2.5e-3");
  const std::string formatted = formatReal(1e12);
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  ASSERT_STREQ(printed, "1,5") << "the locale does not write decimal commas";
  EXPECT_EQ(point, -2.5e-3);
  EXPECT_EQ(comma, 1.0);
  EXPECT_EQ(formatted, "999999995904.000000");
}

}  // namespace
