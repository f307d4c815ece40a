# Every target of ours compiles with the same strict warning list; third-party
# headers come in as SYSTEM includes so that their warnings stay theirs.
set(HOLORECON_WARNINGS
    -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wold-style-cast
    -Wdouble-promotion)

option(HOLORECON_WERROR "Treat warnings as errors" OFF)
option(HOLORECON_SANITIZE "Build with AddressSanitizer and UBSan" OFF)

function(holorecon_target_options target)
  target_compile_options(${target} PRIVATE ${HOLORECON_WARNINGS})
  if(HOLORECON_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # Under the sanitizers' instrumentation GCC's flow analysis reports
  # uninitialised reads inside libstdc++ (std::regex's automaton) that are
  # not there; the release build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND
     (HOLORECON_SANITIZE OR HOLORECON_THREAD_SANITIZE))
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()
