#include <iomanip>
#include <sstream>
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

}  // namespace

void Experiment::reconstructionStep(Vantor::IExperimentListener* listener,
                                    int index, const double* const* hologram,
                                    int n, double* const* intensity,
                                    double* const* phaseTangent,
                                    const ParameterSet& parameters,
                                    const OutputOptions& options,
                                    const std::string& directory) const {
  if (method == ReconstructionMethod::Convolution) {
    reconstructConvolution(hologram, n, intensity, phaseTangent,
                           parameters.wavelength, parameters.angle,
                           parameters.zDistance, parameters.ccdPixelDistance);
  } else {
    reconstructFresnel(hologram, n, intensity, phaseTangent,
                       parameters.wavelength, parameters.angle,
                       parameters.zDistance, parameters.ccdPixelDistance);
  }
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
  reconstructDhi(method == ReconstructionMethod::Convolution, hologram1,
                 hologram2, n, intensity1, intensity2, phaseDifference,
                 parameters.wavelength, parameters.angle, parameters.zDistance,
                 parameters.ccdPixelDistance);
  const std::string base = baseName(directory, index);
  savePicture(listener, base + "_intensity1", intensity1, n, options);
  savePicture(listener, base + "_intensity2", intensity2, n, options);
  // The phase always spans its whole range, whatever the intensities use.
  savePicture(listener, base + "_phaseDiff", phaseDifference, n,
              OutputOptions{true, 1.0});
}
