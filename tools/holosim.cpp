// holosim: writes simulated off-axis holograms, and an experiment file that
// makes holorecon reconstruct them.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "failure.h"
#include "files.h"
#include "images.h"
#include "shortest.h"
#include "simulation.h"

using numerics::describeCurrentFailure;
using numerics::RealField;
using numerics::shortestText;

namespace {

namespace fs = std::filesystem;

constexpr int kBadArguments = 2;
constexpr int kFailure = 1;

constexpr std::string_view kUsage = R"(Usage: holosim [OPTIONS] PICTURE

Simulates an off-axis hologram: an object at a distance in front of the
sensor, its light propagated exactly to the sensor, and a tilted plane
reference wave (or an in-line one, --inline). The recorded intensity is
written to PICTURE as an 8-bit grey PNG spanning the grey levels 0 to 255
(or on a camera's fixed scale, --offset and --gain).

Lengths share one unit of your choice (the defaults are in metres); the
angle is in radians. Give the same values to holorecon and it focuses the
object at the simulated distance.

Options (also as --option=VALUE):
  --size N             sensor edge in pixels, 16 to 4096 (default 512)
  --wavelength L       wavelength of the light (default 5.32e-07)
  --pitch P            distance between pixel centres (default 3.45e-06)
  --distance Z         object to sensor (default 0.01)
  --angle A            tilt of the reference wave; its phase changes along
                       the picture's rows, bottom to top (default 0.05)
  --object bars|FILE   bars: a built-in resolution target (the default);
                       FILE: a picture whose red channel is the object's
                       amplitude, its central N x N pixels one per sensor
                       pixel (black where the picture is smaller). Keep the
                       bright part within the central third or so, so that
                       its reconstruction stands clear of the undiffracted
                       light.
  --phase-object FILE  a transparent object instead: amplitude 1 over the
                       central square of half the sensor's edge (0 around
                       it), phase from the red channel of FILE's central
                       N x N pixels, grey levels 0 to 255 giving 0 to the
                       phase scale
  --phase-scale RAD    the phase of full white, radians (default 3.14159)
  --surround           with --phase-object: a transparent surround, amplitude
                       1 everywhere, so that there is light around the object
  --inline             a Gabor in-line hologram instead: the object is a
                       transparent plate (transmittance 1 - absorption, the
                       absorption the object picture's grey levels over
                       their largest; with --phase-object a phase plate of
                       amplitude 1) lit by the light, which is its own
                       reference; no reference wave, no angle
  --illumination W     a Gaussian beam of 1/e^2 radius W pixels (its
                       intensity falls to 1/e^2 there), centred on the
                       sensor, on object and reference alike, instead of
                       uniform light
  --curvature R        a spherical object wave: the phase pi r^2 /
                       (wavelength R) in the object plane, r from the
                       sensor's centre, as a microscope objective adds
                       (negative R: converging)
  --diffuse            a random phase on the object, as a rough surface has
  --seed S             seed of the random phase and noise (default 1)
  --noise SIGMA        camera noise, standard deviation in grey levels
                       (default 0)
  --offset G           a camera with a fixed scale: grey = G + K I, I the
                       intensity in units of the reference wave's at the
                       beam's centre (in line: the light's), rounded and
                       clamped to 0..255 as an 8-bit camera saturates; G is
                       its dark level (default 0). Without --offset and
                       --gain the pictures span 0..255 together.
  --gain K             that camera's grey levels per unit intensity
                       (default 60)
  --background FILE    also write the empty frame: the same recording
                       without the object (the surround, or the reference
                       alone), with a noise of its own
  --carrier-shift S    the empty frame's carrier moved by S frequency
                       samples along the rows, as two exposures' carriers
                       differ (default 0)
  --dark FILE          also write a dark frame: the camera's offset and
                       noise only (needs --offset or --gain)
  --deform RADIANS     also write the object deformed by a smooth phase bump
                       of this peak value, to PICTURE with "_deformed" before
                       the extension; holorecon's interference phase then
                       shows the bump
  --experiment FILE    also write an experiment file for holorecon: a
                       Reconstruction (DHI with --deform) over five distances
                       from 0.75 to 1.25 times the distance, normalised
                       output. With --inline: the angle 0, the zero order
                       taken as the mean, the empty and dark frames
                       dividing (flat field). Off axis with --background: a
                       phase measurement, the sideband centred (angle 0),
                       the phase relative to the empty frame's field,
                       unwrapped, its tilt (and with --curvature its
                       curvature) removed. Its picture paths are relative
                       to the directory of FILE: run holorecon from there.
  --method Fresnel|Convolution|AngularSpectrum
                       the experiment file's method (default Convolution;
                       AngularSpectrum with --inline or --background)
  --help               show this text

