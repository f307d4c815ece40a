#include "steps.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

#include "compensation.h"
#include "failure.h"
#include "focus_search.h"
#include "images.h"
#include "inputs.h"
#include "measurement.h"
#include "sideband.h"
#include "sizes.h"
#include "spectra.h"
#include "sweep.h"
#include "unwrap.h"

using numerics::ComplexField;
using numerics::RealField;

namespace {

/// "dir/result_07" for index 7: at least two digits, zero-padded.
std::string baseName(const std::string& directory, std::size_t index) {
  std::ostringstream name;
  name.fill('0');
  name << directory << "/result_" << std::setw(2) << index;
  return name.str();
}

/// Writes one picture; a failed write is reported with the file's name and
/// the reason ("Can't write result_03.png: No space left on device").
bool savePicture(Vantor::IExperimentListener& listener, const std::string& name,
                 const RealField& values, const OutputOptions& options) {
  const std::string reason =
      saveImage(name, values.rows(), values.size(), options);
  if (reason.empty()) return true;
  const std::string file = name.substr(name.find_last_of('/') + 1);
  listener.onError("Can't write " + file + ".png: " + reason);
  return false;
}

/// True when every sample is finite. Values that pass the set check can
/// still overflow (wavelength = z = 1e-150 leaves no finite intensity), and
/// such a field has no picture to show.
bool allFinite(const RealField& field) {
  for (int r = 0; r < field.size(); ++r) {
    for (int c = 0; c < field.size(); ++c) {
      if (!std::isfinite(field[r][c])) return false;
    }
  }
  return true;
}

/// The measurement data need the reconstructed fields (amplitude, phase,
/// or the phase of a plain reconstruction to unwrap).
bool needsFields(const Experiment& experiment) {
  const DataOptions& data = experiment.data;
  const bool phaseOfTheField =
      data.unwrap || data.opticalPath || experiment.compensation.enabled;
  return data.amplitude || data.phase || data.relativeAmplitude ||
         (phaseOfTheField && experiment.type != ExperimentType::DHI);
}

/// The empty frame's field for index's set, made the first time a set
/// needs it (<Background mode="Field">); null without.
const numerics::ComplexField* emptyFieldOf(const RunContext& context,
                                           std::size_t index) {
  const BackgroundOptions& background = context.experiment.background;
  if (!background.enabled || background.mode != BackgroundMode::Field) {
    return nullptr;
  }
  const ParameterSet& set = context.setOf(index);
  return &context.emptyFields.get(index % context.setsPerFrame(),
                                  [&] { return emptyField(context, set); });
}

/// The optics index is reconstructed with, on the run's grid.
numerics::Optics gridOptics(const RunContext& context, std::size_t index) {
  return opticsOf(context.inputs.gridSet(context.setOf(index)));
}

/// Reconstructs index into fields and writes its intensity picture, and
/// the measurement data <Data> asks for; false when anything of it could
/// not be written.
bool reconstructionStep(const RunContext& context,
                        Vantor::IExperimentListener& listener,
                        StepFields& fields, const PreparedFrame& frame,
                        std::size_t index) {
  const Experiment& experiment = context.experiment;
  numerics::ReconstructionOutputs outputs;
  outputs.intensity = fields.work[0].rows();
  if (fields.field1) outputs.field = fields.field1.rows();
  const numerics::Method method = methodOf(experiment.method);
  const numerics::Optics optics = gridOptics(context, index);
  if (context.spectra != nullptr) {
    numerics::reconstructFromSpectrum(
        method, *context.spectra->get(frame.position, 0, frame.first, optics),
        optics, outputs);
  } else {
    numerics::reconstruct(method, frame.first, optics, outputs);
  }
  if (!allFinite(fields.work[0])) {
    listener.onError("Set " + std::to_string(index) +
                     ": the reconstruction overflowed");
    return false;
  }
  const std::string base = baseName(context.directory, index);
  bool written = savePicture(listener, base, fields.work[0], experiment.output);
  if (experiment.data.any() || experiment.compensation.enabled) {
    written = writeMeasurements(context, listener, index, fields,
                                emptyFieldOf(context, index), base) &&
              written;
  }
  return written;
}

/// Reconstructs both holograms of index and writes the two intensity
/// pictures and the interference phase picture, and the measurement data
/// <Data> asks for; false when anything could not be written.
bool dhiStep(const RunContext& context, Vantor::IExperimentListener& listener,
             StepFields& fields, const PreparedFrame& frame,
             std::size_t index) {
  const Experiment& experiment = context.experiment;
  numerics::DhiOutputs outputs;
  outputs.intensity1 = fields.work[0].rows();
  outputs.intensity2 = fields.work[1].rows();
  outputs.phaseDifference = fields.work[2].rows();
  if (fields.field1) {
    outputs.field1 = fields.field1.rows();
    outputs.field2 = fields.field2.rows();
  }
  const numerics::Method method = methodOf(experiment.method);
  const numerics::Optics optics = gridOptics(context, index);
  if (context.spectra != nullptr) {
    numerics::reconstructDhiFromSpectra(
        method, *context.spectra->get(frame.position, 0, frame.first, optics),
        *context.spectra->get(frame.position, 1, *frame.second, optics), optics,
        outputs);
  } else {
    numerics::reconstructDhi(method, frame.first, *frame.second, optics,
                             outputs);
  }
  if (!allFinite(fields.work[0]) || !allFinite(fields.work[1])) {
    listener.onError("Set " + std::to_string(index) +
                     ": the reconstruction overflowed");
    return false;
  }
  const std::string base = baseName(context.directory, index);
  const OutputOptions& output = experiment.output;
  bool written =
      savePicture(listener, base + "_intensity1", fields.work[0], output);
  written =
      savePicture(listener, base + "_intensity2", fields.work[1], output) &&
      written;
  // The phase always spans its whole range, whatever the intensities use.
  written = savePicture(listener, base + "_phaseDiff", fields.work[2],
                        OutputOptions{true, 1.0}) &&
            written;
  if (experiment.data.any() || experiment.compensation.enabled) {
    written =
        writeMeasurements(context, listener, index, fields, nullptr, base) &&
        written;
  }
  return written;
}

/// Bytes one set of spectra takes (one per hologram of a frame); 0 for a
/// method that reconstructs from the hologram itself.
std::size_t spectraBytes(const Experiment& experiment, int n) {
  if (!SpectrumCache::serves(methodOf(experiment.method))) return 0;
  return numerics::saturatingProduct(
      numerics::hologramSpectrumBytes(n),
      experiment.type == ExperimentType::DHI ? 2 : 1);
}

/// Bytes a thread's reconstructions hold: the numerics' own, from a
/// spectrum and, for the focus search and the empty frame's field, from
/// the hologram; and each thread's own spectra unless every set of the
/// sweep shares one (a z sweep of one picture).
std::size_t reconstructionBytes(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  const numerics::Method method = methodOf(experiment.method);
  const std::size_t direct =
      numerics::reconstructionScratchBytes(n, method, dhi);
  if (!SpectrumCache::serves(method)) return direct;
  const bool fromHologram =
      experiment.focus.refine ||
      (experiment.background.enabled &&
       experiment.background.mode == BackgroundMode::Field);
  const std::size_t fromSpectrum =
      numerics::spectrumReconstructionScratchBytes(n, method, dhi);
  const std::array<std::size_t, 4>& counts = experiment.valueCounts;
  const bool shared =
      !experiment.frames && counts[0] * counts[1] * counts[3] == 1;
  return numerics::saturatingSum(
      {fromHologram ? std::max(direct, fromSpectrum) : fromSpectrum,
       shared ? 0 : spectraBytes(experiment, n)});
}

}  // namespace

