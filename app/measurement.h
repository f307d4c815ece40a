#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "experiment.h"
#include "stacks.h"
#include "steps.h"

// Measurement data: what <Data> and <Compensation> ask for of a set, as
// 32-bit float TIFFs beside its pictures (or pages of the run's stacks),
// each with the record ImageJ reads (pixel size and unit) and our own
// key=value lines.

/// The length unit of the experiment's numbers as ImageJ names it, inferred
/// from the wavelength: "m" for [3e-8, 3e-5), "mm" for [3e-5, 3e-2),
/// "micron" for [0.03, 30), "nm" for [30, 30000); empty otherwise.
std::string lengthUnit(double wavelength);

/// Distance between the output's pixel centres, with its sign: Fresnel
/// wavelength * z / (n * pitch), negative for a negative z; the other
/// methods the camera's pitch.
double outputPitch(ReconstructionMethod method, const ParameterSet& set, int n);

/// The quantities experiment writes of every set, in the order written.
std::vector<Quantity> measurementQuantities(const Experiment& experiment);

/// Writes the data of index (base "dir/result_07") from the step's fields
/// as the step left them (the intensities, the interference phase, the
/// fields U; with <Background mode="Field"> empty holds the empty frame's
/// field U_B); every file that cannot be written is reported, naming it and
/// the reason, and makes the result false.
bool writeMeasurements(const RunContext& context,
                       Vantor::IExperimentListener& listener, std::size_t index,
                       StepFields& fields, const numerics::ComplexField* empty,
                       const std::string& base);
