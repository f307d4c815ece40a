#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "experiment.h"
#include "reconstruction.h"

// Keyword values checked by the same readers and with the same texts as the
// experiment file's elements, so that a value the run refuses is refused
// here for the same reason.

namespace holopy {

namespace py = pybind11;

/// The method named name ("Fresnel", "Convolution", "AngularSpectrum");
/// ValueError naming the valid ones otherwise.
ReconstructionMethod methodNamed(const std::string& name);

/// The optics after the run's check of a parameter set for method;
/// ValueError with the run's reason ("the z distance must not be 0 with
/// the Convolution method ...") otherwise.
numerics::Optics checkedOptics(double wavelength, double z, double pitch,
                               double angle, ReconstructionMethod method);

/// The <Filter type="Sideband"> whose attributes are the dict's keys
/// (order, fx, fy, radius, edge, center); ValueError with the experiment
/// file's reason, or for a key that is no attribute.
FilterOptions sidebandOptions(const py::dict& attributes);

/// The <Focus region="x y width height"> of the sequence region (picture
/// pixels, origin top left) on an n x n picture; ValueError otherwise.
PictureRegion focusRegion(const py::object& region, int n);

/// The <Compensation region="x y width height"> of the sequence region on
/// an n x n picture; ValueError otherwise.
PictureRegion compensationRegion(const py::object& region, int n);

}  // namespace holopy
