#include "measurement.h"

#include <cmath>
#include <numbers>

#include "compensation.h"
#include "names.h"
#include "numbers.h"
#include "shortest.h"
#include "tiff_writer.h"
#include "unwrap.h"

using numerics::Complex;
using numerics::ComplexField;
using numerics::RealField;
using numerics::shortestText;

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

/// values times factor, in place.
void scale(RealField& values, double factor) {
  for (int r = 0; r < values.size(); ++r) {
    for (int c = 0; c < values.size(); ++c) values[r][c] *= factor;
  }
}

/// What the phase outputs of a set need: unwrapping, for the unwrapped
/// phase itself, its compensation, or the optical path.
bool needsUnwrapping(const Experiment& experiment) {
  return experiment.data.unwrap || experiment.data.opticalPath ||
         experiment.compensation.enabled;
}

/// Writes the files of one set, each with its record, or its pages of the
/// run's stacks.
class SetFiles {
 public:
  SetFiles(const RunContext& context, Vantor::IExperimentListener& listener,
           std::size_t index, const std::string& base)
      : context_(context), listener_(listener), index_(index), base_(base) {
    const Experiment& experiment = context.experiment;
    const ParameterSet& set = context.setOf(index);
    const ParameterSet grid = context.inputs.gridSet(set);
    const int n = context.inputs.gridEdge();
    pitch_ = std::abs(outputPitch(experiment.method, grid, n));
    record_.pitch = pitch_;
    record_.unit = lengthUnit(set.wavelength);
    record_.properties = {
        {"set", std::to_string(index)},
        {"wavelength", shortestText(set.wavelength)},
        {"angle", shortestText(set.angle)},
        {"zDistance", shortestText(set.zDistance)},
        {"ccdPixelDistance", shortestText(set.ccdPixelDistance)},
        {"method", nameOf(experiment.method)},
        {"kind", nameOf(experiment.type)},
        {"outputPitch", shortestText(outputPitch(experiment.method, grid, n))}};
    if (context.inputs.hologram.isSeries()) {
      record_.properties.push_back(
          {"frame",
           std::to_string(
               context.inputs.hologram
                   .listed()[static_cast<std::size_t>(context.frameOf(index))]
                   .number)});
    }
  }

  /// base + "_" + file + ".tif" of values (or the stack file's page), its
  /// quantity, value unit and further lines on record.
  void write(
      const std::string& file, const RealField& values,
      const std::string& quantity, const std::string& valueUnit,
      const std::vector<std::pair<std::string, std::string>>& more = {}) {
    if (context_.stacks != nullptr) {
      const std::string problem =
          context_.stacks->append(file, index_, values.rows());
      if (!problem.empty()) listener_.onError(problem);
      written_ = written_ && problem.empty();
      return;
    }
    FloatTiffRecord record = record_;
    record.valueUnit = valueUnit;
    record.properties.insert(record.properties.begin(), {"quantity", quantity});
    record.properties.insert(record.properties.end(), more.begin(), more.end());
    const std::string path = base_ + "_" + file + ".tif";
    const std::string problem =
        saveFloatTiff(path, values.rows(), values.size(), record);
    if (!problem.empty()) fail(file, problem);
  }

  /// Reports a file of this set that could not be written.
  void fail(const std::string& file, const std::string& problem) {
    const std::string name = base_.substr(base_.rfind('/') + 1);
    listener_.onError("Can't write " + name + "_" + file + ".tif: " + problem);
    written_ = false;
  }

  /// True while every file could be written.
  bool written() const { return written_; }
  /// The output pitch's magnitude.
  double pitch() const { return pitch_; }
  /// The length unit, empty when unknown.
  const std::string& unit() const { return record_.unit; }

 private:
  const RunContext& context_;
  Vantor::IExperimentListener& listener_;
  std::size_t index_;
  std::string base_;
  FloatTiffRecord record_;
  double pitch_ = 0.0;
  bool written_ = true;
};

