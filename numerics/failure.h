#pragma once

#include <stdexcept>
#include <string>

namespace numerics {

/// Raised by a transform that meets an infinity or a NaN, before it has
/// written any result a caller sees. The text names the direction:
/// "FFTC1D: A contains infinite or NAN values!" (forward) or
/// "FFTC1DInv: A contains infinite or NAN values!" (inverse), the texts
/// scripts that watch the runs look for.
class NonFiniteData : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Text of the exception being handled, for use inside a catch (...) block:
/// the numerics' own errors, allocation failures and anything else a
/// reconstruction can raise.
std::string describeCurrentFailure();

}  // namespace numerics
