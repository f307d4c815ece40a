// reconstruct, propagate and sideband: the run's preparation, filter and
// reconstructions on arrays.

#include <pybind11/stl.h>

#include <complex>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "arrays.h"
#include "bindings.h"
#include "inputs.h"
#include "options.h"
#include "prepare.h"
#include "reconstruction.h"
#include "sideband.h"
#include "sizes.h"
#include "steps.h"

namespace holopy {

namespace {

using namespace pybind11::literals;
using numerics::ComplexField;
using numerics::Method;
using numerics::Optics;
using numerics::PreparedHologram;
using numerics::RealField;

/// How a hologram's undiffracted light is taken off before the reference
/// wave multiplies it: the dc keyword's modes. More drop in here as the
/// numerics gain them.
struct DcMode {
  const char* name;
  PreparedHologram (*prepare)(const double* const* hologram, int n);
};

constexpr DcMode kDcModes[] = {{"LocalMean", numerics::prepareHologram}};

const DcMode& dcNamed(const std::string& name) {
  std::string valid;
  for (const DcMode& mode : kDcModes) {
    if (name == mode.name) return mode;
    if (!valid.empty()) valid += ", ";
    valid += mode.name;
  }
  throw py::value_error("dc must be one of " + valid + ", not '" + name + "'");
}

/// A hologram prepared as the run prepares it, and the filter found on it.
struct Prepared {
  PreparedHologram hologram;
  std::optional<numerics::Sideband> sideband;
};

/// Runs without the GIL: the preparation, then the filter when asked for.
Prepared prepare(RealField samples, const DcMode& dc,
                 const std::optional<FilterOptions>& filter,
                 const Optics& optics) {
  Prepared prepared{dc.prepare(samples.rows(), samples.size()), std::nullopt};
  samples.release();
  if (!filter) return prepared;
  numerics::SidebandResult result =
      filterSideband(prepared.hologram, sidebandRequest(*filter), optics);
  if (!result.problem.empty()) {
    throw py::value_error("The sideband filter: " + result.problem);
  }
  prepared.hologram = std::move(result.hologram);
  prepared.sideband = result.sideband;
  return prepared;
}

/// The run's warnings about a filter, as UserWarning.
void warnOfSideband(const numerics::Sideband& sideband, double angle) {
  for (const std::string& warning : sidebandWarnings(sideband, angle)) {
    warn(warning);
  }
}

/// Bytes a reconstruction of an n x n hologram holds at its peak: the
/// samples, the prepared hologram and the filter's spectrum, the numerics'
/// own, the field and the array it is copied into.
std::size_t reconstructionBytes(int n, Method method, bool filtered) {
  return numerics::saturatingSum(
      {RealField::bytesFor(n), numerics::preparedHologramBytes(n, filtered),
       filtered ? numerics::sidebandBytes(n) : 0,
       numerics::reconstructionScratchBytes(n, method, false),
       numerics::saturatingProduct(ComplexField::bytesFor(n), 2)});
}

py::array_t<std::complex<double>> reconstruct(
    const py::array& hologram, const std::string& method, double wavelength,
    double z, double pitch, double angle, const std::string& dc,
    const std::optional<py::dict>& sideband) {
  const ReconstructionMethod named = methodNamed(method);
  const Method chosen = methodOf(named);
  const DcMode& mode = dcNamed(dc);
  const Optics optics = checkedOptics(wavelength, z, pitch, angle, named);
  std::optional<FilterOptions> filter;
  if (sideband) filter = sidebandOptions(*sideband);
  const int n = squareEdge(hologram, "the hologram");
  requireMemory(reconstructionBytes(n, chosen, filter.has_value()));
  RealField samples = greyLevels(hologram, n, "the hologram");
  py::array_t<std::complex<double>> out = newComplexArray(n);
  std::complex<double>* values = out.mutable_data();
  std::optional<numerics::Sideband> used;
  bool finite = false;
  {
    py::gil_scoped_release release;
    Prepared prepared = prepare(std::move(samples), mode, filter, optics);
    used = prepared.sideband;
    ComplexField field(n);
    numerics::ReconstructionOutputs outputs;
    outputs.field = field.rows();
    numerics::reconstruct(chosen, prepared.hologram, optics, outputs);
    finite = fillComplex(field, values);
  }
  if (!finite) throw py::value_error("the reconstruction overflowed");
  if (used) warnOfSideband(*used, angle);
  return out;
}

/// The field propagated by the angular spectrum over z, on its own grid.
///
/// The numerics' angular spectrum reconstructs a prepared hologram: it
/// multiplies the samples by the reference wave (amplitude 1 here, and with
/// angle 0 a constant), and
/// shows sample p at p + 1/2 for even n and p + 1 for odd n, scaled by
/// 1 / pitch^2, so that its pictures line up with the Convolution method's.
/// In units of the pitch the scale is 1. A second pass over distance 0
/// (a transfer function of exactly 1 within a band limit no tighter than
/// the first's) moves an even edge's half sample to a whole one, which the
/// copy into the array rolls back exactly.
ComplexField propagateField(ComplexField field, const Optics& unit) {
  const int n = field.size();
  PreparedHologram hologram;
  hologram.referenceAmplitude = 1.0;
  hologram.complex = std::move(field);
  // A fresh field costs about as much as a pass: the second pass writes
  // into the input's rows, which the first has read.
  ComplexField out(n);
  numerics::ReconstructionOutputs outputs;
  outputs.field = out.rows();
  const auto pass = [&](double z) {
    numerics::reconstruct(Method::angularSpectrum, hologram,
                          {unit.wavelength, 0.0, z, 1.0}, outputs);
  };
  pass(unit.zDistance);
  if (n % 2 != 0) return out;
  std::swap(hologram.complex, out);
  outputs.field = out.rows();
  pass(0.0);
  return out;
}

py::array_t<std::complex<double>> propagate(const py::array& field, double z,
                                            double wavelength, double pitch,
                                            const std::string& method) {
  if (methodNamed(method) != ReconstructionMethod::AngularSpectrum) {
    throw py::value_error(
        "propagate keeps the field on its grid, which only the "
        "AngularSpectrum method does (Fresnel changes the pitch with z, "
        "Convolution samples its kernel between the grid's points), not '" +
        method + "'");
  }
  constexpr ReconstructionMethod kAngularSpectrum =
      ReconstructionMethod::AngularSpectrum;
  checkedOptics(wavelength, z, pitch, 0.0, kAngularSpectrum);
  const Optics unit =
      checkedOptics(wavelength / pitch, z / pitch, 1.0, 0.0, kAngularSpectrum);
  const int n = fieldEdge(field, "the field");
  requireMemory(numerics::saturatingSum(
      {numerics::saturatingProduct(ComplexField::bytesFor(n), 4),
       numerics::reconstructionScratchBytes(n, Method::angularSpectrum,
                                            false)}));
  ComplexField samples = complexSamples(field, n);
  py::array_t<std::complex<double>> out = newComplexArray(n);
  std::complex<double>* values = out.mutable_data();
  bool finite = false;
  {
    py::gil_scoped_release release;
    finite = fillComplex(propagateField(std::move(samples), unit), values, 1);
  }
  if (!finite) throw py::value_error("the reconstruction overflowed");
  return out;
}

py::dict sideband(const py::array& hologram, double wavelength, double pitch,
                  double angle, const std::string& dc, const py::object& order,
                  const py::object& fx, const py::object& fy,
                  const py::object& radius, const py::object& edge,
                  const py::object& center) {
  const DcMode& mode = dcNamed(dc);
  // The filter needs no distance; 1 passes the check of one.
  const Optics optics = checkedOptics(wavelength, 1.0, pitch, angle,
                                      ReconstructionMethod::AngularSpectrum);
  const FilterOptions filter = sidebandOptions(
      py::dict("order"_a = order, "fx"_a = fx, "fy"_a = fy, "radius"_a = radius,
               "edge"_a = edge, "center"_a = center));
  const int n = squareEdge(hologram, "the hologram");
  requireMemory(numerics::saturatingSum(
      {RealField::bytesFor(n), numerics::preparedHologramBytes(n, true),
       numerics::sidebandBytes(n), ComplexField::bytesFor(n)}));
  RealField samples = greyLevels(hologram, n, "the hologram");
  py::array_t<std::complex<double>> out = newComplexArray(n);
  std::complex<double>* values = out.mutable_data();
  numerics::Sideband found;
  {
    py::gil_scoped_release release;
    Prepared prepared = prepare(std::move(samples), mode, filter, optics);
    found = *prepared.sideband;
    fillComplex(prepared.hologram.complex, values);
  }
  warnOfSideband(found, angle);
  return py::dict("hologram"_a = out, "fx"_a = found.centre.fx,
                  "fy"_a = found.centre.fy, "radius"_a = found.radius,
                  "edge"_a = found.edge, "center"_a = found.center,
                  "contrast"_a = found.contrast);
}

constexpr const char* kReconstructDoc =
    R"(reconstruct(hologram, *, method="AngularSpectrum", wavelength, z, pitch, angle=0.0, dc="LocalMean", sideband=None)

The complex field U that the hologram reconstructs to at distance z.

U is the field on the physical grid, exactly what a run of holorecon
makes its <Data> outputs from: for a hologram file holo.tif,
numpy.abs(U) (as sqrt(U.real**2 + U.imag**2)) and numpy.angle(U) in
float32 are, bit for bit, the run's result_NN_amplitude.tif and
result_NN_phase.tif of the set with the same values:

