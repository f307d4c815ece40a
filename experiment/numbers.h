#pragma once

#include <cstdint>
#include <string>

// Conversions between the texts of experiment and results files and numbers.
// All of them use the C locale's full stop whatever locale the process runs
// in, so that a file means the same on every machine.

/// Reads text as strtol does in base 10, saturated to the 32-bit range; text
/// without leading digits gives 0.
std::int32_t readInteger(const char* text);

/// Reads text exactly as strtod does in the C locale (hex floats, inf, nan and
/// overflow to infinity included); text without a leading number gives 0.0.
double readReal(const char* text);

/// True when text starts with 1, t, T, y or Y.
bool readBoolean(const char* text);

/// Room the fixed-size formatting of results.xml used to have, terminating
/// zero included; longer numbers are written in full all the same.
inline constexpr int kNumberBufferSize = 20;

/// value printed as "%d".
std::string formatInt(std::int32_t value);

/// value narrowed to single precision, then printed as "%f" with a full stop;
/// numbers too long for kNumberBufferSize, infinities and NaNs in full.
std::string formatReal(double value);

/// value narrowed to single precision as IEEE arithmetic does it, including
/// overflow to infinity, which a plain cast leaves undefined.
float narrowToFloat(double value);
