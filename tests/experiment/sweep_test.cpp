#include "experiment/sweep.h"

#include <gtest/gtest.h>

#include <limits>
#include <pugixml.hpp>
#include <vector>

namespace {

using Verdict = RangePlan::Verdict;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Range, GivesEveryValueAskedFor) {
  const struct {
    double min, max, step;
    std::vector<double> expected;
  } cases[] = {
      // Adding 0.1 three times overshoots 0.3, which would drop it.
      {0.1, 0.3, 0.1, {0.1, 0.2, 0.3}},
      {0.25, 1.0, 0.25, {0.25, 0.5, 0.75, 1.0}},
      {0,
       1,
       0.1,
       {0, 0.1, 0.2, 0.30000000000000004, 0.4, 0.5, 0.6000000000000001,
        0.7000000000000001, 0.8, 0.9, 1}},
      {-1, 1, 1, {-1, 0, 1}},
      {2, 2, 0.5, {2}},
      {1, 2, kInf, {1}},
  };
  for (const auto& c : cases) {
    const RangePlan plan = planRange(c.min, c.max, c.step);
    EXPECT_EQ(rangeValues(c.min, c.max, c.step, plan.count), c.expected)
        << c.min << ".." << c.max << " by " << c.step;
  }
}

TEST(Range, CountsAsExactDecimalArithmeticDoes) {
  // Bounds and steps in hundredths, as users write them; integer arithmetic
  // on the hundredths gives the true count.
  for (int min = -30; min <= 30; min += 7) {
    for (int max = min; max <= min + 300; max += 13) {
      for (int step = 1; step <= 50; step += 3) {
        const double lo = min / 100.0, hi = max / 100.0, by = step / 100.0;
        const RangePlan plan = planRange(lo, hi, by);
        ASSERT_EQ(plan.count, static_cast<std::size_t>((max - min) / step + 1))
            << lo << ".." << hi << " by " << by;
        for (const double value : rangeValues(lo, hi, by, plan.count)) {
          ASSERT_LE(value, hi);
        }
      }
    }
  }
}

TEST(Range, RefusesWhatWouldNeverEndOrNeverFit) {
  const struct {
    double min, max, step;
    Verdict expected;
  } cases[] = {
      {1, 0, 1, Verdict::MaxBelowMin},      {1, 0, 0, Verdict::MaxBelowMin},
      {kNaN, 1, 1, Verdict::NotANumber},    {0, kNaN, 1, Verdict::NotANumber},
      {0, 1, 0, Verdict::Endless},          {0, 1, -0.5, Verdict::Endless},
      {0, 1, kNaN, Verdict::Endless},       {1, 1, 0, Verdict::Endless},
      {-kInf, 0, 1, Verdict::Endless},      {0, kInf, 1, Verdict::Endless},
      {0, 1, 1e-12, Verdict::TooLong},      {0, 1, 4.9e-324, Verdict::TooLong},
      {-1e308, 1e308, 1, Verdict::TooLong}, {0, 1000000, 1, Verdict::TooLong},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(planRange(c.min, c.max, c.step).verdict, c.expected)
        << c.min << ".." << c.max << " by " << c.step;
  }
  EXPECT_EQ(planRange(0, 999999, 1).count, kMaxRangeValues);
}

TEST(ReadValueList, TakesFirstSingleElseFirstRangeOrSaysWhyNot) {
  const struct {
    const char* xml;
    std::vector<double> values;
    const char* problem;
  } cases[] = {
      {R"(<Z><Single value="3"/><Range minVal="0" maxVal="1" step="1"/></Z>)",
       {3},
       ""},
      {R"(<Z><Single value="1"/><Single value="2"/></Z>)", {1}, ""},
      {R"(<Z><Range minVal="abc" maxVal="1" step="0.5"/><Range/></Z>)",
       {0, 0.5, 1},
       ""},
      {"<Z/>", {}, "<Z> has no usable value (no <Single> or <Range>)"},
      {R"(<Z><Single/><Range minVal="0" maxVal="1" step="1"/></Z>)",
       {},
       "<Z> has no usable value (<Single> has no attribute \"value\")"},
      {R"(<Z><Range minVal="0" maxVal="1"/></Z>)",
       {},
       "<Z> has no usable value (<Range> has no attribute \"step\")"},
      {R"(<Z><Range minVal="2" maxVal="1" step="1"/></Z>)",
       {},
       "<Z> has no usable value (Range with maxVal below minVal)"},
      {R"(<Z><Range minVal="0" maxVal="1" step="-0.5"/></Z>)",
       {},
       "the Range of <Z> never ends (step -0.5)"},
      {R"(<Z><Range minVal="-inf" maxVal="1" step="1"/></Z>)",
       {},
       "the Range of <Z> never ends (an infinite bound)"},
      {R"(<Z><Range minVal="0" maxVal="1" step="1e-9"/></Z>)",
       {},
       "the Range of <Z> has more than 1000000 values"},
  };
  for (const auto& c : cases) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(c.xml));
    std::string problem;
    EXPECT_EQ(readValueList(document.first_child(), problem), c.values)
        << c.xml;
    EXPECT_EQ(problem, c.problem);
  }
}

TEST(Sweep, CountsWithoutOverflowAndVariesPixelDistanceFastest) {
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(sweepSize({1000, 1000, 1, 1}), kMaxParameterSets);
  EXPECT_EQ(sweepSize({1000, 1001, 1, 1}), std::nullopt);
  EXPECT_EQ(sweepSize({kHuge, kHuge, kHuge, 2}), std::nullopt);
  EXPECT_EQ(sweepSize({1u << 20, 1u << 20, 1u << 20, 1u << 20}), std::nullopt);

  const ValueLists lists = {
      std::vector<double>{1, 2}, {10, 20, 30}, {100}, {1000, 2000, 3000, 4000}};
  std::vector<ParameterSet> sets;
  buildSweep(lists, sets);
  ASSERT_EQ(sets.size(), sweepSize({2, 3, 1, 4}));
  for (std::size_t w = 0; w < 2; ++w) {
    for (std::size_t a = 0; a < 3; ++a) {
      for (std::size_t c = 0; c < 4; ++c) {
        const ParameterSet& set = sets[(w * 3 + a) * 4 + c];
        EXPECT_EQ(set.wavelength, lists[0][w]);
        EXPECT_EQ(set.angle, lists[1][a]);
        EXPECT_EQ(set.zDistance, 100);
        EXPECT_EQ(set.ccdPixelDistance, lists[3][c]);
      }
    }
  }
}

}  // namespace