    U = holorecon.reconstruct(tifffile.imread("holo.tif"),
                              method="Convolution", wavelength=632.8e-9,
                              z=0.0273, pitch=6.7e-6, angle=0.03)

hologram  the picture as numpy, PIL and tifffile give it: row 0 its top
          line; square, at least 2 x 2; a colour picture (rows, columns,
          3 or 4) gives its red channel, as the run reads colour files.
          Pixels become grey levels as the run reads the same file: uint8
          as they are (0..255), uint16 times 255 / 65535, float32 (a float
          TIFF) times 255, float64 as they are. Any memory order.
method    "Fresnel", "Convolution" or "AngularSpectrum" (README: Choosing
          a method). AngularSpectrum and Convolution give U at the camera
          pitch, sample for sample alike; Fresnel at wavelength * |z| /
          (n * pitch).
wavelength, z, pitch
          lengths in one unit of your choice (metres, or millimetres
          throughout): the wavelength, the distance from the object to the
          sensor (not 0; negative for the other side), the camera's pixel
          pitch.
angle     the reference wave's tilt in radians; its phase changes along
          the picture's rows.
dc        how the undiffracted light is taken off before reconstructing:
          "LocalMean", each sample minus its 3 x 3 local mean.
sideband  None, or the sideband filter as a dict of <Filter>'s attributes:
          order (+1 or -1), fx and fy (the disk's centre in frequency
          samples of 1 / (n pitch)), radius, edge (frequency samples),
          center (bool). An empty dict finds the carrier as the run does;
          sideband() shows what it finds.

Returns a new n x n complex128 array, row 0 the picture's top line, the
orientation of the run's pictures and TIFFs. The work runs without the
GIL, so threads reconstruct at once.

Raises ValueError with the run's reasons (a picture that is not square,
"the z distance must not be 0", values that are not finite: "FFTC1D: A
contains infinite or NAN values!"), MemoryError when the hologram's work
would not fit into the memory available. A sideband filter whose centre
does not stand out gives the run's warning as a UserWarning.
)";

constexpr const char* kPropagateDoc =
    R"(propagate(field, *, z, wavelength, pitch, method="AngularSpectrum")

The complex field propagated over the distance z by the angular spectrum,
on the field's own grid.

Its spectrum is multiplied by exp(-i 2 pi z sqrt(1/wavelength^2 - fx^2 -
fy^2)), fx = kx / (n pitch), zero for evanescent waves and where |fx| or
|fy| reaches 1 / (wavelength sqrt((2 z / (n pitch))^2 + 1)) (the band
limit that keeps light from wrapping round the periodic grid): the
propagation reconstruct uses, in whose sign a hologram comes back to an
object z in front of the sensor. propagate(propagate(U, z=d, ...), z=-d,
...) is U within that band. numpy's equivalent, sample for sample:

