// simulate: holosim's recordings as arrays.

#include "simulation.h"

#include <pybind11/stl.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "arrays.h"
#include "bindings.h"
#include "sizes.h"

namespace holopy {

namespace {

using namespace pybind11::literals;
using numerics::ComplexField;
using numerics::RealField;

/// Why holosim would refuse these values, with its texts; empty when it
/// simulates them.
std::string simulationProblem(const SimulationOptions& options,
                              bool phaseObject,
                              const std::optional<double>& phaseScale) {
  const std::string problem = recordingProblem(options.recording);
  if (!problem.empty()) return problem;
  if (phaseScale && !phaseObject) return "--phase-scale needs --phase-object";
  if (phaseScale && !(std::abs(*phaseScale) <= 1e6)) {
    return "the phase scale must be a number from -1e6 to 1e6";
  }
  if (!(options.noise >= 0.0 && options.noise <= 1e6)) {
    return "the noise must be a number from 0 to 1e6";
  }
  if (!(std::abs(options.deform) <= 1e6)) {
    return "the deformation must be a number from -1e6 to 1e6";
  }
  return {};
}

/// The central n x n grey levels of a picture, refused as holosim refuses
/// its file: values that are not finite, and for an amplitude all black.
RealField objectPicture(const py::array& picture, int n,
                        const std::string& what, bool amplitude) {
  checkPicture(picture, what);
  RealField samples = greyLevels(picture, n, what);
  bool bright = false;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      if (!std::isfinite(samples[r][c])) {
        throw py::value_error(what +
                              " holds values that are not finite numbers");
      }
      bright = bright || samples[r][c] > 0.0;
    }
  }
  if (amplitude && !bright) {
    throw py::value_error(what + " is black (its red channel) over the " +
                          "central " + std::to_string(n) + " x " +
                          std::to_string(n) + " pixels");
  }
  return samples;
}

py::object simulate(int size, double wavelength, double pitch, double distance,
                    double angle, const py::object& object,
                    const std::optional<py::array>& phaseObjectPicture,
                    const std::optional<double>& phaseScale, bool diffuse,
                    std::uint64_t seed, double noise,
                    const std::optional<double>& deform) {
  SimulationOptions options;
  options.recording = {size, wavelength, pitch, distance, angle};
  options.diffuse = diffuse;
  options.seed = seed;
  options.noise = noise;
  options.deformed = deform.has_value();
  options.deform = deform.value_or(0.0);
  const bool bars =
      py::isinstance<py::str>(object) && object.cast<std::string>() == "bars";
  if (!bars && phaseObjectPicture && !object.is_none()) {
    throw py::value_error("--object and --phase-object exclude each other");
  }
  const std::string problem =
      simulationProblem(options, phaseObjectPicture.has_value(), phaseScale);
  if (!problem.empty()) throw py::value_error(problem);
  const int n = size;
  // The 2N x 2N propagation grid, and a dozen N x N fields at most.
  requireMemory(numerics::saturatingSum(
      {ComplexField::bytesFor(2 * n),
       numerics::saturatingProduct(RealField::bytesFor(n), 12)}));
  RealField amplitude;
  RealField phase;
  if (phaseObjectPicture) {
    const RealField picture = objectPicture(*phaseObjectPicture, n,
                                            "the phase object picture", false);
    PhaseObject made =
        phaseObject(picture.rows(), n, phaseScale.value_or(std::numbers::pi));
    amplitude = std::move(made.amplitude);
    phase = std::move(made.phase);
  } else if (bars || object.is_none()) {
    amplitude = barsPattern(n);
  } else {
    amplitude =
        objectPicture(object.cast<py::array>(), n, "the object picture", true);
  }
  Holograms pictures;
  {
    py::gil_scoped_release release;
    pictures = ::simulate(amplitude.rows(), phase.rows(), options);
  }
  if (!pictures.second) return greyArray(pictures.first);
  return py::make_tuple(greyArray(pictures.first), greyArray(pictures.second));
}

constexpr const char* kSimulateDoc =
    R"(simulate(*, size=512, wavelength=532e-9, pitch=3.45e-6, distance=0.01, angle=0.05, object="bars", phase_object=None, phase_scale=None, diffuse=False, seed=1, noise=0.0, deform=None)

The hologram holosim records with the same options, as the picture its PNG
holds: a size x size uint8 array of grey levels 0..255, row 0 the top
line. reconstruct(simulate(...), wavelength=..., z=distance, pitch=...,
angle=...) focuses the object.

An object at `distance` in front of the sensor sends its light, propagated
exactly, to the sensor, where it meets a plane reference wave tilted by
`angle` along the picture's rows. Lengths share one unit of your choice
(the defaults are metres); the angle is in radians.

size          sensor edge in pixels, 16 to 4096
wavelength, pitch, distance, angle
              the optics, as holosim's --wavelength, --pitch, --distance,
              --angle
object        "bars": the built-in resolution target; or a picture array
              (as reconstruct reads a hologram) whose grey levels are the
              object's amplitude, its central size x size pixels one per
              sensor pixel (black where it is smaller)
phase_object  a picture array instead: a transparent object, amplitude 1
              over the central square of half the edge, its phase the
              picture's grey levels 0..255 giving 0 to phase_scale
phase_scale   the phase of full white in radians (default pi)
diffuse       a random phase on the object, as a rough surface has
seed          seed of that phase and of the noise
noise         camera noise, standard deviation in grey levels
deform        also record the object deformed by a smooth phase bump of
              this peak in radians: returns (hologram, deformed), whose
              interference phase in a DHI run shows the bump

Raises ValueError with holosim's reasons ("the size must be at least 16
pixels", an angle too steep for the pitch, ...).
)";

}  // namespace

void bindSimulation(py::module_& module) {
  module.def("simulate", &simulate, kSimulateDoc, py::kw_only(), "size"_a = 512,
             "wavelength"_a = 532e-9, "pitch"_a = 3.45e-6, "distance"_a = 0.01,
             "angle"_a = 0.05, "object"_a = "bars",
             "phase_object"_a = py::none(), "phase_scale"_a = py::none(),
             "diffuse"_a = false, "seed"_a = 1, "noise"_a = 0.0,
             "deform"_a = py::none());
}

}  // namespace holopy
