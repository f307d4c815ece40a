#pragma once

#include <charconv>
#include <string>

namespace numerics {

/// The shortest text that reads back as exactly x ("5.32e-07", "0.1",
/// "-inf", "nan"), whatever the locale: how every record of this program
/// writes a number that must not lose digits.
inline std::string shortestText(double x) {
  char buffer[32];
  return std::string(buffer,
                     std::to_chars(buffer, buffer + sizeof buffer, x).ptr);
}

}  // namespace numerics