    f = numpy.fft.fftfreq(n, pitch)
    fx, fy = numpy.meshgrid(f, f)
    H = numpy.exp(-2j * numpy.pi * z * numpy.sqrt(
        (1 / wavelength**2 - fx**2 - fy**2).clip(0)))
    limit = 1 / (wavelength * numpy.sqrt((2 * z / (n * pitch))**2 + 1))
    H[(abs(fx) >= limit) | (abs(fy) >= limit) |
      (fx**2 + fy**2 >= 1 / wavelength**2)] = 0
    numpy.fft.ifft2(numpy.fft.fft2(U) * H)

field      a square 2-D array of any float or complex dtype (used as
           complex128), any memory order.
z, wavelength, pitch
           lengths in one unit of your choice; z may be negative, not 0.
method     "AngularSpectrum", the one method that keeps the field's grid.

Returns a new complex128 array of the field's shape. Runs without the
GIL. Raises ValueError (a field that is not square, values that are not
finite) or MemoryError as reconstruct does.
)";

constexpr const char* kSidebandDoc =
    R"(sideband(hologram, *, wavelength, pitch, angle=0.0, dc="LocalMean", order=1, fx=None, fy=None, radius=0.0, edge=4.0, center=False)

The sideband filter as a run with <Filter type="Sideband" .../> finds and
applies it, on the hologram prepared as reconstruct prepares it.