/// The coefficients of a fitted surface for the record: per pixel, and per
/// length unit through the output pitch.
std::vector<std::pair<std::string, std::string>> surfaceLines(
    const numerics::Compensation& fit, double pitch, const std::string& unit,
    const CompensationOptions& options) {
  const numerics::PhaseSurface& s = fit.surface;
  const std::string per = unit.empty() ? "Unit" : unit;
  std::vector<std::pair<std::string, std::string>> lines = {
      {"compensation", options.curvature ? "tilt and curvature" : "tilt"},
      {"compensationKept", shortestText(fit.keptShare)},
      {"a.rad", shortestText(s.a)},
      {"b.radPerPixel", shortestText(s.b)},
      {"c.radPerPixel", shortestText(s.c)}};
  if (options.curvature) {
    lines.push_back({"d.radPerPixel2", shortestText(s.d)});
    lines.push_back({"e.radPerPixel2", shortestText(s.e)});
    lines.push_back({"f.radPerPixel2", shortestText(s.f)});
  }
  if (pitch > 0.0) {
    lines.push_back({"b.radPer" + per, shortestText(s.b / pitch)});
    lines.push_back({"c.radPer" + per, shortestText(s.c / pitch)});
    if (options.curvature) {
      const double area = pitch * pitch;
      lines.push_back({"d.radPer" + per + "2", shortestText(s.d / area)});
      lines.push_back({"e.radPer" + per + "2", shortestText(s.e / area)});
      lines.push_back({"f.radPer" + per + "2", shortestText(s.f / area)});
    }
  }
  return lines;
}

/// Removes the fitted tilt (and curvature) from the unwrapped phase in
/// place; says how much of the region the first set's fit rests on.
bool compensate(const RunContext& context,
                Vantor::IExperimentListener& listener, std::size_t index,
                RealField& phase, SetFiles& files, const std::string& file) {
  const CompensationOptions& options = context.experiment.compensation;
  numerics::CompensationRequest request;
  request.tilt = options.tilt;
  request.curvature = options.curvature;
  if (options.region) {
    const PictureRegion& region = *options.region;
    request.region = numerics::PictureRectangle{region.x, region.y,
                                                region.width, region.height};
  }
  const numerics::Compensation fit = numerics::compensatePhase(
      phase.rows(), phase.size(), request, phase.rows());
  if (!fit.problem.empty()) {
    files.fail(file, fit.problem);
    return false;
  }
  if (index == context.firstIndex) {
    const std::string share = shownNumber(100.0 * fit.keptShare, 3) + "%";
    listener.onNote("Compensation: the surface fitted to set " +
                    std::to_string(index) + " rests on " + share +
                    " of its region's samples");
    if (fit.keptShare < 0.5) {
      listener.onWarning(
          "the compensation of set " + std::to_string(index) +
          " rests on only " + share +
          " of its region's samples: the object may hold the surface; "
          "give <Compensation region=\"x y width height\"> a region of "
          "background alone");
    }
  }
  files.write(file, phase, file, "rad",
              surfaceLines(fit, files.pitch(), files.unit(), options));
  return true;
}

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

std::vector<Quantity> measurementQuantities(const Experiment& experiment) {
  const DataOptions& data = experiment.data;
  const bool dhi = experiment.type == ExperimentType::DHI;
  const std::string unit =
      lengthUnit(experiment.parameterSets.front().wavelength);
  std::vector<Quantity> quantities;
  for (int k = 1; k <= (dhi ? 2 : 1); ++k) {
    const std::string which = dhi ? std::to_string(k) : "";
    if (data.amplitude)
      quantities.push_back({"amplitude" + which, "amplitude", ""});
    if (data.intensity)
      quantities.push_back({"intensity" + which, "intensity", ""});
    if (data.phase) quantities.push_back({"phase" + which, "phase", "rad"});
  }
  if (dhi && data.phase) {
    quantities.push_back({"phaseDiff", "phaseDifference", "rad"});
  }
  if (data.relativeAmplitude) {
    quantities.push_back({"relativeAmplitude", "relativeAmplitude", ""});
  }
  if (data.unwrap) {
    quantities.push_back(
        dhi ? Quantity{"phaseDiffUnwrapped", "phaseDifferenceUnwrapped", "rad"}
            : Quantity{"phaseUnwrapped", "phaseUnwrapped", "rad"});
  }
  if (experiment.compensation.enabled) {
    quantities.push_back(
        dhi ? Quantity{"phaseDiffCompensated", "phaseDiffCompensated", "rad"}
            : Quantity{"phaseCompensated", "phaseCompensated", "rad"});
  }
  if (data.opticalPath)
    quantities.push_back({"opticalPath", "opticalPath", unit});
  return quantities;
}