numerics::Method methodOf(ReconstructionMethod method) {
  switch (method) {
    case ReconstructionMethod::Convolution:
      return numerics::Method::convolution;
    case ReconstructionMethod::AngularSpectrum:
      return numerics::Method::angularSpectrum;
    case ReconstructionMethod::Fresnel:
      break;
  }
  return numerics::Method::fresnel;
}

numerics::Optics opticsOf(const ParameterSet& set) {
  return {set.wavelength, set.angle, set.zDistance, set.ccdPixelDistance};
}

StepFields allocateStepFields(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  StepFields fields;
  for (int i = 0; i < (dhi ? 3 : 1); ++i) {
    fields.work.push_back(RealField::tryCreate(n));
    if (!fields.work.back()) return {};
  }
  const auto complexField = [n](ComplexField& field) {
    field = ComplexField::tryCreate(n);
    return bool(field);
  };
  if (needsFields(experiment) &&
      (!complexField(fields.field1) || (dhi && !complexField(fields.field2)))) {
    return {};
  }
  if (experiment.data.any() || experiment.compensation.enabled) {
    fields.scratch = RealField::tryCreate(n);
    if (!fields.scratch) return {};
  }
  return fields;
}

std::size_t frameBytes(const Experiment& experiment, int n) {
  const bool filtered = experiment.filter.enabled;
  const std::size_t one = numerics::preparedHologramBytes(n, filtered);
  return numerics::saturatingSum(
      {one, experiment.type == ExperimentType::DHI ? one : 0});
}