The hologram's spectrum keeps a disk around one order (+1, the object's
term, or -1, its twin) and every other frequency is set to 0. Frequencies
are in frequency samples of 1 / (n pitch): fx along a row, fy from row to
row.

hologram, dc   as for reconstruct.
wavelength, pitch, angle
               the optics that predict the carrier, fy = n pitch
               sin(angle) / wavelength (one length unit of your choice;
               angle in radians).
order          +1 or -1.
fx, fy         the disk's centre; both None: the predicted carrier, or
               with angle 0 the strongest frequency outside a disk of
               radius n / 16 around the zero frequency.
radius         frequency samples; 0: a third of the centre's distance from
               the zero frequency.
edge           width of the disk's raised-cosine edge, frequency samples.
center         True also moves the disk to the zero frequency.

Returns a dict: "hologram", the filtered complex samples (n x n
complex128, row 0 the top line); "fx", "fy", "radius", "edge", "center",
the filter used (pass them as reconstruct's sideband dict to fix it); and
"contrast", how far the disk stands out (below 3: not an off-axis order,
with the run's warning as a UserWarning).
)";

}  // namespace

void bindReconstruction(py::module_& module) {
  module.def("reconstruct", &reconstruct, kReconstructDoc, "hologram"_a,
             py::kw_only(), "method"_a = "AngularSpectrum", "wavelength"_a,
             "z"_a, "pitch"_a, "angle"_a = 0.0, "dc"_a = "LocalMean",
             "sideband"_a = py::none());
  module.def("propagate", &propagate, kPropagateDoc, "field"_a, py::kw_only(),
             "z"_a, "wavelength"_a, "pitch"_a, "method"_a = "AngularSpectrum");
  module.def("sideband", &sideband, kSidebandDoc, "hologram"_a, py::kw_only(),
             "wavelength"_a, "pitch"_a, "angle"_a = 0.0, "dc"_a = "LocalMean",
             "order"_a = 1, "fx"_a = py::none(), "fy"_a = py::none(),
             "radius"_a = 0.0, "edge"_a = 4.0, "center"_a = false);
}

}  // namespace holopy
