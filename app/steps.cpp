#include "steps.h"

#include <cmath>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>

#include "images.h"
#include "listener.h"
#include "measurement.h"
#include "memory.h"
#include "sideband.h"
#include "sizes.h"
#include "unwrap.h"

using numerics::ComplexField;
using numerics::DhiOutputs;
using numerics::Method;
using numerics::Optics;
using numerics::preparedHologramBytes;
using numerics::RealField;
using numerics::reconstruct;
using numerics::reconstructDhi;
using numerics::ReconstructionOutputs;
using numerics::reconstructionScratchBytes;
using numerics::saturatingSum;
using numerics::sidebandBytes;
using numerics::unwrapScratchBytes;

namespace {

/// "dir/result_07" for index 7: at least two digits, zero-padded.
std::string baseName(const std::string& directory, int index) {
  std::ostringstream name;
  name.fill('0');
  name << directory << "/result_" << std::setw(2) << index;
  return name.str();
}

/// Writes one picture; a failed write is reported with the file's name and
/// the reason ("Can't write result_03.png: No space left on device").
void savePicture(Vantor::IExperimentListener* listener, const std::string& name,
                 const RealField& values, const OutputOptions& options) {
  const std::string reason =
      saveImage(name, values.rows(), values.size(), options);
  if (!reason.empty() && listener) {
    const std::string file = name.substr(name.find_last_of('/') + 1);
    listener->onError("Can't write " + file + ".png: " + reason);
  }
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

/// Reports that the reconstruction of set index overflowed.
void reportOverflow(Vantor::IExperimentListener* listener, int index) {
  if (listener) {
    listener->onError("Set " + std::to_string(index) +
                      ": the reconstruction overflowed");
  }
}

/// The measurement data need the reconstructed fields (amplitude, phase,
/// or the phase of a plain reconstruction to unwrap).
bool needsFields(const Experiment& experiment) {
  const DataOptions& data = experiment.data;
  return data.amplitude || data.phase ||
         (data.unwrap && experiment.type != ExperimentType::DHI);
}

}  // namespace

Method methodOf(ReconstructionMethod method) {
  switch (method) {
    case ReconstructionMethod::Convolution:
      return Method::convolution;
    case ReconstructionMethod::AngularSpectrum:
      return Method::angularSpectrum;
    case ReconstructionMethod::Fresnel:
      break;
  }
  return Method::fresnel;
}

Optics opticsOf(const ParameterSet& set) {
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
  if (experiment.data.any()) {
    fields.scratch = RealField::tryCreate(n);
    if (!fields.scratch) return {};
  }
  return fields;
}

std::size_t hologramBytes(const Experiment& experiment, int n) {
  const std::size_t one = preparedHologramBytes(n, experiment.filter.enabled);
  // The picture's samples are held until they are prepared, and the
  // filter holds the spectrum while it works.
  const std::size_t preparing =
      saturatingSum({RealField::bytesFor(n),
                     experiment.filter.enabled ? sidebandBytes(n) : 0});
  return saturatingSum(
      {one, experiment.type == ExperimentType::DHI ? one : 0, preparing});
}

std::size_t stepBytes(const Experiment& experiment, int n) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  const std::size_t real = RealField::bytesFor(n);
  const std::size_t complex = ComplexField::bytesFor(n);
  const bool fields = needsFields(experiment);
  return saturatingSum(
      {dhi ? saturatingSum({real, real, real}) : real, fields ? complex : 0,
       fields && dhi ? complex : 0, experiment.data.any() ? real : 0,
       experiment.data.unwrap ? unwrapScratchBytes(n) : 0,
       reconstructionScratchBytes(n, methodOf(experiment.method), dhi)});
}

void reconstructFirstIntensity(const Experiment& experiment,
                               const RunHolograms& holograms,
                               StepFields& fields, const ParameterSet& set) {
  ReconstructionOutputs outputs;
  outputs.intensity = fields.work[0].rows();
  reconstruct(methodOf(experiment.method), holograms.first, opticsOf(set),
              outputs);
}

void Experiment::reconstructionStep(Vantor::IExperimentListener* listener,
                                    int index, const RunHolograms& holograms,
                                    StepFields& fields,
                                    const ParameterSet& parameters,
                                    const std::string& directory) const {
  ReconstructionOutputs outputs;
  outputs.intensity = fields.work[0].rows();
  if (fields.field1) outputs.field = fields.field1.rows();
  reconstruct(methodOf(method), holograms.first, opticsOf(parameters), outputs);
  if (!allFinite(fields.work[0])) return reportOverflow(listener, index);
  const std::string base = baseName(directory, index);
  savePicture(listener, base, fields.work[0], output);
  if (data.any()) {
    writeMeasurements(*this, listener, index, parameters, fields, holograms.n,
                      base);
  }
}

void Experiment::dhiStep(Vantor::IExperimentListener* listener, int index,
                         const RunHolograms& holograms, StepFields& fields,
                         const ParameterSet& parameters,
                         const std::string& directory) const {
  DhiOutputs outputs;
  outputs.intensity1 = fields.work[0].rows();
  outputs.intensity2 = fields.work[1].rows();
  outputs.phaseDifference = fields.work[2].rows();
  if (fields.field1) {
    outputs.field1 = fields.field1.rows();
    outputs.field2 = fields.field2.rows();
  }
  reconstructDhi(methodOf(method), holograms.first, holograms.second,
                 opticsOf(parameters), outputs);
  if (!allFinite(fields.work[0]) || !allFinite(fields.work[1])) {
    return reportOverflow(listener, index);
  }
  const std::string base = baseName(directory, index);
  savePicture(listener, base + "_intensity1", fields.work[0], output);
  savePicture(listener, base + "_intensity2", fields.work[1], output);
  // The phase always spans its whole range, whatever the intensities use.
  savePicture(listener, base + "_phaseDiff", fields.work[2],
              OutputOptions{true, 1.0});
  if (data.any()) {
    writeMeasurements(*this, listener, index, parameters, fields, holograms.n,
                      base);
  }
}
