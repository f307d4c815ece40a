// The holorecon module: the program's reconstructions on numpy arrays.

#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "failure.h"

namespace holopy {

void warn(const std::string& text) {
  if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) {
    throw py::error_already_set();
  }
}

}  // namespace holopy

namespace {

constexpr const char* kModuleDoc =
    R"(holorecon: digital holograms reconstructed by holorecon's own numerics.

The functions take and give numpy arrays as numpy, PIL and tifffile read
pictures (row 0 the top line) and give exactly what a run of the console
program computes for the same picture and values:

    import holorecon, numpy
    hologram = holorecon.simulate(size=256, distance=5e-3)
    U = holorecon.reconstruct(hologram, method="AngularSpectrum",
                              wavelength=532e-9, z=5e-3, pitch=3.45e-6,
                              angle=0.05)
    amplitude, phase = numpy.abs(U), numpy.angle(U)

reconstruct   a hologram to the complex field at distance z
propagate     a complex field over a distance, by the angular spectrum
sideband      the sideband filter of an off-axis hologram
unwrap        a wrapped phase unwrapped
focus_figures the four focus figures of an amplitude
simulate      holosim's hologram of a known object
run           a whole experiment file, as the console program runs it

Lengths are in one unit of your choice throughout (metres, or millimetres
throughout), angles in radians. Bad values raise ValueError (OSError for
files, MemoryError for work that would not fit) with the console
program's texts.
)";

}  // namespace

PYBIND11_MODULE(holorecon, module) {
  module.doc() = kModuleDoc;
  // Each docstring opens with its own signature, keyword-only marker and
  // all, as the README writes it.
  pybind11::options options;
  options.disable_function_signatures();
  // A transform that meets NaN or infinity says so in the run's words.
  pybind11::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const numerics::NonFiniteData& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    }
  });
  holopy::bindReconstruction(module);
  holopy::bindAnalysis(module);
  holopy::bindSimulation(module);
  holopy::bindRun(module);
}
