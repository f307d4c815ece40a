#pragma once

#include <pybind11/pybind11.h>

// The parts of the module, each adding its functions with their docstrings.

namespace holopy {

namespace py = pybind11;

/// reconstruct, propagate, sideband.
void bindReconstruction(py::module_& module);

/// unwrap, focus_figures.
void bindAnalysis(py::module_& module);

/// simulate.
void bindSimulation(py::module_& module);

/// run.
void bindRun(py::module_& module);

/// Issues a Python warning (UserWarning) with the run's text.
void warn(const std::string& text);

}  // namespace holopy
