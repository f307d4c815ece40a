#include "numbers.h"

#include <locale.h>
#include <stdlib.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// newlocale("C") hands back glibc's built-in C locale object without
// allocating, so it cannot fail; it is never freed.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

// Switches this thread to the C locale for as long as it lives, so that
// printf writes a full stop under a comma-decimal locale too.
class CLocaleScope {
 public:
  CLocaleScope() : previous_(uselocale(cLocale())) {}
  ~CLocaleScope() { uselocale(previous_); }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_;
};

// Halfway between FLT_MAX and the next power of two: round-to-nearest-even
// sends everything from here up to infinity, since FLT_MAX's last mantissa
// bit is odd.
constexpr double kFloatOverflowThreshold = 0x1.ffffffp127;

}  // namespace

std::int32_t readInteger(const char* text) {
  const long value = strtol_l(text, nullptr, 10, cLocale());
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

double readReal(const char* text) { return strtod_l(text, nullptr, cLocale()); }

bool readBoolean(const char* text) {
  switch (text[0]) {
    case '1':
    case 't':
    case 'T':
    case 'y':
    case 'Y':
      return true;
    default:
      return false;
  }
}

float narrowToFloat(double value) {
  const float sign = std::signbit(value) ? -1.0f : 1.0f;
  const double magnitude = std::fabs(value);
  if (std::isnan(value)) {
    return std::copysign(std::numeric_limits<float>::quiet_NaN(), sign);
  }
  if (magnitude >= kFloatOverflowThreshold) {
    return sign * std::numeric_limits<float>::infinity();
  }
  // Below the threshold a value beyond FLT_MAX rounds down to it; say so
  // rather than cast a value outside float's range.
  if (magnitude > static_cast<double>(FLT_MAX)) return sign * FLT_MAX;
  return static_cast<float>(value);
}

std::string formatInt(std::int32_t value) {
  char buffer[kNumberBufferSize];
  std::snprintf(buffer, sizeof buffer, "%d", value);
  return buffer;
}

std::string formatReal(double value) {
  const CLocaleScope cNumbers;
  const double narrowed = static_cast<double>(narrowToFloat(value));
  char buffer[kNumberBufferSize];
  const int length = std::snprintf(buffer, sizeof buffer, "%f", narrowed);
  if (length < kNumberBufferSize) return buffer;
  // FLT_MAX has 39 digits before the point; print again into a string sized
  // for the whole text.
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), "%f", narrowed);
  text.pop_back();
  return text;
}