Example:
  holosim --size 256 --distance 5e-3 --experiment bars.xml bars.png
  holorecon bars.xml

Exit status: 0 done, 1 a file could not be read or written, 2 bad arguments.
)";

/// Everything the command line asks for.
struct Arguments {
  SimulationOptions simulation;
  std::string object;  ///< empty: the built-in bars
  std::string phaseObject;
  double phaseScale = 3.141592653589793;
  bool phaseScaleGiven = false;
  bool surround = false;
  std::optional<double> offset;
  std::optional<double> gain;
  bool carrierShiftGiven = false;
  std::string background;
  std::string dark;
  std::string picture;
  std::string experiment;
  std::string method;  ///< empty: chosen for the recording
  bool help = false;
};

/// One line on standard error, prefixed with the program's name.
void complain(const std::string& message) {
  std::cerr << "holosim: " << message << '\n';
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end;
}

/// Reads one option's value into its place; the message on failure.
std::optional<std::string> applyOption(std::string_view name,
                                       std::string_view value,
                                       Arguments& arguments) {
  Recording& recording = arguments.simulation.recording;
  SimulationOptions& simulation = arguments.simulation;
  const auto notA = [&](const char* kind) {
    return "--" + std::string(name) + ": '" + std::string(value) + "' is not " +
           kind;
  };
  double* real = nullptr;
  if (name == "wavelength") real = &recording.wavelength;
  if (name == "pitch") real = &recording.pitch;
  if (name == "distance") real = &recording.distance;
  if (name == "angle") real = &recording.angle;
  if (name == "noise") real = &simulation.noise;
  if (name == "deform") real = &simulation.deform;
  if (name == "phase-scale") real = &arguments.phaseScale;
  if (name == "illumination") real = &simulation.lighting.beamRadius;
  if (name == "curvature") real = &simulation.lighting.curvature;
  if (name == "carrier-shift") real = &simulation.carrierShift;
  if (name == "offset") real = &arguments.offset.emplace();
  if (name == "gain") real = &arguments.gain.emplace();
  if (real) {
    if (!parseNumber(value, *real)) return notA("a number");
    if (name == "deform") simulation.deformed = true;
    if (name == "phase-scale") arguments.phaseScaleGiven = true;
    if (name == "carrier-shift") arguments.carrierShiftGiven = true;
    return std::nullopt;
  }
  if (name == "size") {
    if (!parseNumber(value, recording.size)) return notA("a whole number");
  } else if (name == "seed") {
    if (!parseNumber(value, simulation.seed)) {
      return notA("a whole number from 0 to 18446744073709551615");
    }
  } else if (name == "object") {
    if (value.empty()) return std::string("--object needs bars or a file");
    arguments.object = value;
  } else if (name == "phase-object") {
    if (value.empty()) return std::string("--phase-object needs a file");
    arguments.phaseObject = value;
  } else if (name == "experiment") {
    if (value.empty()) return std::string("--experiment needs a file name");
    arguments.experiment = value;
  } else if (name == "background" || name == "dark") {
    if (value.empty()) return "--" + std::string(name) + " needs a file name";
    (name == "dark" ? arguments.dark : arguments.background) = value;
    simulation.background = simulation.background || name == "background";
    simulation.dark = simulation.dark || name == "dark";
  } else if (name == "method") {
    if (value != "Fresnel" && value != "Convolution" &&
        value != "AngularSpectrum") {
      return notA("Fresnel, Convolution or AngularSpectrum");
    }
    arguments.method = value;
  }
  return std::nullopt;
}

