#include "inputs.h"

#include <cmath>
#include <sstream>
#include <string>

#include "compensation.h"
#include "images.h"
#include "memory.h"
#include "names.h"
#include "numbers.h"
#include "reconstruction.h"
#include "steps.h"
#include "sweep.h"

using numerics::ComplexField;
using numerics::Frequency;
using numerics::PreparedHologram;
using numerics::RealField;
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

/// How a memory check asks whether an n x n picture may be allocated.
FitsInMemory fitsFor(const Experiment& experiment) {
  // Linux overcommits: a hologram that is allocated but does not fit gets
  // the process killed when its pages are first written, so ask first.
  return [&experiment](int edge) {
    return stepsThatFit(hologramBytes(experiment, edge),
                        stepBytes(experiment, edge), 1) == 1;
  };
}

/// A picture input as the file names it: a series when it is one (a
/// pattern, or a file of several pages), else one picture. selection is
/// the hologram's frames; backgrounds take every frame.
std::optional<PictureSource> openSource(
    const std::string& role, const std::string& path, bool seriesWanted,
    const std::optional<FrameSelection>& selection,
    const Experiment& experiment, std::string& problem) {
  bool series = seriesWanted || path.find('*') != std::string::npos;
  if (!series) {
    // A multi-page empty or dark frame is averaged over its pages.
    PageReader reader;
    std::ostringstream ignored;
    series = role != "hologram" && reader.open(path, ignored) &&
             reader.pageCount() > 1;
  }
  if (!series) return PictureSource::single(role, path);
  return PictureSource::series(role, path, selection, experiment.preferredSize,
                               problem);
}

/// "the empty frame", "the dark frame", "the hologram": for messages.
std::string described(const PictureSource& source) {
  if (source.role() == "background") return "the empty frame " + source.path();
  if (source.role() == "dark") return "the dark frame " + source.path();
  return "the hologram " + source.path();
}

/// Why picture cannot go with the run's window: another edge, or another
/// picture size than the first hologram's.
std::string windowProblem(const RunInputs& inputs, const LoadedPicture& picture,
                          const std::string& what) {
  const PictureExtent& a = inputs.extent;
  const PictureExtent& b = picture.extent;
  if (picture.n == inputs.n && a.pictureWidth == b.pictureWidth &&
      a.pictureHeight == b.pictureHeight) {
    return {};
  }
  return what + " is " + std::to_string(b.pictureWidth) + " x " +
         std::to_string(b.pictureHeight) + " pixels, " + inputs.windowFrom +
         " " + std::to_string(a.pictureWidth) + " x " +
         std::to_string(a.pictureHeight) + ": they must have the same size";
}

/// The mean of every frame of source, in the run's window; the reason it
/// could not be made.
std::string meanOfFrames(const RunContext& context, const PictureSource& source,
                         RealField& mean, PictureExtent& extent,
                         std::string& bytes) {
  const Experiment& experiment = context.experiment;
  for (int k = 0; k < source.frames(); ++k) {
    LoadedPicture picture;
    std::ostringstream why;
    if (!source.load(k, experiment, picture, why, fitsFor(experiment))) {
      return described(source) + ": " +
             why.str().substr(0, why.str().find('\n'));
    }
    if (k == 0) {
      mean = std::move(picture.samples);
      extent = picture.extent;
      bytes = std::move(picture.bytes);
      continue;
    }
    if (picture.n != mean.size() ||
        picture.extent.pictureWidth != extent.pictureWidth ||
        picture.extent.pictureHeight != extent.pictureHeight) {
      return described(source) + ": " + source.frameName(k) +
             " has another size than its first";
    }
    for (int r = 0; r < mean.size(); ++r) {
      for (int c = 0; c < mean.size(); ++c) mean[r][c] += picture.samples[r][c];
    }
  }
  const double count = source.frames();
  if (count > 1) {
    for (int r = 0; r < mean.size(); ++r) {
      for (int c = 0; c < mean.size(); ++c) mean[r][c] /= count;
    }
  }
  return {};
}

