#include "measurement.h"

#include <cmath>
#include <numbers>

#include "names.h"
#include "shortest.h"
#include "tiff_writer.h"
#include "unwrap.h"

using numerics::Complex;
using numerics::ComplexField;
using numerics::RealField;
using numerics::shortestText;
using numerics::unwrapPhase;

namespace {

constexpr double kPi = std::numbers::pi;

/// |U| of every sample into out.
void amplitudeOf(const ComplexField& field, RealField& out) {
  for (int r = 0; r < field.size(); ++r) {
    for (int c = 0; c < field.size(); ++c) {
      const Complex u = field[r][c];
      out[r][c] = std::sqrt(u.re * u.re + u.im * u.im);
    }
  }
}

/// atan2(Im U, Re U) in (-pi, pi] of every sample into out.
void phaseOf(const ComplexField& field, RealField& out) {
  for (int r = 0; r < field.size(); ++r) {
    for (int c = 0; c < field.size(); ++c) {
      const double phase = std::atan2(field[r][c].im, field[r][c].re);
      out[r][c] = phase == -kPi ? kPi : phase;  // -pi only for a -0 part
    }
  }
}

/// Writes the files of one set, each with its record.
class SetFiles {
 public:
  SetFiles(const Experiment& experiment, Vantor::IExperimentListener& listener,
           std::size_t index, int n, const std::string& base)
      : listener_(listener), n_(n), base_(base) {
    const ParameterSet& set = experiment.parameterSets[index];
    record_.pitch = std::abs(outputPitch(experiment.method, set, n));
    record_.unit = lengthUnit(set.wavelength);
    record_.properties = {
        {"set", std::to_string(index)},
        {"wavelength", shortestText(set.wavelength)},
        {"angle", shortestText(set.angle)},
        {"zDistance", shortestText(set.zDistance)},
        {"ccdPixelDistance", shortestText(set.ccdPixelDistance)},
        {"method", nameOf(experiment.method)},
        {"kind", nameOf(experiment.type)},
        {"outputPitch", shortestText(outputPitch(experiment.method, set, n))}};
  }

  /// base + suffix + ".tif" of values, quantity and value unit on record.
  void write(const std::string& suffix, const RealField& values,
             const std::string& quantity, const std::string& valueUnit) {
    FloatTiffRecord record = record_;
    record.valueUnit = valueUnit;
    record.properties.insert(record.properties.begin(), {"quantity", quantity});
    const std::string path = base_ + suffix + ".tif";
    const std::string problem = saveFloatTiff(path, values.rows(), n_, record);
    if (!problem.empty()) fail(path, problem);
  }

  /// Reports a file of this set that could not be written.
  void fail(const std::string& path, const std::string& problem) {
    listener_.onError("Can't write " + path.substr(path.rfind('/') + 1) + ": " +
                      problem);
    written_ = false;
  }

  /// True while every file could be written.
  bool written() const { return written_; }

 private:
  Vantor::IExperimentListener& listener_;
  int n_;
  std::string base_;
  FloatTiffRecord record_;
  bool written_ = true;
};

}  // namespace

std::string lengthUnit(double wavelength) {
  if (wavelength >= 3e-8 && wavelength < 3e-5) return "m";
  if (wavelength >= 3e-5 && wavelength < 3e-2) return "mm";
  if (wavelength >= 0.03 && wavelength < 30) return "micron";
  if (wavelength >= 30 && wavelength < 30000) return "nm";
  return {};
}

double outputPitch(ReconstructionMethod method, const ParameterSet& set,
                   int n) {
  if (method != ReconstructionMethod::Fresnel) return set.ccdPixelDistance;
  return set.wavelength * set.zDistance / (n * set.ccdPixelDistance);
}

bool writeMeasurements(const RunContext& context,
                       Vantor::IExperimentListener& listener, std::size_t index,
                       StepFields& fields, const std::string& base) {
  const Experiment& experiment = context.experiment;
  const DataOptions& data = experiment.data;
  const int n = context.holograms.n;
  SetFiles files(experiment, listener, index, n, base);
  RealField& scratch = fields.scratch;
  const bool dhi = experiment.type == ExperimentType::DHI;
  // Amplitude and phase of each hologram's field; "1" and "2" for
  // interferometry.
  for (int k = 1; k <= (dhi ? 2 : 1); ++k) {
    const ComplexField& field = k == 1 ? fields.field1 : fields.field2;
    const std::string which = dhi ? std::to_string(k) : "";
    if (data.amplitude) {
      amplitudeOf(field, scratch);
      files.write("_amplitude" + which, scratch, "amplitude", "");
    }
    if (data.intensity) {
      files.write("_intensity" + which,
                  fields.work[static_cast<std::size_t>(k - 1)], "intensity",
                  "");
    }
    if (data.phase) {
      phaseOf(field, scratch);
      files.write("_phase" + which, scratch, "phase", "rad");
    }
  }
  if (dhi && data.phase) {
    files.write("_phaseDiff", fields.work[2], "phaseDifference", "rad");
  }
  if (!data.unwrap) return files.written();
  // The wrapped phase to unwrap: the interference phase, or the field's.
  if (!dhi) phaseOf(fields.field1, scratch);
  const RealField& wrapped = dhi ? fields.work[2] : scratch;
  const std::string problem =
      numerics::unwrapPhase(wrapped.rows(), n, scratch.rows());
  const std::string name = dhi ? "_phaseDiffUnwrapped" : "_phaseUnwrapped";
  if (!problem.empty()) {
    files.fail(base + name + ".tif", problem);
  } else {
    files.write(name, scratch,
                dhi ? "phaseDifferenceUnwrapped" : "phaseUnwrapped", "rad");
  }
  return files.written();
}