/// Fills arguments from the command line; the message on failure.
std::optional<std::string> parse(const std::vector<std::string_view>& words,
                                 Arguments& arguments) {
  const auto takesNoValue = [](std::string_view name) {
    return name == "help" || name == "diffuse" || name == "inline" ||
           name == "surround";
  };
  const auto takesValue = [](std::string_view name) {
    for (const std::string_view known :
         {"size",        "wavelength",   "pitch",         "distance",
          "angle",       "object",       "seed",          "noise",
          "deform",      "experiment",   "method",        "phase-object",
          "phase-scale", "illumination", "curvature",     "offset",
          "gain",        "background",   "carrier-shift", "dark"}) {
      if (name == known) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string_view word = words[i];
    if (word.size() < 2 || word.substr(0, 2) != "--") {
      if (!word.empty() && word[0] == '-' && word != "-") {
        return "unknown option '" + std::string(word) + "'";
      }
      if (!arguments.picture.empty()) {
        return "one picture only, but both '" + arguments.picture + "' and '" +
               std::string(word) + "' given";
      }
      arguments.picture = word;
      continue;
    }
    std::string_view name = word.substr(2);
    std::optional<std::string_view> value;
    if (const auto equals = name.find('='); equals != name.npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (takesNoValue(name)) {
      if (value) return "--" + std::string(name) + " takes no value";
      (name == "help"       ? arguments.help
       : name == "diffuse"  ? arguments.simulation.diffuse
       : name == "surround" ? arguments.surround
                            : arguments.simulation.inLine) = true;
      continue;
    }
    if (!takesValue(name))
      return "unknown option '--" + std::string(name) + "'";
    if (!value) {
      if (i + 1 == words.size()) {
        return "--" + std::string(name) + " needs a value";
      }
      value = words[++i];
    }
    if (auto problem = applyOption(name, *value, arguments)) return problem;
  }
  return std::nullopt;
}

std::string deformedName(const std::string& picture);
bool sameFile(const std::string& a, const std::string& b);

/// What is wrong with the options of realistic recordings (in line, light,
/// camera, empty and dark frames); nothing when they make sense.
std::optional<std::string> recordedProblem(const Arguments& arguments) {
  const SimulationOptions& simulation = arguments.simulation;
  const Lighting& lighting = simulation.lighting;
  const auto inRange = [](double x, double low, double high) {
    return x >= low && x <= high;
  };
  if (arguments.surround && arguments.phaseObject.empty()) {
    return std::string("--surround needs --phase-object");
  }
  if (simulation.inLine && simulation.deformed) {
    return std::string("--deform needs an off-axis recording, not --inline");
  }
  if (!inRange(lighting.beamRadius, 0.0, 1e6)) {
    return std::string(
        "the illumination's radius must be a number of pixels from 0 to 1e6");
  }
  const double radius = std::abs(lighting.curvature);
  if (std::isnan(lighting.curvature) ||
      (radius != 0.0 && !inRange(radius, 1e-100, 1e100))) {
    return std::string(
        "the curvature radius must be 0 (none) or a number from 1e-100 to "
        "1e100 in size");
  }
  if (arguments.offset && !inRange(*arguments.offset, 0.0, 255.0)) {
    return std::string("the offset must be a grey level from 0 to 255");
  }
  if (arguments.gain && !(*arguments.gain > 0.0 && *arguments.gain <= 1e6)) {
    return std::string("the gain must be a positive number up to 1e6");
  }
  if (arguments.carrierShiftGiven) {
    if (!simulation.background) {
      return std::string("--carrier-shift needs --background");
    }
    if (simulation.inLine) {
      return std::string(
          "--carrier-shift needs an off-axis recording, not --inline");
    }
    // Beyond the highest frequency the empty frame's fringes would alias.
    const Recording& recording = simulation.recording;
    const double limit = 0.5 * recording.size;
    const double carrier = recording.size * recording.pitch *
                               std::sin(recording.angle) /
                               recording.wavelength +
                           simulation.carrierShift;
    if (!(std::abs(carrier) < limit)) {
      return "the carrier shift puts the empty frame's carrier at " +
             shortestText(carrier) +
             " frequency samples, beyond the highest, " + shortestText(limit);
    }
  }
  if (simulation.dark && !arguments.offset && !arguments.gain) {
    return std::string(
        "--dark needs --offset or --gain: without a fixed grey scale a dark "
        "frame holds nothing");
  }
  return std::nullopt;
}

/// What is wrong with the values as a whole; nothing when they make sense.
std::optional<std::string> check(const Arguments& arguments) {
  if (arguments.picture.empty()) return std::string("no output picture given");
  // Two outputs in one file: the second write would replace the first.
  std::vector<std::pair<std::string, std::string>> outputs = {
      {"the picture", arguments.picture}};
  if (arguments.simulation.deformed) {
    outputs.emplace_back("the deformed picture",
                         deformedName(arguments.picture));
  }
  if (!arguments.experiment.empty()) {
    outputs.emplace_back("the experiment file", arguments.experiment);
  }
  if (!arguments.background.empty()) {
    outputs.emplace_back("the empty frame", arguments.background);
  }
  if (!arguments.dark.empty()) {
    outputs.emplace_back("the dark frame", arguments.dark);
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (std::size_t j = i + 1; j < outputs.size(); ++j) {
      if (sameFile(outputs[i].second, outputs[j].second)) {
        return outputs[j].first + " and " + outputs[i].first +
               " are the same file '" + outputs[j].second + "'";
      }
    }
  }
  // In line there is no reference wave, so its angle cannot be too steep.
  Recording checked = arguments.simulation.recording;
  if (arguments.simulation.inLine) checked.angle = 0.0;
  const std::string problem = recordingProblem(checked);
  if (!problem.empty()) return problem;
  if (!arguments.phaseObject.empty() && !arguments.object.empty()) {
    return std::string("--object and --phase-object exclude each other");
  }
  if (arguments.phaseScaleGiven && arguments.phaseObject.empty()) {
    return std::string("--phase-scale needs --phase-object");
  }
  if (!std::isfinite(arguments.phaseScale) ||
      std::abs(arguments.phaseScale) > 1e6) {
    return std::string("the phase scale must be a number from -1e6 to 1e6");
  }
  const double noise = arguments.simulation.noise;
  if (!(noise >= 0.0 && noise <= 1e6)) {
    return std::string("the noise must be a number from 0 to 1e6");
  }
  if (!std::isfinite(arguments.simulation.deform) ||
      std::abs(arguments.simulation.deform) > 1e6) {
    return std::string("the deformation must be a number from -1e6 to 1e6");
  }
  return recordedProblem(arguments);
}

/// PICTURE with "_deformed" before its extension.
std::string deformedName(const std::string& picture) {
  const fs::path path(picture);
  fs::path name = path.stem();
  name += "_deformed";
  name += path.extension();
  return (path.parent_path() / name).string();
}

/// The central n x n samples of the picture at path (what names it in
/// messages), or the message why they could not be read.
std::optional<std::string> loadPicture(const std::string& path,
                                       const std::string& what, int n,
                                       RealField& samples) {
  std::stringstream reason;
  if (!loadObjectPicture(path, samples, n, reason)) {
    // The loader's first line is its reason; what follows is the image
    // library's own detail, which stays off the console.
    std::string text;
    std::getline(reason, text);
    return "can't read " + what + " '" + path + "'" +
           (text.empty() ? "" : ": " + text);
  }
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      // A float picture may hold NaN or infinity, which no propagation can
      // carry.
      if (!std::isfinite(samples[r][c])) {
        return what + " '" + path +
               "' holds values that are not finite "
               "numbers";
      }
    }
  }
  return std::nullopt;
}