/// field minus dark, in place (a window's padding is 0 in both).
void subtract(RealField& field, const RealField& dark) {
  for (int r = 0; r < field.size(); ++r) {
    for (int c = 0; c < field.size(); ++c) field[r][c] -= dark[r][c];
  }
}

/// The zero order's mode in the numerics' terms.
numerics::ZeroOrder zeroOrderOf(ZeroOrderMode mode) {
  switch (mode) {
    case ZeroOrderMode::Mean:
      return numerics::ZeroOrder::mean;
    case ZeroOrderMode::None:
      return numerics::ZeroOrder::none;
    case ZeroOrderMode::LocalMean:
      break;
  }
  return numerics::ZeroOrder::localMean;
}

/// Corrects a hologram's samples by the empty frame (Divide, Subtract) and
/// prepares them: the reason when the correction is refused.
std::string prepareSamples(const RunContext& context, RealField& samples,
                           PreparedHologram& prepared, long long* neutralised) {
  const Experiment& experiment = context.experiment;
  const RunInputs& inputs = context.inputs;
  const numerics::Extent onPicture = inputs.extent.field();
  const bool corrected = experiment.background.enabled &&
                         experiment.background.mode != BackgroundMode::Field;
  if (corrected) {
    const numerics::BackgroundCorrection correction =
        numerics::correctBackground(
            samples.rows(), inputs.empty.rows(),
            inputs.darkSamples ? inputs.darkSamples.rows() : nullptr, inputs.n,
            onPicture,
            experiment.background.mode == BackgroundMode::Divide
                ? numerics::BackgroundMode::divide
                : numerics::BackgroundMode::subtract);
    if (!correction.problem.empty()) {
      return "The empty frame " + experiment.background.path + ": " +
             correction.problem;
    }
    if (neutralised != nullptr) *neutralised = correction.neutralised;
  }
  // The design's preparation stays the very same call, bit for bit.
  if (experiment.zeroOrder == ZeroOrderMode::LocalMean && !corrected) {
    prepared = numerics::prepareHologram(samples.rows(), inputs.n);
  } else {
    prepared = numerics::prepareHologram(samples.rows(), inputs.n,
                                         zeroOrderOf(experiment.zeroOrder),
                                         onPicture, corrected);
  }
  return {};
}

/// hologram filtered by the run's sideband: on the camera's grid, or with
/// <Filter crop> on the small one around the disk.
PreparedHologram filtered(const RunContext& context,
                          const PreparedHologram& hologram) {
  const RunInputs& inputs = context.inputs;
  if (inputs.cropped == 0) {
    return numerics::applySideband(hologram, *inputs.sideband);
  }
  return numerics::cropSideband(hologram, *inputs.sideband, inputs.cropped,
                                methodOf(context.experiment.method));
}

/// Finds the sideband filter on the prepared first hologram and applies it,
/// saying where its disk sits, so that a user can fix it with fx and fy;
/// why it cannot be found.
std::string findSideband(RunContext& context, PreparedHologram& hologram,
                         const std::string& found) {
  Vantor::IExperimentListener& listener = context.listener;
  const ParameterSet& set = filterSet(context.experiment);
  SidebandResult result = numerics::filterSideband(
      hologram, sidebandRequest(context.experiment.filter), opticsOf(set));
  if (!result.problem.empty()) return "The sideband filter: " + result.problem;
  const Sideband& sideband = result.sideband;
  const bool crop = context.experiment.filter.crop;
  const int n = hologram.size();
  if (crop) context.inputs.cropped = numerics::croppedEdge(sideband, n);
  const std::string cropped =
      crop ? ", reconstructed on " + std::to_string(context.inputs.cropped) +
                 " x " + std::to_string(context.inputs.cropped) +
                 " samples (the camera's pitch times " +
                 shownNumber(static_cast<double>(n) / context.inputs.cropped,
                             4) +
                 ")"
           : std::string();
  listener.onNote(
      "Sideband filter: centre fx = " + shownNumber(sideband.centre.fx, 4) +
      ", fy = " + shownNumber(sideband.centre.fy, 4) +
      " frequency samples, radius " + shownNumber(sideband.radius, 4) +
      (sideband.center ? ", moved to the zero frequency" : "") + cropped +
      found);
  // Cropped, the reference wave's angle is not applied at all.
  for (const std::string& warning :
       sidebandWarnings(sideband, crop ? 0.0 : set.angle)) {
    listener.onWarning(warning);
  }
  context.inputs.sideband = sideband;
  hologram = crop ? filtered(context, hologram) : std::move(result.hologram);
  return {};
}

