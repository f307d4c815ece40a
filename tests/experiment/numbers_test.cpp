#include "experiment/numbers.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "files.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

// Texts a user may write, read by readReal exactly as strtod reads them
// in the C locale the tests start in.
constexpr const char* kRealTexts[] = {
    "1.5",       "  1e5xyz", ".5",       "-0",
    "+2.5e0",    "0x1p3",    "0X1.8P1",  "inf",
    "-Infinity", "nan",      "NAN(12)",  "1e400",
    "-1e400",    "1e-400",   "abc",      "",
    "1,5",       "\t\n 7",   "6.328e-7", "4.9e-324",
    "1e",        "-.e3",     "0x",       "1.7976931348623157e308"};

TEST(ReadReal, ReadsWhatStrtodReadsInTheCLocale) {
  for (const char* text : kRealTexts) {
    const double expected = std::strtod(text, nullptr);
    const double actual = readReal(text);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(actual)) << text;
    } else {
      EXPECT_EQ(std::memcmp(&expected, &actual, sizeof actual), 0)
          << text << ": " << actual << " instead of " << expected;
    }
  }
  EXPECT_EQ(readReal("1e400"), kInf);
  EXPECT_EQ(readReal("0x1p3"), 8.0);
  EXPECT_EQ(readReal("abc"), 0.0);
}

TEST(ReadInteger, ReadsLikeStrtolAndSaturatesTo32Bits) {
  const struct {
    const char* text;
    std::int32_t expected;
  } cases[] = {{"512", 512},
               {"512px", 512},
               {"abc", 0},
               {"-8", -8},
               {"  +17", 17},
               {"0x10", 0},
               {"1.9", 1},
               {"", 0},
               {"2147483647", kIntMax},
               {"2147483648", kIntMax},
               {"-2147483649", kIntMin},
               {"99999999999999999999999", kIntMax},
               {"-99999999999999999999999", kIntMin}};
  for (const auto& c : cases)
    EXPECT_EQ(readInteger(c.text), c.expected) << c.text;
}

TEST(ReadBoolean, LooksAtTheFirstCharacterOnly) {
  for (const char* text : {"yes", "True", "t", "1", "Y", "10"}) {
    EXPECT_TRUE(readBoolean(text)) << text;
  }
  for (const char* text : {"no", "false", "0", "on", "", " true", "F"}) {
    EXPECT_FALSE(readBoolean(text)) << text;
  }
}

TEST(FormatInt, PrintsPlainDecimal) {
  EXPECT_EQ(formatInt(0), "0");
  EXPECT_EQ(formatInt(-1), "-1");
  EXPECT_EQ(formatInt(kIntMax), "2147483647");
  EXPECT_EQ(formatInt(kIntMin), "-2147483648");
}

TEST(FormatReal, NarrowsToFloatThenPrintsSixDecimals) {
  const struct {
    double value;
    const char* expected;
  } cases[] = {
      {1.5, "1.500000"},
      {-0.5, "-0.500000"},
      {123456789, "123456792.000000"},
      {999999.9, "999999.875000"},
      {1.0000005, "1.000000"},
      {6.328e-7, "0.000001"},
      {5e-7, "0.000000"},
      {-0.0, "-0.000000"},
      // Longer than the 19 characters the old fixed buffer held.
      {1e12, "999999995904.000000"},
      {-1e11, "-99999997952.000000"},
      {FLT_MAX, "340282346638528859811704183484516925440.000000"},
      // The last double that still rounds to FLT_MAX, and the first that
      // overflows to infinity.
      {std::nextafter(0x1.ffffffp127, 0.0),
       "340282346638528859811704183484516925440.000000"},
      {0x1.ffffffp127, "inf"},
      {1e300, "inf"},
      {-1e300, "-inf"},
      {kInf, "inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {-std::numeric_limits<double>::quiet_NaN(), "-nan"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatReal(c.value), c.expected) << c.value;
  }
}

// Switches the process to a locale that writes decimal commas: an installed
// German one, or else one compiled from the system's locale sources into a
// temporary directory. Skips when neither is possible.
class CommaLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) return;
    const std::string command = "localedef -i de_DE -f ISO-8859-1 '" +
                                dir_.file("de_DE") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      setenv("LOCPATH", dir_.file("").c_str(), 1);
      if (std::setlocale(LC_ALL, "de_DE") != nullptr) return;
    }
    GTEST_SKIP() << "no comma-decimal locale is installed or can be built "
                    "with localedef";
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }

  TempDir dir_;
};

TEST_F(CommaLocale, NumbersStillUseTheFullStop) {
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);
  ASSERT_STREQ(printed, "1,5") << "the locale does not write decimal commas";
  EXPECT_EQ(readReal("1.5"), 1.5);
  EXPECT_EQ(readReal("1,5"), 1.0);
  EXPECT_EQ(readReal("-2.5e-3"), -2.5e-3);
  EXPECT_EQ(formatReal(1.5), "1.500000");
  EXPECT_EQ(formatReal(1e12), "999999995904.000000");
}

}  // namespace