/// The object's amplitude (and its phase for a phase object, else an empty
/// field), or the message why it could not be read.
std::optional<std::string> loadObject(const Arguments& arguments,
                                      RealField& amplitude, RealField& phase) {
  const int n = arguments.simulation.recording.size;
  if (!arguments.phaseObject.empty()) {
    RealField picture;
    if (auto problem = loadPicture(arguments.phaseObject,
                                   "the phase object picture", n, picture)) {
      return problem;
    }
    PhaseObject object = phaseObject(picture.rows(), n, arguments.phaseScale);
    amplitude = std::move(object.amplitude);
    phase = std::move(object.phase);
    // A phase plate, or a phase object with light around it.
    if (arguments.surround || arguments.simulation.inLine) {
      for (int r = 0; r < n; ++r) std::fill_n(amplitude[r], n, 1.0);
    }
    return std::nullopt;
  }
  if (arguments.object.empty() || arguments.object == "bars") {
    amplitude = barsPattern(n);
  } else if (auto problem = loadPicture(arguments.object, "the object picture",
                                        n, amplitude)) {
    return problem;
  }
  double largest = 0.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) largest = std::max(largest, amplitude[r][c]);
  }
  if (!(largest > 0.0)) {
    return "the object picture '" + arguments.object +
           "' is black (its red channel) over the central " +
           std::to_string(n) + " x " + std::to_string(n) + " pixels";
  }
  if (arguments.simulation.inLine) {  // the plate's transmittance
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        amplitude[r][c] = 1.0 - amplitude[r][c] / largest;
      }
    }
  }
  return std::nullopt;
}

