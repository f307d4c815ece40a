#include "numbers.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

#include "shortest.h"

using numerics::shortestText;

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

// The spaces XML allows around an attribute's text.
bool isSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

bool onlySpacesFrom(const char* text) {
  while (isSpace(*text)) ++text;
  return *text == '\0';
}

// text without the spaces around it, in lower case.
std::string lowerTrimmed(const char* text) {
  while (isSpace(*text)) ++text;
  std::string word;
  for (; *text != '\0'; ++text) {
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
  }
  while (!word.empty() && isSpace(word.back())) word.pop_back();
  return word;
}

std::int32_t saturateToInt32(long value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<std::int32_t> readInteger(const char* text) {
  char* end = nullptr;
  const long value = strtol_l(text, &end, 10, cLocale());
  if (end == text || !onlySpacesFrom(end)) return std::nullopt;
  return saturateToInt32(value);
}

std::optional<std::int32_t> readInt32(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol_l(text, &end, 10, cLocale());
  if (end == text || !onlySpacesFrom(end) || errno == ERANGE ||
      value != saturateToInt32(value)) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::string trimmed(const char* text) {
  while (isSpace(*text)) ++text;
  std::string word = text;
  while (!word.empty() && isSpace(word.back())) word.pop_back();
  return word;
}

std::optional<double> readReal(const char* text) {
  char* end = nullptr;
  const double value = strtod_l(text, &end, cLocale());
  if (end == text || !onlySpacesFrom(end)) return std::nullopt;
  return value;
}

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

std::optional<bool> readFlag(const char* text) {
  const std::string word = lowerTrimmed(text);
  if (word == "true" || word == "1" || word == "yes") return true;
  if (word == "false" || word == "0" || word == "no") return false;
  return std::nullopt;
}

std::string notANumberHint(const char* text) {
  std::string withPoint = text;
  std::replace(withPoint.begin(), withPoint.end(), ',', '.');
  if (withPoint != text && readReal(withPoint.c_str())) {
    return " (write the decimal separator as a full stop)";
  }
  return {};
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

std::string formatParameter(double value) {
  std::string text = formatReal(value);
  const std::optional<double> readBack = readReal(text.c_str());
  // Compared bit for bit, so that -0 and NaN keep their own texts too.
  if (readBack && std::memcmp(&*readBack, &value, sizeof value) == 0) {
    return text;
  }
  return shortestText(value);
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

std::string shownNumber(double value, int digits) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::setprecision(digits) << value;
  return text.str();
}
