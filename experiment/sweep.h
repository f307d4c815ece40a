#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "experiment.h"

/// Most values one Range may generate: a longer list could never be part of
/// a sweep within kMaxParameterSets, so it is refused before it is made.
inline constexpr std::size_t kMaxRangeValues = kMaxParameterSets;

/// Added to (max - min) / step before rounding down, so that a max a whole
/// number of steps away from min still counts when division lands just
/// below: (0.3 - 0.1) / 0.1 = 1.9999999999999998 floors to 2 with it.
inline constexpr double kRangeCountSlack = 1e-9;

/// What a Range from min to max by step amounts to.
struct RangePlan {
  enum class Verdict {
    Usable,       // count values, at least one
    NotANumber,   // min or max is NaN: no usable value
    MaxBelowMin,  // no usable value
    Endless,      // min or max infinite, or step not positive
    TooLong,      // more than kMaxRangeValues values
  };
  Verdict verdict = Verdict::Usable;
  std::size_t count = 0;
};

/// Decides whether min..max by step is usable and how many values it has:
/// floor((max - min) / step + kRangeCountSlack) + 1.
RangePlan planRange(double min, double max, double step);

/// The count values min + i * step, none above max: the last one may lie
/// above max by rounding, and then is max itself.
std::vector<double> rangeValues(double min, double max, double step,
                                std::size_t count);

/// The values of one parameter element (its first Single, else its first
/// Range) in generation order. Empty when it holds no usable value; then
/// problem says why, as a phrase naming the element.
std::vector<double> readValueList(const pugi::xml_node& element,
                                  std::string& problem);

/// The four value lists of a sweep, in the order of ParameterSet's fields.
using ValueLists = std::array<std::vector<double>, 4>;

/// The product of the four lengths, or nothing when it exceeds
/// kMaxParameterSets; checked factor by factor, so it never overflows.
std::optional<std::size_t> sweepSize(const std::array<std::size_t, 4>& lengths);

/// Appends one ParameterSet per combination, wavelength slowest and CCD pixel
/// distance fastest, after reserving room for all of them. The lists must be
/// non-empty and their product within kMaxParameterSets.
void buildSweep(const ValueLists& lists, std::vector<ParameterSet>& sets);

/// Why method cannot reconstruct set, as a phrase for "Set 3: ...":
/// wavelength and pixel pitch must be positive and finite, the z distance
/// finite (a negative z is a plane like any other) and, but for the angular
/// spectrum, not 0; the angle finite. Empty when the set is usable.
std::string parameterSetProblem(const ParameterSet& set,
                                ReconstructionMethod method);