/// Writes the grey levels of picture as an 8-bit PNG; the reason it could
/// not, empty on success.
std::string savePicture(const std::string& path, const RealField& picture) {
  const int n = picture.size();
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n) *
                                   static_cast<std::size_t>(n));
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      pixels[static_cast<std::size_t>(r) * static_cast<std::size_t>(n) +
             static_cast<std::size_t>(c)] =
          static_cast<std::uint8_t>(picture[r][c]);
    }
  }
  return saveGreyPng8(path, pixels.data(), n, n);
}

/// path as seen from the directory that holds the experiment file.
std::string pathFromExperiment(const std::string& path,
                               const std::string& experiment) {
  std::error_code error;
  const fs::path base = fs::absolute(experiment, error).parent_path();
  if (error) return path;
  const fs::path relative = fs::proximate(path, base, error);
  return error ? path : relative.generic_string();
}

/// True when a and b name the same file: the same existing file, or the
/// same path once made absolute and normal.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::equivalent(a, b, error)) return true;
  return fs::absolute(a, error).lexically_normal() ==
         fs::absolute(b, error).lexically_normal();
}

int run(const Arguments& arguments) {
  RealField amplitude;
  RealField phase;
  if (auto problem = loadObject(arguments, amplitude, phase)) {
    complain(*problem);
    return kFailure;
  }
  SimulationOptions simulation = arguments.simulation;
  if (arguments.surround) simulation.lighting.surround = 1.0;
  if (arguments.offset || arguments.gain) {
    simulation.camera = Camera{};
    if (arguments.offset) simulation.camera->offset = *arguments.offset;
    if (arguments.gain) simulation.camera->gain = *arguments.gain;
  }
  const Holograms pictures =
      simulate(amplitude.rows(), phase.rows(), simulation);
  const std::string second = deformedName(arguments.picture);
  for (const auto& [path, picture] :
       {std::pair{&arguments.picture, &pictures.first},
        std::pair{&second, &pictures.second},
        std::pair{&arguments.background, &pictures.background},
        std::pair{&arguments.dark, &pictures.dark}}) {
    if (!*picture) continue;
    const std::string problem = savePicture(*path, *picture);
    if (!problem.empty()) {
      complain("can't write the picture '" + *path + "': " + problem);
      return kFailure;
    }
  }
  if (arguments.experiment.empty()) return 0;

  ExperimentDescription description;
  description.dhi = arguments.simulation.deformed;
  description.recording = arguments.simulation.recording;
  if (simulation.inLine) description.recording.angle = 0.0;  // no reference
  description.inLine = simulation.inLine;
  // A realistic recording is taken close, where the angular spectrum alone
  // is sampled correctly.
  description.method = !arguments.method.empty() ? arguments.method
                       : simulation.inLine || simulation.background
                           ? "AngularSpectrum"
                           : "Convolution";
  description.hologram =
      pathFromExperiment(arguments.picture, arguments.experiment);
  if (simulation.background) {
    description.background =
        pathFromExperiment(arguments.background, arguments.experiment);
  }
  if (simulation.dark) {
    description.dark = pathFromExperiment(arguments.dark, arguments.experiment);
  }
  description.curvature = simulation.lighting.curvature != 0.0;
  if (description.dhi) {
    description.hologram2 = pathFromExperiment(second, arguments.experiment);
  }
  const std::string problem =
      writeWholeFile(arguments.experiment, experimentXml(description));
  if (!problem.empty()) {
    complain("can't write the experiment file '" + arguments.experiment +
             "': " + problem);
    return kFailure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit makes writes fail with a reason instead of killing
  // the process.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string_view> words(argv + (argc > 0 ? 1 : 0),
                                            argv + argc);
  Arguments arguments;
  if (auto problem = parse(words, arguments)) {
    complain(*problem + " (see holosim --help)");
    return kBadArguments;
  }
  if (arguments.help) {
    std::cout << kUsage;
    return 0;
  }
  if (auto problem = check(arguments)) {
    complain(*problem + " (see holosim --help)");
    return kBadArguments;
  }
  try {
    return run(arguments);
  } catch (const std::bad_alloc&) {
    complain("not enough memory for a simulation of this size");
    return kFailure;
  } catch (...) {
    complain(describeCurrentFailure());
    return kFailure;
  }
}
