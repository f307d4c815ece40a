#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Conversions between the texts of experiment and results files and numbers.
// All of them use the C locale's full stop whatever locale the process runs
// in, so that a file means the same on every machine.

/// Reads text that is entirely a decimal whole number, spaces around it
/// allowed, as strtol does in base 10, saturated to the 32-bit range; empty
/// for anything else ("1e3", "64abc", "abc", "").
std::optional<std::int32_t> readInteger(const char* text);

/// readInteger for the new elements: a number outside the 32-bit range is
/// refused instead of saturated, so that no message echoes a value other
/// than the one written.
std::optional<std::int32_t> readInt32(const char* text);

/// text without the spaces XML allows around an attribute's value.
std::string trimmed(const char* text);

/// Reads text that is entirely a number, spaces around it allowed, exactly
/// as strtod does in the C locale (hex floats, inf, nan and overflow to
/// infinity included); empty for anything else ("5,32e-07", "abc", "").
std::optional<double> readReal(const char* text);

/// True when text starts with 1, t, T, y or Y.
bool readBoolean(const char* text);

/// The strict boolean of the optional elements: true, false, 1, 0, yes or no
/// in any case, spaces around allowed; empty for any other text.
std::optional<bool> readFlag(const char* text);

/// Why text is not a number, for a load error: says that a decimal comma
/// should be a full stop when that would make it one.
std::string notANumberHint(const char* text);

/// Room the fixed-size formatting of results.xml used to have, terminating
/// zero included; longer numbers are written in full all the same.
inline constexpr int kNumberBufferSize = 20;

/// value printed as "%d".
std::string formatInt(std::int32_t value);

/// value narrowed to single precision, then printed as "%f" with a full stop;
/// numbers too long for kNumberBufferSize, infinities and NaNs in full.
std::string formatReal(double value);

/// A parameter value for results.xml: formatReal(value) when that text reads
/// back as exactly value, otherwise the shortest text that does. Lengths in
/// millimetres keep their "0.250000"; 5.32e-07 stays "5.32e-07" instead of
/// collapsing to "0.000001".
std::string formatParameter(double value);

/// value as the console shows numbers: at most digits significant digits,
/// as a stream writes them by default ("0.155", "1e-05").
std::string shownNumber(double value, int digits = 6);

/// value narrowed to single precision as IEEE arithmetic does it, including
/// overflow to infinity, which a plain cast leaves undefined.
float narrowToFloat(double value);
