#include "inputs.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

#include "images.h"
#include "memory.h"
#include "names.h"
#include "numbers.h"
#include "reconstruction.h"
#include "sideband.h"
#include "steps.h"
#include "sweep.h"

using numerics::Frequency;
using numerics::Sideband;
using numerics::SidebandRequest;
using numerics::SidebandResult;

namespace {

/// Below this share of the grid's frequencies an angular-spectrum picture
/// holds little but one grey. A recorded in-line hologram at 13 mm on a
/// 1024 grid of 1 um keeps 1.6% and shows its cells sharply.
constexpr double kFewestKeptFrequencies = 1e-3;

/// The set whose angle places the filter: the first that can be
/// reconstructed at all. Unusable sets fail on their own, as they do
/// without a filter; a sweep without a usable set takes its first.
const ParameterSet& filterSet(const Experiment& experiment) {
  for (const ParameterSet& set : experiment.parameterSets) {
    if (parameterSetProblem(set, experiment.method).empty()) return set;
  }
  return experiment.parameterSets.front();
}

/// Finds the sideband filter on the first hologram and applies it to both,
/// saying where its disk sits, so that a user can fix it with fx and fy.
bool filterHolograms(RunContext& context) {
  Vantor::IExperimentListener& listener = context.listener;
  RunHolograms& holograms = context.holograms;
  const ParameterSet& set = filterSet(context.experiment);
  SidebandResult result = numerics::filterSideband(
      holograms.first, sidebandRequest(context.experiment.filter),
      opticsOf(set));
  if (!result.problem.empty()) {
    listener.onError("The sideband filter: " + result.problem);
    return false;
  }
  const Sideband& sideband = result.sideband;
  listener.onNote(
      "Sideband filter: centre fx = " + shownNumber(sideband.centre.fx, 4) +
      ", fy = " + shownNumber(sideband.centre.fy, 4) +
      " frequency samples, radius " + shownNumber(sideband.radius, 4) +
      (sideband.center ? ", moved to the zero frequency" : ""));
  for (const std::string& warning : sidebandWarnings(sideband, set.angle)) {
    listener.onWarning(warning);
  }
  if (context.experiment.type == ExperimentType::DHI) {
    holograms.second = numerics::applySideband(holograms.second, sideband);
  }
  holograms.first = std::move(result.hologram);
  return true;
}

/// "3 sets, the first set 5 (z = 0.1), are" or "1 set, set 5 (z = 0.1), is".
std::string counted(std::size_t count, std::size_t first, double z) {
  const std::string index = std::to_string(first);
  return count == 1
             ? "1 set, set " + index + " (z = " + shownNumber(z) + "), is"
             : std::to_string(count) + " sets, the first set " + index +
                   " (z = " + shownNumber(z) + "), are";
}

/// The sets of sets for which closer(set) holds: how many, and the first.
template <typename Predicate>
std::pair<std::size_t, std::size_t> countSets(
    const Experiment& experiment, const std::vector<std::size_t>& sets,
    Predicate closer) {
  std::size_t count = 0;
  std::size_t first = 0;
  for (const std::size_t index : sets) {
    if (!closer(experiment.parameterSets[index])) continue;
    if (count++ == 0) first = index;
  }
  return {count, first};
}

void warnOfUndersampling(const RunContext& context,
                         const std::vector<std::size_t>& sets) {
  const Experiment& experiment = context.experiment;
  const int n = context.holograms.n;
  const auto limitOf = [n](const ParameterSet& set) {
    return numerics::samplingDistance(n, set.ccdPixelDistance, set.wavelength);
  };
  const auto [count, first] =
      countSets(experiment, sets, [&](const ParameterSet& set) {
        return std::abs(set.zDistance) < limitOf(set);
      });
  if (count == 0) return;
  const ParameterSet& set = experiment.parameterSets[first];
  const bool convolution =
      experiment.method == ReconstructionMethod::Convolution;
  context.listener.onWarning(
      counted(count, first, set.zDistance) +
      " closer than the distance from which the " +
      (convolution ? "Convolution method samples its impulse response"
                   : "Fresnel method samples its quadratic phase") +
      " correctly (" + shownNumber(limitOf(set), 3) + " for set " +
      std::to_string(first) + "); the AngularSpectrum method suits " +
      (count == 1 ? "it" : "them"));
}

void warnOfBandLimit(const RunContext& context,
                     const std::vector<std::size_t>& sets) {
  const Experiment& experiment = context.experiment;
  const int n = context.holograms.n;
  const double grid = static_cast<double>(n) * n;
  const auto kept = [n](const ParameterSet& set) {
    return numerics::angularSpectrumKeptFrequencies(n, opticsOf(set));
  };
  const auto [count, first] =
      countSets(experiment, sets, [&](const ParameterSet& set) {
        return parameterSetProblem(set, experiment.method).empty() &&
               static_cast<double>(kept(set)) < kFewestKeptFrequencies * grid;
      });
  if (count == 0) return;
  const ParameterSet& set = experiment.parameterSets[first];
  const int highest =
      numerics::angularSpectrumHighestFrequency(n, opticsOf(set));
  const double width = n * set.ccdPixelDistance;
  const std::string detail =
      highest > 0 ? "details finer than " +
                        shownNumber(width / (2.0 * highest), 3) + " are lost"
                  : "nothing but the mean is left";
  context.listener.onWarning(
      counted(count, first, set.zDistance) +
      " so far that the AngularSpectrum method's band limit keeps fewer than "
      "1 in 1000 of the grid's frequencies (" +
      std::to_string(kept(set)) + " of " + shownNumber(grid, 10) + " for set " +
      std::to_string(first) + ": " + detail + "); the Fresnel method suits " +
      (count == 1 ? "it" : "them"));
}

}  // namespace

