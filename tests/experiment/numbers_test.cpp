#include "experiment/numbers.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "files.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();

TEST(ReadText, ConvertsLikeTheCLibraryInTheCLocale) {
  for (const char* text :
       {"1.5",      "  1e5xyz", ".5",        "-0",  "+2.5e0",  "0x1p3",
        "0X1.8P1",  "inf",      "-Infinity", "nan", "NAN(12)", "1e400",
        "-1e400",   "1e-400",   "abc",       "",    "1,5",     "\t\n 7",
        "4.9e-324", "1e",       "-.e3",      "0x"}) {
    const double expected = std::strtod(text, nullptr);
    const double actual = readReal(text);
    EXPECT_EQ(std::memcmp(&expected, &actual, sizeof actual), 0) << text;
  }
  const std::pair<const char*, std::int32_t> integers[] = {
      {"512px", 512},
      {"abc", 0},
      {"-8", -8},
      {"  +17", 17},
      {"0x10", 0},
      {"1.9", 1},
      {"2147483647", kIntMax},
      {"2147483648", kIntMax},
      {"-2147483649", kIntMin},
      {"-99999999999999999999999", kIntMin}};
  for (const auto& [text, value] : integers) {
    EXPECT_EQ(readInteger(text), value) << text;
  }
  for (const char* text : {"yes", "True", "t", "1", "Y"}) {
    EXPECT_TRUE(readBoolean(text)) << text;
  }
  for (const char* text : {"no", "false", "0", "on", "", " true"}) {
    EXPECT_FALSE(readBoolean(text)) << text;
  }
}

TEST(FormatReal, NarrowsToFloatThenPrintsSixDecimalsInFull) {
  const std::pair<double, const char*> cases[] = {
      {1.5, "1.500000"},
      {-0.5, "-0.500000"},
      {123456789, "123456792.000000"},
      {999999.9, "999999.875000"},
      {1.0000005, "1.000000"},
      {6.328e-7, "0.000001"},
      {5e-7, "0.000000"},
      {-0.0, "-0.000000"},
      // Longer than the 19 characters an old fixed buffer held.
      {1e12, "999999995904.000000"},
      {-1e11, "-99999997952.000000"},
      // The last double that rounds to FLT_MAX, then the first one that
      // overflows to infinity.
      {std::nextafter(0x1.ffffffp127, 0.0),
       "340282346638528859811704183484516925440.000000"},
      {0x1.ffffffp127, "inf"},
      {-1e300, "-inf"},
      {kNaN, "nan"},
      {-kNaN, "-nan"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(formatReal(value), text);
  EXPECT_EQ(formatInt(kIntMin), "-2147483648");
}

// Switches the process to a locale with decimal commas: an installed German
// one, or one compiled from the system's locale sources. Skips when neither
// can be had.
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
    GTEST_SKIP() << "no comma-decimal locale installed, and localedef "
                    "cannot build one";
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }

  TempDir dir_;
};

TEST_F(CommaLocale, NumbersKeepTheFullStop) {
  char printed[8];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);
  ASSERT_STREQ(printed, "1,5") << "the locale does not write decimal commas";
  EXPECT_EQ(readReal("-2.5e-3"), -2.5e-3);
  EXPECT_EQ(readReal("1,5"), 1.0);
  EXPECT_EQ(formatReal(1e12), "999999995904.000000");
}

}  // namespace
