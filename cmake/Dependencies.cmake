# Every third-party library comes in as an imported target, so that a target
# that links one gets its headers (as SYSTEM includes: their warnings stay
# theirs) and nothing else.

find_package(pugixml REQUIRED)
find_package(Threads REQUIRED)

# FFTW 3, double precision: every transform of the program (numerics only).
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFTW3 REQUIRED IMPORTED_TARGET fftw3)

# ALGLIB, the tests' independent reference transform (reference only). Its
# package file defines variables only.
find_package(ALGLIB REQUIRED)
if(NOT TARGET ALGLIB::ALGLIB)
  add_library(ALGLIB::ALGLIB UNKNOWN IMPORTED)
  set_target_properties(ALGLIB::ALGLIB PROPERTIES
    IMPORTED_LOCATION "${ALGLIB_LIB}"
    INTERFACE_INCLUDE_DIRECTORIES "${ALGLIB_INCLUDE_DIRS}")
endif()

# FreeImage ships neither a package file nor a pkg-config file.
find_path(FREEIMAGE_INCLUDE_DIR FreeImage.h REQUIRED)
find_library(FREEIMAGE_LIBRARY NAMES freeimage REQUIRED)
if(NOT TARGET FreeImage::FreeImage)
  add_library(FreeImage::FreeImage UNKNOWN IMPORTED)
  set_target_properties(FreeImage::FreeImage PROPERTIES
    IMPORTED_LOCATION "${FREEIMAGE_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${FREEIMAGE_INCLUDE_DIR}")
endif()

# libdeflate: the PNG writer's compression (images only).
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)

# libpng (the tests' and the benchmarks' second PNG reader and former
# writer) and libtiff: CMake's own find modules define the imported targets.
find_package(PNG REQUIRED)
find_package(TIFF REQUIRED)

# The Python module (python/), built whenever Debian's python3-dev and
# pybind11-dev are there. It is for Debian's interpreter, whose packages
# (numpy, pytest) it is used with; the python3 first on PATH may be another.
# Sanitized builds leave it out: an interpreter that is not instrumented
# cannot load it.
option(HOLORECON_PYTHON "Build the Python module when its packages are there"
       ON)
# Cached, so that scripts/build can tell whether the module is built.
set(HOLORECON_PYTHON_MODULE OFF CACHE INTERNAL "")
if(HOLORECON_PYTHON AND NOT HOLORECON_SANITIZE AND NOT
   HOLORECON_THREAD_SANITIZE AND NOT HOLORECON_FUZZ_INSTRUMENT)
  if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
  if(Python3_FOUND)
    find_package(pybind11 CONFIG QUIET)
    set(HOLORECON_PYTHON_MODULE ${pybind11_FOUND} CACHE INTERNAL "")
  endif()
endif()