SidebandRequest sidebandRequest(const FilterOptions& filter) {
  SidebandRequest request;
  if (filter.fx && filter.fy) {
    request.centre = Frequency{*filter.fx, *filter.fy};
  }
  request.order = filter.order;
  request.radius = filter.radius;
  request.edge = filter.edge;
  request.center = filter.center;
  return request;
}

std::vector<std::string> sidebandWarnings(const Sideband& sideband,
                                          double angle) {
  std::vector<std::string> warnings;
  const std::string centre = "fx = " + shownNumber(sideband.centre.fx, 4) +
                             ", fy = " + shownNumber(sideband.centre.fy, 4);
  if (sideband.contrast < numerics::kSidebandContrastThreshold) {
    warnings.push_back("the sideband filter's centre (" + centre +
                       ") does not stand out from its surroundings (contrast " +
                       shownNumber(sideband.contrast, 3) + ", below " +
                       shownNumber(numerics::kSidebandContrastThreshold, 3) +
                       "): is the hologram off-axis?");
  }
  if (sideband.center && angle != 0.0) {
    warnings.push_back(
        "the sideband filter moves the order to the zero frequency, which "
        "removes the carrier: the reference wave's angle should then be 0, "
        "not " +
        shownNumber(angle));
  }
  return warnings;
}

void loadHologram(const Experiment& experiment,
                  Vantor::IExperimentListener& listener,
                  const std::string& path, numerics::RealField& samples, int& n,
                  std::string& bytes) {
  std::ostringstream stream;
  PictureFile file;
  // Linux overcommits: a hologram that is allocated but does not fit gets
  // the process killed when its pages are first written, so ask first.
  const FitsInMemory fits = [&experiment](int edge) {
    return stepsThatFit(hologramBytes(experiment, edge),
                        stepBytes(experiment, edge), 1) == 1;
  };
  const bool clipped = experiment.preferredSize != 0;
  if (clipped) n = experiment.preferredSize;
  const bool loaded =
      readPictureFile(path, file, stream) &&
      (clipped ? loadClippedImage(file, samples, n, experiment.clipType, stream,
                                  fits)
               : loadSquareImage(file, samples, n, stream, fits));
  if (loaded) {
    bytes = std::move(file.bytes);
  } else {
    listener.onError(stream.str());
  }
}

bool prepareHolograms(RunContext& context) {
  const Experiment& experiment = context.experiment;
  RunHolograms& holograms = context.holograms;
  const bool dhi = experiment.type == ExperimentType::DHI;
  numerics::RealField first;
  numerics::RealField second;
  loadHologram(experiment, context.listener, experiment.hologramPath, first,
               holograms.n, holograms.firstFile);
  if (!first) return false;
  if (dhi) {
    loadHologram(experiment, context.listener, experiment.hologramPath2, second,
                 holograms.n, holograms.secondFile);
    if (!second) return false;
    if (first.size() != second.size()) {
      context.listener.onError("The holograms must have the same size");
      return false;
    }
  }
  if (experiment.focus.region) {
    const std::string problem =
        focusRegionOutside(*experiment.focus.region, holograms.n);
    if (!problem.empty()) {
      context.listener.onError("Can't load a experiment");
      context.listener.onErrorReason(problem);
      return false;
    }
  }
  holograms.first = numerics::prepareHologram(first.rows(), holograms.n);
  first.release();
  if (dhi) {
    holograms.second = numerics::prepareHologram(second.rows(), holograms.n);
    second.release();
  }
  return !experiment.filter.enabled || filterHolograms(context);
}

void warnOfSampling(const RunContext& context,
                    const std::vector<std::size_t>& sets) {
  if (context.experiment.method == ReconstructionMethod::AngularSpectrum) {
    warnOfBandLimit(context, sets);
  } else {
    warnOfUndersampling(context, sets);
  }
}
