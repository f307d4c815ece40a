#include "preparation.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

#include "listener.h"
#include "sideband.h"

using numerics::applySideband;
using numerics::filterSideband;
using numerics::Frequency;
using numerics::kSidebandContrastThreshold;
using numerics::prepareHologram;
using numerics::RealField;
using numerics::samplingDistance;
using numerics::Sideband;
using numerics::SidebandRequest;
using numerics::SidebandResult;

namespace {

void report(Vantor::IExperimentListener* listener, const std::string& text) {
  if (listener) listener->onError(text);
}

void warn(Vantor::IExperimentListener* listener, const std::string& text) {
  if (listener) listener->onWarning(text);
}

/// A number as the console shows it, with at most digits significant ones.
std::string shown(double value, int digits = 6) {
  std::ostringstream text;
  text << std::setprecision(digits) << value;
  return text.str();
}

/// The filter's request from the experiment file's <Filter>.
SidebandRequest requestOf(const FilterOptions& filter) {
  SidebandRequest request;
  if (filter.fx && filter.fy)
    request.centre = Frequency{*filter.fx, *filter.fy};
  request.order = filter.order;
  request.radius = filter.radius;
  request.edge = filter.edge;
  request.center = filter.center;
  return request;
}

/// Finds the sideband filter on the first hologram and applies it to both,
/// saying where its disk sits, so that a user can fix it with fx and fy.
bool filterHolograms(const Experiment& experiment,
                     Vantor::IExperimentListener* listener,
                     RunHolograms& holograms) {
  const ParameterSet& first = experiment.parameterSets.front();
  SidebandResult result = filterSideband(
      holograms.first, requestOf(experiment.filter), opticsOf(first));
  if (!result.problem.empty()) {
    report(listener, "The sideband filter: " + result.problem);
    return false;
  }
  const Sideband& sideband = result.sideband;
  const std::string centre = "fx = " + shown(sideband.centre.fx, 4) +
                             ", fy = " + shown(sideband.centre.fy, 4);
  if (listener) {
    listener->onNote("Sideband filter: centre " + centre +
                     " frequency samples, radius " + shown(sideband.radius, 4) +
                     (sideband.center ? ", moved to the zero frequency" : ""));
  }
  if (sideband.contrast < kSidebandContrastThreshold) {
    warn(listener, "the sideband filter's centre (" + centre +
                       ") does not stand out from its surroundings (contrast " +
                       shown(sideband.contrast, 3) + ", below " +
                       shown(kSidebandContrastThreshold, 3) +
                       "): is the hologram off-axis?");
  }
  if (sideband.center && first.angle != 0.0) {
    warn(listener,
         "the sideband filter moves the order to the zero frequency, which "
         "removes the carrier: the reference wave's angle should then be 0, "
         "not " +
             shown(first.angle));
  }
  if (experiment.type == ExperimentType::DHI) {
    holograms.second = applySideband(holograms.second, sideband);
  }
  holograms.first = std::move(result.hologram);
  return true;
}

}  // namespace

bool prepareHolograms(const Experiment& experiment,
                      Vantor::IExperimentListener* listener,
                      RunHolograms& holograms) {
  const bool dhi = experiment.type == ExperimentType::DHI;
  RealField first;
  RealField second;
  experiment.loadHologram(listener, experiment.hologramPath, first, holograms.n,
                          holograms.firstFile);
  if (!first) return false;
  if (dhi) {
    experiment.loadHologram(listener, experiment.hologramPath2, second,
                            holograms.n, holograms.secondFile);
    if (!second) return false;
    if (first.size() != second.size()) {
      report(listener, "The holograms must have the same size");
      return false;
    }
  }
  if (experiment.focus.region) {
    const std::string problem =
        focusRegionOutside(*experiment.focus.region, holograms.n);
    if (!problem.empty()) {
      report(listener, "Can't load a experiment");
      report(listener, problem);
      return false;
    }
  }
  holograms.first = prepareHologram(first.rows(), holograms.n);
  first.release();
  if (dhi) {
    holograms.second = prepareHologram(second.rows(), holograms.n);
    second.release();
  }
  return !experiment.filter.enabled ||
         filterHolograms(experiment, listener, holograms);
}

void warnOfUndersampling(const Experiment& experiment,
                         Vantor::IExperimentListener* listener,
                         const std::vector<std::size_t>& sets, int n) {
  if (experiment.method == ReconstructionMethod::AngularSpectrum) return;
  std::size_t count = 0;
  std::size_t first = 0;
  double firstLimit = 0.0;
  for (const std::size_t index : sets) {
    const ParameterSet& set = experiment.parameterSets[index];
    const double limit =
        samplingDistance(n, set.ccdPixelDistance, set.wavelength);
    if (!(std::abs(set.zDistance) < limit)) continue;
    if (count++ == 0) {
      first = index;
      firstLimit = limit;
    }
  }
  if (count == 0) return;
  const bool convolution =
      experiment.method == ReconstructionMethod::Convolution;
  const std::string z = shown(experiment.parameterSets[first].zDistance);
  const std::string index = std::to_string(first);
  warn(listener,
       (count == 1 ? "1 set, set " + index + " (z = " + z + "), is"
                   : std::to_string(count) + " sets, the first set " + index +
                         " (z = " + z + "), are") +
           " closer than the distance from which the " +
           (convolution ? "Convolution method samples its impulse response"
                        : "Fresnel method samples its quadratic phase") +
           " correctly (" + shown(firstLimit, 3) + " for set " + index +
           "); the AngularSpectrum method suits " +
           (count == 1 ? "it" : "them"));
}
