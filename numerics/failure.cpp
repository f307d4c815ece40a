#include "failure.h"

#include <exception>
#include <new>

namespace numerics {

std::string describeCurrentFailure() {
  // Rethrowing is the only portable way to learn what the active exception
  // is; every branch here returns, so nothing escapes.
  try {
    throw;
  } catch (const NonFiniteData& error) {
    return error.what();
  } catch (const std::bad_alloc&) {
    return "Not enough memory for the reconstruction";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "Unknown failure";
  }
}

}  // namespace numerics
