// unwrap and focus_figures: the run's measurements of a reconstruction.

#include <complex>
#include <string>

#include "arrays.h"
#include "bindings.h"
#include "compensation.h"
#include "focus.h"
#include "focus_search.h"
#include "options.h"
#include "sizes.h"
#include "unwrap.h"

namespace holopy {

namespace {

using namespace pybind11::literals;
using numerics::RealField;

py::array_t<double> unwrap(const py::array& phase) {
  const int n = fieldEdge(phase, "the phase");
  requireMemory(numerics::saturatingSum(
      {numerics::saturatingProduct(RealField::bytesFor(n), 2),
       numerics::unwrapScratchBytes(n)}));
  RealField wrapped = realSamples(phase, n, "the phase");
  std::string problem;
  {
    py::gil_scoped_release release;
    problem = numerics::unwrapPhase(wrapped.rows(), n, wrapped.rows());
  }
  if (!problem.empty()) throw py::value_error(problem);
  return realArray(wrapped);
}

py::tuple compensate(const py::array& phase, bool tilt, bool curvature,
                     const py::object& region) {
  const int n = fieldEdge(phase, "the phase");
  numerics::CompensationRequest request;
  request.tilt = tilt;
  request.curvature = curvature;
  if (!region.is_none()) {
    const PictureRegion r = compensationRegion(region, n);
    request.region = numerics::PictureRectangle{r.x, r.y, r.width, r.height};
  }
  requireMemory(numerics::saturatingSum(
      {RealField::bytesFor(n), numerics::compensationScratchBytes(n)}));
  RealField samples = realSamples(phase, n, "the phase");
  numerics::Compensation fit;
  {
    py::gil_scoped_release release;
    fit = numerics::compensatePhase(samples.rows(), n, request, samples.rows());
  }
  if (!fit.problem.empty()) throw py::value_error(fit.problem);
  const numerics::PhaseSurface& s = fit.surface;
  return py::make_tuple(
      realArray(samples),
      py::dict("a"_a = s.a, "b"_a = s.b, "c"_a = s.c, "d"_a = s.d, "e"_a = s.e,
               "f"_a = s.f, "kept"_a = fit.keptShare, "rounds"_a = fit.rounds));
}

/// The intensity the run measures focus on: |U|^2 formed as the
/// reconstructions form it (Im^2 + Re^2) from a complex field, and A^2 from
/// an amplitude, whose square root gives A back exactly.
RealField intensityOf(const py::array& values, int n) {
  if (values.dtype().kind() != 'c') {
    RealField intensity = realSamples(values, n, "the amplitude");
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) intensity[r][c] *= intensity[r][c];
    }
    return intensity;
  }
  const numerics::ComplexField field = complexSamples(values, n);
  RealField intensity(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const numerics::Complex u = field[r][c];
      intensity[r][c] = u.im * u.im + u.re * u.re;
    }
  }
  return intensity;
}

py::dict focusFigures(const py::array& amplitude, const py::object& region) {
  const int n = fieldEdge(amplitude, "the amplitude");
  FocusOptions focus;
  if (!region.is_none()) focus.region = focusRegion(region, n);
  requireMemory(numerics::saturatingProduct(RealField::bytesFor(n), 3));
  const RealField intensity = intensityOf(amplitude, n);
  numerics::FocusFigures figures;
  {
    py::gil_scoped_release release;
    figures = measureFocus(focus, intensity.rows(), n);
  }
  return py::dict("NormalizedVariance"_a = figures.normalizedVariance,
                  "TenenbaumGradient"_a = figures.tenenbaumGradient,
                  "TamuraGradient"_a = figures.tamuraGradient,
                  "IntegratedAmplitude"_a = figures.integratedAmplitude);
}

constexpr const char* kUnwrapDoc = R"(unwrap(phase)

The phase unwrapped as the run unwraps <Data unwrap="true">: quality-guided
by reliability (Herraez et al., Applied Optics 41:7437, 2002), joining
samples from the most to the least reliable, so that speckle where no
object light falls comes last.

phase   a square 2-D array of wrapped phases in radians, in any interval
        of length 2 pi ((-pi, pi] or [0, 2 pi)); NaN or infinite samples
        are no phase and come out NaN. Row 0 the top line, as
        reconstruct returns them.

Returns a new float64 array: at every finite sample the wrapped value
plus a whole multiple of 2 pi, the median in (-pi, pi]. For
numpy.angle(reconstruct(...)) it is, in float32, the run's
result_NN_phaseUnwrapped.tif. Runs without the GIL. Raises ValueError with
the run's reason for values spanning more than 2 pi (not a wrapped phase)
or an edge above 46340.
)";

constexpr const char* kCompensateDoc =
    R"(compensate(phase, tilt=True, curvature=False, region=None)

The unwrapped phase minus its fitted background surface, as <Compensation>
writes result_NN_phaseCompensated.tif: a + b x + c y (tilt), plus d x^2 +
e x y + f y^2 (curvature: an objective's or a diverging reference's), in
pixels about the picture's centre, x to the right and y downwards; the
surface's constant included, so that the background lies at 0 rad.

phase      a square 2-D array of unwrapped phases in radians (unwrap's
           result); NaN samples never count and stay NaN. Row 0 the top
           line.
tilt       fit the plane
curvature  fit the quadratic terms too
region     None for the whole picture, or (x, y, width, height) in pixels,
           origin top left: where the background is fitted. A region of
           background alone keeps a large object out of the fit.

A least-squares fit by QR, robust against the object: samples further
than 2.5 sigma from the surface are left out of the next fit, for at most
five fits. Returns (compensated, fit): a new float64 array, and a dict of
the coefficients a to f (rad, rad per pixel, rad per square pixel), kept
(the share of the region's samples the last fit used; below 0.5 the object
probably holds the fit) and rounds. Runs without the GIL. Raises
ValueError with the run's reason: neither tilt nor curvature, a region
outside the picture, too few finite samples to fix the surface.
)";

constexpr const char* kFocusDoc = R"(focus_figures(amplitude, region=None)

The four focus figures of <Focus>, as the run writes them to focus.csv,
of the amplitude A within the region R (mu the mean of A over R, Gx and Gy
the 3 x 3 Sobel gradients):

NormalizedVariance    (1 / (|R| mu^2)) sum over R of (A - mu)^2; largest
                      at focus
TenenbaumGradient     (1 / (|R| mu^2)) sum over R of (Gx^2 + Gy^2); largest
TamuraGradient        sqrt(sigma_G / mu_G), G = sqrt(Gx^2 + Gy^2) over R;
                      largest
IntegratedAmplitude   (1 / |R|) sum over R of A; smallest for amplitude
                      objects, largest for phase objects

amplitude  a square 2-D array: the amplitude |U| (any float dtype), or the
           complex field U itself, whose figures are then exactly the
           run's (for Fresnel to rounding: its run measures the intensity
           before the factors of the physical grid).
region     None for the whole picture, or (x, y, width, height) in pixels,
           origin top left, as <Focus region="x y width height">.

Returns a dict from the figures' names to float. A dark region gives NaN.
)";

}  // namespace

void bindAnalysis(py::module_& module) {
  module.def("unwrap", &unwrap, kUnwrapDoc, "phase"_a);
  module.def("compensate", &compensate, kCompensateDoc, "phase"_a,
             "tilt"_a = true, "curvature"_a = false, "region"_a = py::none());
  module.def("focus_figures", &focusFigures, kFocusDoc, "amplitude"_a,
             "region"_a = py::none());
}

}  // namespace holopy
