#pragma once

#include <string>

/// Text of the exception being handled, for use inside a catch (...) block:
/// the numerics' own errors, allocation failures and anything else a
/// reconstruction can raise. Keeps the numerical library's error type out
/// of every other part of the program.
std::string describeCurrentFailure();