std::size_t preparingBytes(const Experiment& experiment, int n) {
  // The picture's samples are held until they are prepared, and the
  // filter holds the spectrum while it works.
  return numerics::saturatingSum(
      {RealField::bytesFor(n),
       experiment.filter.enabled ? numerics::sidebandBytes(n) : 0});
}

std::size_t hologramBytes(const Experiment& experiment, int n) {
  // An empty frame's field is kept for every set.
  const std::size_t preparing = preparingBytes(experiment, n);
  const bool field = experiment.background.enabled &&
                     experiment.background.mode == BackgroundMode::Field;
  const std::size_t emptyFields =
      field ? numerics::saturatingProduct(ComplexField::bytesFor(n),
                                          experiment.parameterSets.size())
            : 0;
  const std::size_t corrections = numerics::saturatingProduct(
      RealField::bytesFor(n),
      experiment.background.enabled
          ? (experiment.background.darkPath.empty() ? 1 : 2)
          : 0);
  // The spectra kept for the sets to come, besides those of the sets in
  // flight.
  return numerics::saturatingSum({frameBytes(experiment, n), preparing,
                                  emptyFields, corrections,
                                  spectraBytes(experiment, n)});
}

std::size_t stepBytes(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  const std::size_t real = RealField::bytesFor(n);
  const std::size_t complex = ComplexField::bytesFor(n);
  const bool fields = needsFields(experiment);
  const bool data = experiment.data.any() || experiment.compensation.enabled;
  const bool unwraps = experiment.data.unwrap || experiment.data.opticalPath ||
                       experiment.compensation.enabled;
  return numerics::saturatingSum(
      {dhi ? numerics::saturatingSum({real, real, real}) : real,
       fields ? complex : 0, fields && dhi ? complex : 0, data ? real : 0,
       unwraps ? numerics::unwrapScratchBytes(n) : 0,
       experiment.compensation.enabled ? numerics::compensationScratchBytes(n)
                                       : 0,
       reconstructionBytes(experiment, n)});
}

StepResult runStep(const RunContext& context,
                   Vantor::IExperimentListener& listener, StepFields& fields,
                   const PreparedFrame& frame, std::size_t index) {
  const Experiment& experiment = context.experiment;
  const std::string setName = "Set " + std::to_string(index) + ": ";
  StepResult result;
  std::string problem = frame.problem;
  if (problem.empty()) {
    problem = parameterSetProblem(context.setOf(index), experiment.method);
  }
  if (!problem.empty()) {
    listener.onError(setName + problem);
  } else {
    try {
      result.written =
          experiment.type == ExperimentType::DHI
              ? dhiStep(context, listener, fields, frame, index)
              : reconstructionStep(context, listener, fields, frame, index);
      if (experiment.focus.enabled) {
        result.figures = measureFocus(experiment.focus, fields.work[0].rows(),
                                      context.inputs.gridEdge());
      }
    } catch (...) {
      listener.onError(setName + numerics::describeCurrentFailure());
      result = {};
    }
  }
  // Pages the set did not give keep their places in the stacks.
  if (context.stacks != nullptr) context.stacks->finish(index);
  return result;
}

numerics::FocusFigures focusAt(const RunContext& context, StepFields& fields,
                               const PreparedFrame& frame,
                               const ParameterSet& set) {
  numerics::ReconstructionOutputs outputs;
  outputs.intensity = fields.work[0].rows();
  numerics::reconstruct(methodOf(context.experiment.method), frame.first,
                        opticsOf(context.inputs.gridSet(set)), outputs);
  return measureFocus(context.experiment.focus, fields.work[0].rows(),
                      context.inputs.gridEdge());
}
