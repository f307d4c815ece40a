#include "steps.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>

#include "experiment.h"
#include "images.h"
#include "listener.h"
#include "reconstruction.h"

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
                 const double* const* values, int n,
                 const OutputOptions& options) {
  const std::string reason = saveImage(name, values, n, options);
  if (!reason.empty() && listener) {
    const std::string file = name.substr(name.find_last_of('/') + 1);
    listener->onError("Can't write " + file + ".png: " + reason);
  }
}

/// True when every sample is finite. Values that pass the set check can
/// still overflow (wavelength = z = 1e-150 leaves no finite intensity), and
/// such a field has no picture to show.
bool allFinite(const double* const* field, int n) {
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
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

}  // namespace

void reconstructIntensity(ReconstructionMethod method,
                          const double* const* hologram, int n,
                          double* const* intensity, double* const* phase,
                          const ParameterSet& parameters) {
  if (method == ReconstructionMethod::AngularSpectrum) {
    throw std::runtime_error("the AngularSpectrum method is not built yet");
  }
  if (method == ReconstructionMethod::Convolution) {
    reconstructConvolution(hologram, n, intensity, phase, parameters.wavelength,
                           parameters.angle, parameters.zDistance,
                           parameters.ccdPixelDistance);
  } else {
    reconstructFresnel(hologram, n, intensity, phase, parameters.wavelength,
                       parameters.angle, parameters.zDistance,
                       parameters.ccdPixelDistance);
  }
}

void Experiment::reconstructionStep(Vantor::IExperimentListener* listener,
                                    int index, const double* const* hologram,
                                    int n, double* const* intensity,
                                    double* const* phaseTangent,
                                    const ParameterSet& parameters,
                                    const OutputOptions& options,
                                    const std::string& directory) const {
  reconstructIntensity(method, hologram, n, intensity, phaseTangent,
                       parameters);
  if (!allFinite(intensity, n)) return reportOverflow(listener, index);
  savePicture(listener, baseName(directory, index), intensity, n, options);
}

void Experiment::dhiStep(Vantor::IExperimentListener* listener, int index,
                         const double* const* hologram1,
                         const double* const* hologram2, int n,
                         double* const* intensity1, double* const* intensity2,
                         double* const* phaseDifference,
                         const ParameterSet& parameters,
                         const OutputOptions& options,
                         const std::string& directory) const {
  if (method == ReconstructionMethod::AngularSpectrum) {
    throw std::runtime_error("the AngularSpectrum method is not built yet");
  }
  reconstructDhi(method == ReconstructionMethod::Convolution, hologram1,
                 hologram2, n, intensity1, intensity2, phaseDifference,
                 parameters.wavelength, parameters.angle, parameters.zDistance,
                 parameters.ccdPixelDistance);
  if (!allFinite(intensity1, n) || !allFinite(intensity2, n)) {
    return reportOverflow(listener, index);
  }
  const std::string base = baseName(directory, index);
  savePicture(listener, base + "_intensity1", intensity1, n, options);
  savePicture(listener, base + "_intensity2", intensity2, n, options);
  // The phase always spans its whole range, whatever the intensities use.
  savePicture(listener, base + "_phaseDiff", phaseDifference, n,
              OutputOptions{true, 1.0});
}