/// The empty frame's frames for Field: each minus the dark frame, prepared
/// and filtered like the holograms. Made once the filter is found.
std::string prepareEmptyFrames(RunContext& context) {
  RunInputs& inputs = context.inputs;
  const PictureSource& source = *inputs.background;
  for (int k = 0; k < source.frames(); ++k) {
    LoadedPicture picture;
    std::ostringstream why;
    if (!source.load(k, context.experiment, picture, why,
                     fitsFor(context.experiment))) {
      return described(source) + ": " +
             why.str().substr(0, why.str().find('\n'));
    }
    const std::string problem =
        windowProblem(inputs, picture, described(source));
    if (!problem.empty()) return problem;
    if (inputs.darkSamples) subtract(picture.samples, inputs.darkSamples);
    PreparedHologram prepared;
    prepareSamples(context, picture.samples, prepared, nullptr);
    if (inputs.sideband) prepared = filtered(context, prepared);
    inputs.emptyFrames.push_back(std::move(prepared));
  }
  return {};
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
  const int n = context.inputs.gridEdge();
  const RunInputs& inputs = context.inputs;
  const auto limitOf = [n, &inputs](const ParameterSet& set) {
    const ParameterSet grid = inputs.gridSet(set);
    return numerics::samplingDistance(n, grid.ccdPixelDistance,
                                      grid.wavelength);
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
  const int n = context.inputs.gridEdge();
  const double grid = static_cast<double>(n) * n;
  const RunInputs& inputs = context.inputs;
  const auto kept = [n, &inputs](const ParameterSet& set) {
    return numerics::angularSpectrumKeptFrequencies(
        n, opticsOf(inputs.gridSet(set)));
  };
  const auto [count, first] =
      countSets(experiment, sets, [&](const ParameterSet& set) {
        return parameterSetProblem(set, experiment.method).empty() &&
               static_cast<double>(kept(set)) < kFewestKeptFrequencies * grid;
      });
  if (count == 0) return;
  const ParameterSet& set = experiment.parameterSets[first];
  const int highest = numerics::angularSpectrumHighestFrequency(
      n, opticsOf(inputs.gridSet(set)));
  const double width = inputs.n * set.ccdPixelDistance;
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
  request.center = filter.center || filter.crop;
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

bool openInputs(RunContext& context) {
  const Experiment& experiment = context.experiment;
  RunInputs& inputs = context.inputs;
  Vantor::IExperimentListener& listener = context.listener;
  std::string problem;
  const auto failed = [&](const std::string& why) {
    listener.onError(why);
    return false;
  };
  const bool series = experiment.frames.has_value();
  std::optional<PictureSource> hologram =
      openSource("hologram", experiment.hologramPath, series, experiment.frames,
                 experiment, problem);
  if (!hologram) return failed(problem);
  inputs.hologram = std::move(*hologram);
  if (experiment.type == ExperimentType::DHI) {
    inputs.hologram2 = openSource("hologram", experiment.hologramPath2, false,
                                  experiment.frames, experiment, problem);
    if (!inputs.hologram2) return failed(problem);
    if (inputs.hologram2->isSeries() &&
        inputs.hologram2->frames() != inputs.hologram.frames()) {
      return failed("The second hologram " + experiment.hologramPath2 +
                    " gives " + std::to_string(inputs.hologram2->frames()) +
                    " frames, the first " +
                    std::to_string(inputs.hologram.frames()) +
                    ": give as many, or one picture for every frame");
    }
  }
  const BackgroundOptions& background = experiment.background;
  if (!background.enabled) return true;
  inputs.background = openSource("background", background.path, false,
                                 std::nullopt, experiment, problem);
  if (!inputs.background) return failed(problem);
  PictureExtent extent;
  RealField darkMean;
  if (!background.darkPath.empty()) {
    inputs.dark = openSource("dark", background.darkPath, false, std::nullopt,
                             experiment, problem);
    if (!inputs.dark) return failed(problem);
    std::string bytes;
    problem = meanOfFrames(context, *inputs.dark, darkMean, extent, bytes);
    if (!problem.empty()) return failed(problem);
    if (!inputs.dark->isSeries()) {
      inputs.read.push_back({"dark", background.darkPath, std::move(bytes)});
    }
    inputs.darkSamples = std::move(darkMean);
    inputs.extent = extent;
    inputs.n = inputs.darkSamples.size();
    inputs.windowFrom = described(*inputs.dark);
  }
  if (background.mode == BackgroundMode::Field) return true;
  std::string bytes;
  PictureExtent emptyExtent;
  problem = meanOfFrames(context, *inputs.background, inputs.empty, emptyExtent,
                         bytes);
  if (!problem.empty()) return failed(problem);
  if (!inputs.background->isSeries()) {
    inputs.read.insert(inputs.read.begin(),
                       {"background", background.path, std::move(bytes)});
  }
  if (inputs.darkSamples) {
    LoadedPicture empty{RealField(), inputs.empty.size(), emptyExtent, {}};
    problem = windowProblem(inputs, empty, described(*inputs.background));
    if (!problem.empty()) return failed(problem);
  } else {
    inputs.extent = emptyExtent;
    inputs.n = inputs.empty.size();
    inputs.windowFrom = described(*inputs.background);
  }
  return true;
}

void loadFrame(RunContext& context, int k, LoadedFrame& frame) {
  const Experiment& experiment = context.experiment;
  RunInputs& inputs = context.inputs;
  frame.position = k;
  const FitsInMemory fits = fitsFor(experiment);
  const bool series = inputs.hologram.isSeries();
  // Reads frame index of source, checked against the run's window.
  const auto load = [&](const PictureSource& source, int index,
                        LoadedPicture& picture) {
    std::ostringstream why;
    if (!source.load(index, experiment, picture, why, fits)) {
      std::string text = why.str();
      while (!text.empty() && text.back() == '\n') text.pop_back();
      frame.problem = text;
      return false;
    }
    const std::string what =
        source.isSeries() ? source.frameName(index) : described(source);
    if (inputs.n == 0) {
      inputs.n = picture.n;
      inputs.extent = picture.extent;
      inputs.windowFrom = what;
    } else if (std::string problem = windowProblem(inputs, picture, what);
               !problem.empty()) {
      // Two holograms of a DHI run keep the message they always had.
      frame.problem = !series && source.role() == "hologram" &&
                              inputs.windowFrom.rfind("the hologram", 0) == 0
                          ? "The holograms must have the same size"
                          : problem;
      return false;
    }
    if (!source.isSeries()) {
      inputs.read.push_back({source.role(), source.path(), picture.bytes});
    }
    picture.bytes.clear();
    return true;
  };
  if (!load(inputs.hologram, k, frame.first)) return;
  if (inputs.hologram2 &&
      (inputs.hologram2->isSeries() || !inputs.fixedSecond)) {
    frame.second.emplace();
    if (!load(*inputs.hologram2, k, *frame.second)) frame.first = {};
  }
}

std::string finishFrame(RunContext& context, LoadedFrame loaded,
                        PreparedFrame& frame) {
  const Experiment& experiment = context.experiment;
  RunInputs& inputs = context.inputs;
  frame.position = loaded.position;
  if (!loaded.problem.empty()) {
    frame.problem = std::move(loaded.problem);
    return {};
  }
  const bool series = inputs.hologram.isSeries();
  long long neutralised = 0;
  std::string problem =
      prepareSamples(context, loaded.first.samples, frame.first, &neutralised);
  if (!problem.empty()) return problem;
  loaded.first.samples.release();
  if (loaded.second) {
    auto prepared = std::make_shared<PreparedHologram>();
    problem =
        prepareSamples(context, loaded.second->samples, *prepared, nullptr);
    if (!problem.empty()) return problem;
    frame.second = std::move(prepared);
  }
  // What the first frame finished says and sets once; later frames only
  // read it, so that they may be finished side by side.
  if (!inputs.noted) {
    if (experiment.background.enabled &&
        experiment.background.mode == BackgroundMode::Divide) {
      context.listener.onNote("Background: divided by the empty frame; " +
                              std::to_string(neutralised) +
                              (neutralised == 1 ? " sample" : " samples") +
                              " too dark to divide by taken as its mean");
    }
    inputs.noted = true;
  }
  if (experiment.filter.enabled) {
    if (!inputs.sideband) {
      problem = findSideband(
          context, frame.first,
          series ? " (found on " + inputs.hologram.frameName(loaded.position) +
                       ", used for every frame)"
                 : "");
      if (!problem.empty()) return problem;
    } else {
      frame.first = filtered(context, frame.first);
    }
    if (frame.second) {
      frame.second =
          std::make_shared<PreparedHologram>(filtered(context, *frame.second));
    }
  }
  if (inputs.hologram2 && !inputs.hologram2->isSeries()) {
    if (!inputs.fixedSecond) inputs.fixedSecond = frame.second;
    frame.second = inputs.fixedSecond;
  }
  if (experiment.background.enabled &&
      experiment.background.mode == BackgroundMode::Field &&
      inputs.emptyFrames.empty()) {
    problem = prepareEmptyFrames(context);
    if (!problem.empty()) return problem;
  }
  return {};
}

std::string prepareFrame(RunContext& context, int k, PreparedFrame& frame) {
  LoadedFrame loaded;
  loadFrame(context, k, loaded);
  return finishFrame(context, std::move(loaded), frame);
}

ComplexField emptyField(const RunContext& context, const ParameterSet& set) {
  const RunInputs& inputs = context.inputs;
  const int n = inputs.gridEdge();
  ComplexField mean(n);
  ComplexField one(n);
  numerics::ReconstructionOutputs outputs;
  outputs.field = one.rows();
  for (const PreparedHologram& empty : inputs.emptyFrames) {
    numerics::reconstruct(methodOf(context.experiment.method), empty,
                          opticsOf(inputs.gridSet(set)), outputs);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        mean[r][c].re += one[r][c].re;
        mean[r][c].im += one[r][c].im;
      }
    }
  }
  // Averaged as fields: the fringes of empty frames that drifted between
  // them would wash out an averaged picture.
  const double count = static_cast<double>(inputs.emptyFrames.size());
  if (count > 1) {
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        mean[r][c].re /= count;
        mean[r][c].im /= count;
      }
    }
  }
  return mean;
}

void warnOfSampling(const RunContext& context,
                    const std::vector<std::size_t>& sets) {
  if (context.experiment.method == ReconstructionMethod::AngularSpectrum) {
    warnOfBandLimit(context, sets);
  } else {
    warnOfUndersampling(context, sets);
  }
}