bool writeMeasurements(const RunContext& context,
                       Vantor::IExperimentListener& listener, std::size_t index,
                       StepFields& fields, const ComplexField* empty,
                       const std::string& base) {
  const Experiment& experiment = context.experiment;
  const DataOptions& data = experiment.data;
  const int n = context.inputs.gridEdge();
  SetFiles files(context, listener, index, base);
  RealField& scratch = fields.scratch;
  const bool dhi = experiment.type == ExperimentType::DHI;
  // Amplitude and phase of each hologram's field; "1" and "2" for
  // interferometry. With an empty frame's field, the phase is relative to
  // it: what both recordings share cancels.
  for (int k = 1; k <= (dhi ? 2 : 1); ++k) {
    const ComplexField& field = k == 1 ? fields.field1 : fields.field2;
    const std::string which = dhi ? std::to_string(k) : "";
    if (data.amplitude) {
      amplitudeOf(field, scratch);
      files.write("amplitude" + which, scratch, "amplitude", "");
    }
    if (data.intensity) {
      files.write("intensity" + which,
                  fields.work[static_cast<std::size_t>(k - 1)], "intensity",
                  "");
    }
    if (data.phase) {
      if (empty != nullptr) {
        numerics::relativeField(field.rows(), empty->rows(), n, scratch.rows(),
                                nullptr);
      } else {
        phaseOf(field, scratch);
      }
      files.write("phase" + which, scratch, "phase", "rad");
    }
  }
  if (dhi && data.phase) {
    files.write("phaseDiff", fields.work[2], "phaseDifference", "rad");
  }
  if (data.relativeAmplitude && empty != nullptr) {
    numerics::relativeField(fields.field1.rows(), empty->rows(), n, nullptr,
                            scratch.rows());
    files.write("relativeAmplitude", scratch, "relativeAmplitude", "");
  }
  if (!needsUnwrapping(experiment)) return files.written();
  // The wrapped phase to unwrap: the interference phase, or the field's
  // (relative to the empty frame's).
  if (!dhi) {
    if (empty != nullptr) {
      numerics::relativeField(fields.field1.rows(), empty->rows(), n,
                              scratch.rows(), nullptr);
    } else {
      phaseOf(fields.field1, scratch);
    }
  }
  const RealField& wrapped = dhi ? fields.work[2] : scratch;
  const std::string unwrapped = dhi ? "phaseDiffUnwrapped" : "phaseUnwrapped";
  const std::string problem =
      numerics::unwrapPhase(wrapped.rows(), n, scratch.rows());
  if (!problem.empty()) {
    files.fail(unwrapped, problem);
    return false;
  }
  if (data.unwrap) {
    files.write(unwrapped, scratch,
                dhi ? "phaseDifferenceUnwrapped" : "phaseUnwrapped", "rad");
  }
  if (experiment.compensation.enabled &&
      !compensate(context, listener, index, scratch, files,
                  dhi ? "phaseDiffCompensated" : "phaseCompensated")) {
    return false;
  }
  if (data.opticalPath) {
    // Phase grows with the optical path: one turn is one wavelength.
    const double wavelength = context.setOf(index).wavelength;
    scale(scratch, wavelength / (2.0 * kPi));
    std::vector<std::pair<std::string, std::string>> more = {
        {"opticalPathFrom", experiment.compensation.enabled
                                ? "the compensated phase"
                                : "the unwrapped phase"}};
    if (dhi) {
      more.push_back({"reflection",
                      "in reflection at normal incidence the displacement is "
                      "half of the optical path"});
    }
    files.write("opticalPath", scratch, "opticalPath", files.unit(), more);
  }
  return files.written();
}
