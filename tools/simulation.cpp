#include "simulation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <random>
#include <string_view>

#include "fft.h"
#include "shortest.h"

using numerics::Complex;
using numerics::ComplexField;
using numerics::fft2d;
using numerics::RealField;
using numerics::shortestText;

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

/// Random numbers that are the same for one seed on every platform (the
/// standard distributions are not).
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}

  /// Uniform in [0, 1): the top 53 bits, each value a multiple of 2^-53.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

  /// Standard normal, by Box-Muller; 1 - u keeps the logarithm's argument
  /// above zero.
  double normal() {
    if (hasSpare_) {
      hasSpare_ = false;
      return spare_;
    }
    const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
    const double angle = kTwoPi * uniform();
    spare_ = radius * std::sin(angle);
    hasSpare_ = true;
    return radius * std::cos(angle);
  }

 private:
  std::mt19937_64 engine_;
  bool hasSpare_ = false;
  double spare_ = 0.0;
};

/// An axis-aligned rectangle in the pattern's unit square: u across (left to
/// right), v up (bottom to top).
struct Rectangle {
  double u0, u1, v0, v1;
};

// The bars pattern. The "F" sits top left so that a mirrored or turned
// reconstruction is seen at a glance; bar groups halve their width from one
// group to the next, as on a resolution target.
constexpr Rectangle kPattern[] = {
    // "F": stem, top arm, middle arm.
    {0.04, 0.12, 0.56, 0.96},
    {0.12, 0.36, 0.88, 0.96},
    {0.12, 0.28, 0.72, 0.80},
    // Vertical bars, width 0.08, then 0.04.
    {0.44, 0.52, 0.56, 0.96},
    {0.60, 0.68, 0.56, 0.96},
    {0.76, 0.84, 0.56, 0.96},
    {0.88, 0.90, 0.56, 0.76},
    {0.92, 0.94, 0.56, 0.76},
    {0.96, 0.98, 0.56, 0.76},
    // Horizontal bars, width 0.08, then 0.04.
    {0.04, 0.44, 0.36, 0.44},
    {0.04, 0.44, 0.20, 0.28},
    {0.04, 0.44, 0.04, 0.12},
    {0.56, 0.96, 0.40, 0.44},
    {0.56, 0.96, 0.32, 0.36},
    {0.56, 0.96, 0.24, 0.28},
    // A solid block: most of the object's light, and an area on which the
    // phase of an interferogram reads without fringes of the bars.
    {0.56, 0.96, 0.04, 0.20},
};

/// Side of the pattern's square in pixels for edge n.
int patternSide(int n) { return std::max(1, n / 4); }

/// Spatial frequency index of DFT bin j of m: 0, 1, ..., m/2 - 1, then the
/// negative ones. Example, m = 4: bins 0 1 2 3 are frequencies 0 1 -2 -1.
int signedFrequency(int j, int m) { return j < (m + 1) / 2 ? j : j - m; }

Complex multiply(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

Complex polar(double magnitude, double phase) {
  return {magnitude * std::cos(phase), magnitude * std::sin(phase)};
}

double squaredMagnitude(Complex a) { return a.re * a.re + a.im * a.im; }

/// Largest |object| over the sensor.
double peakMagnitude(const Complex* const* wave, int n) {
  double peak = 0.0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      peak = std::max(peak, squaredMagnitude(wave[r][c]));
    }
  }
  return std::sqrt(peak);
}

/// |object + reference|^2 per sensor pixel.
RealField intensity(const Complex* const* object,
                    const Complex* const* reference, int n) {
  RealField recorded(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const Complex sum{object[r][c].re + reference[r][c].re,
                        object[r][c].im + reference[r][c].im};
      recorded[r][c] = squaredMagnitude(sum);
    }
  }
  return recorded;
}

/// |object|^2 per sensor pixel: an in-line hologram.
RealField intensity(const Complex* const* object, int n) {
  RealField recorded(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) recorded[r][c] = squaredMagnitude(object[r][c]);
  }
  return recorded;
}

/// The intensity of an exposure: the object's wave with the reference, or
/// alone for an in-line hologram (no reference).
RealField expose(const ComplexField& object, const ComplexField& reference) {
  return reference ? intensity(object.rows(), reference.rows(), object.size())
                   : intensity(object.rows(), object.size());
}

/// Grey levels offset + (I - low) * scale.
struct GreyScale {
  double offset = 0.0;
  double low = 0.0;
  double scale = 0.0;
};

/// Maps the intensities to grey levels, adds camera noise and rounds to the
/// grey levels a camera stores, clamped to 0..255, in place.
void toGreyLevels(RealField& picture, const GreyScale& grey, double noise,
                  Random& random) {
  const int n = picture.size();
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      double level = grey.offset + (picture[r][c] - grey.low) * grey.scale;
      if (noise > 0.0) level += noise * random.normal();
      picture[r][c] = std::clamp(std::round(level), 0.0, 255.0);
    }
  }
}

/// exp(-r^2 / W^2) times exp(i pi r^2 pitch^2 / (wavelength R)) at r
/// pixels from the centre: the light of lighting.
Complex light(double r2, const Lighting& lighting, const Recording& recording) {
  const double amplitude =
      lighting.beamRadius > 0.0
          ? std::exp(-r2 / (lighting.beamRadius * lighting.beamRadius))
          : 1.0;
  const double phase = lighting.curvature != 0.0
                           ? std::numbers::pi * r2 * recording.pitch *
                                 recording.pitch /
                                 (recording.wavelength * lighting.curvature)
                           : 0.0;
  return polar(amplitude, phase);
}

/// The reference wave on the sensor, with the beam's profile.
ComplexField referenceOf(const Recording& recording, double amplitude,
                         double beamRadius) {
  ComplexField wave = referenceWave(recording, amplitude);
  if (beamRadius > 0.0) {
    const int n = recording.size;
    const double middle = 0.5 * (n - 1);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        const double r2 =
            (r - middle) * (r - middle) + (c - middle) * (c - middle);
        const double g = std::exp(-r2 / (beamRadius * beamRadius));
        wave[r][c] = {wave[r][c].re * g, wave[r][c].im * g};
      }
    }
  }
  return wave;
}

/// The intensity without the object: the surround everywhere, and the
/// reference's carrier moved by the options' shift (sin(angle) changes by
/// shift * wavelength / (N pitch)).
RealField recordEmptyFrame(const SimulationOptions& options,
                           const Lighting& lighting,
                           double referenceAmplitude) {
  Recording recording = options.recording;
  const int n = recording.size;
  RealField surround(n);
  for (int r = 0; r < n; ++r) std::fill_n(surround[r], n, lighting.surround);
  const ComplexField empty =
      lighting.surround != 0.0
          ? objectWave(surround.rows(), nullptr, recording, lighting)
          : ComplexField(n);
  if (options.inLine) return expose(empty, ComplexField());
  if (options.carrierShift != 0.0) {
    recording.angle = std::asin(std::sin(recording.angle) +
                                options.carrierShift * recording.wavelength /
                                    (n * recording.pitch));
  }
  return expose(
      empty, referenceOf(recording, referenceAmplitude, lighting.beamRadius));
}

void widenRange(const RealField& picture, double& low, double& high) {
  const int n = picture.size();
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      low = std::min(low, picture[r][c]);
      high = std::max(high, picture[r][c]);
    }
  }
}

void appendValueList(std::string& xml, std::string_view element, double value) {
  xml += "  <";
  xml += element;
  xml += "><Single value=\"" + shortestText(value) + "\"/></";
  xml += element;
  xml += ">\n";
}

/// Text made safe inside a double-quoted XML attribute.
std::string escapeAttribute(std::string_view text) {
  std::string escaped;
  for (const char ch : text) {
    switch (ch) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += ch;
    }
  }
  return escaped;
}

}  // namespace

std::string recordingProblem(const Recording& recording) {
  // The bounds keep every product and quotient below finite and well away
  // from subnormal numbers, whatever unit the lengths are in.
  const auto length = [](double x) { return x >= 1e-100 && x <= 1e100; };
  const auto lengthProblem = [](const char* name) {
    return std::string("the ") + name +
           " must be a positive number from 1e-100 to 1e100";
  };
  if (recording.size < 16) return "the size must be at least 16 pixels";
  if (recording.size > kMaxSensorSize) {
    return "the size must be at most " + std::to_string(kMaxSensorSize) +
           " pixels";
  }
  if (!length(recording.wavelength)) return lengthProblem("wavelength");
  if (!length(recording.pitch)) return lengthProblem("pitch");
  if (!length(recording.distance)) return lengthProblem("distance");
  if (!std::isfinite(recording.angle)) return "the angle must be a number";
  // Beyond this the phases lose the precision that the fringes need.
  if (recording.distance / recording.wavelength > 1e12) {
    return "the distance must be at most 1e12 wavelengths";
  }
  if (recording.size * recording.pitch / recording.wavelength > 1e12) {
    return "the sensor (size times pitch) must be at most 1e12 wavelengths "
           "wide";
  }
  // Fringes finer than two pixels alias into coarser ones of another angle.
  const double limit = recording.wavelength / (2.0 * recording.pitch);
  if (std::abs(std::sin(recording.angle)) >= limit) {
    return "the angle is too steep for the pitch: |sin(angle)| must stay "
           "below wavelength / (2 pitch) = " +
           shortestText(limit);
  }
  return {};
}

RealField barsPattern(int n) {
  RealField mask(n);
  const int side = patternSide(n);
  const int first = (n - side) / 2;
  for (int r = first; r < first + side; ++r) {
    const double v = (r - first + 0.5) / side;
    for (int c = first; c < first + side; ++c) {
      const double u = (c - first + 0.5) / side;
      for (const Rectangle& box : kPattern) {
        if (u >= box.u0 && u < box.u1 && v >= box.v0 && v < box.v1) {
          mask[r][c] = 1.0;
        }
      }
    }
  }
  return mask;
}

void propagate(Complex* const* field, int m, double pitch, double wavelength,
               double distance) {
  fft2d(field, m, true);
  const double width = m * pitch;
  const double halfWidth = 0.5 * width;
  const double reach = std::abs(distance);
  const double phasePerCosine = kTwoPi * distance / wavelength;
  for (int r = 0; r < m; ++r) {
    // Direction sines of the plane wave in bin (r, c).
    const double sy = wavelength * signedFrequency(r, m) / width;
    for (int c = 0; c < m; ++c) {
      const double sx = wavelength * signedFrequency(c, m) / width;
      const double cz2 = 1.0 - sx * sx - sy * sy;
      // Along each axis the light moves sideways by |s| * |distance| / cz.
      const double cz = cz2 > 0.0 ? std::sqrt(cz2) : 0.0;
      if (cz == 0.0 || std::abs(sx) * reach > halfWidth * cz ||
          std::abs(sy) * reach > halfWidth * cz) {
        field[r][c] = {};
        continue;
      }
      field[r][c] = multiply(field[r][c], polar(1.0, phasePerCosine * cz));
    }
  }
  fft2d(field, m, false);
}

ComplexField sensorWave(const double* const* amplitude,
                        const double* const* phase,
                        const Recording& recording) {
  return objectWave(amplitude, phase, recording, {});
}

ComplexField objectWave(const double* const* amplitude,
                        const double* const* phase, const Recording& recording,
                        const Lighting& lighting) {
  const int n = recording.size;
  const int m = 2 * n;
  // The sensor is the centre of the grid: sensor (r, c) is grid (r + n/2, c
  // + n/2). Example, n = 4: the grid has 8 rows, the sensor rows 2 to 5.
  const int offset = n / 2;
  ComplexField grid(m);
  for (int r = 0; r < m; ++r) {
    for (int c = 0; c < m; ++c) {
      const int pr = r - offset, pc = c - offset;
      if (pr >= 0 && pr < n && pc >= 0 && pc < n) {
        const double p = phase ? phase[pr][pc] : 0.0;
        grid[r][c] = polar(amplitude[pr][pc], p);
      } else {
        grid[r][c] = {lighting.surround, 0.0};
      }
    }
  }
  if (lighting.beamRadius > 0.0 || lighting.curvature != 0.0) {
    const double middle = offset + 0.5 * (n - 1);  // the sensor's centre
    for (int r = 0; r < m; ++r) {
      for (int c = 0; c < m; ++c) {
        const double r2 =
            (r - middle) * (r - middle) + (c - middle) * (c - middle);
        grid[r][c] = multiply(grid[r][c], light(r2, lighting, recording));
      }
    }
  }
  propagate(grid.rows(), m, recording.pitch, recording.wavelength,
            recording.distance);
  ComplexField sensor(n);
  for (int r = 0; r < n; ++r) {
    std::copy_n(grid[r + offset] + offset, n, sensor[r]);
  }
  return sensor;
}

ComplexField referenceWave(const Recording& recording, double amplitude) {
  const int n = recording.size;
  const double q = kTwoPi / recording.wavelength * std::sin(recording.angle);
  ComplexField wave(n);
  for (int r = 0; r < n; ++r) {
    const double y = (r - 0.5 * (n - 1)) * recording.pitch;
    std::fill_n(wave[r], n, polar(amplitude, -q * y));
  }
  return wave;
}

RealField phaseBump(const double* const* amplitude, int n, double peak) {
  int top = -1, bottom = n, left = n, right = -1;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      if (amplitude[r][c] == 0.0) continue;
      bottom = std::min(bottom, r);
      top = std::max(top, r);
      left = std::min(left, c);
      right = std::max(right, c);
    }
  }
  RealField bump(n);
  if (top < 0) return bump;
  const double rowCentre = 0.5 * (bottom + top);
  const double columnCentre = 0.5 * (left + right);
  const double s = 0.25 * (std::max(top - bottom, right - left) + 1);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const double dr = r - rowCentre;
      const double dc = c - columnCentre;
      bump[r][c] = peak * std::exp(-(dr * dr + dc * dc) / (2.0 * s * s));
    }
  }
  return bump;
}

Holograms simulate(const double* const* amplitude,
                   const SimulationOptions& options) {
  return simulate(amplitude, nullptr, options);
}

PhaseObject phaseObject(const double* const* picture, int n, double scale) {
  PhaseObject object{RealField(n), RealField(n)};
  // Example: n = 8 gives the window rows and columns 2 to 5.
  const int side = n / 2;
  const int first = (n - side) / 2;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const bool inside =
          r >= first && r < first + side && c >= first && c < first + side;
      object.amplitude[r][c] = inside ? 1.0 : 0.0;
      object.phase[r][c] = scale * picture[r][c] / 255.0;
    }
  }
  return object;
}

Holograms simulate(const double* const* amplitude, const double* const* phase,
                   const SimulationOptions& options) {
  const Recording& recording = options.recording;
  const int n = recording.size;
  Random random(options.seed);
  RealField objectPhase(n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      const double diffuse = options.diffuse ? kTwoPi * random.uniform() : 0.0;
      objectPhase[r][c] = diffuse + (phase ? phase[r][c] : 0.0);
    }
  }

  Lighting lighting = options.lighting;
  if (options.inLine) lighting.surround = 1.0;
  const ComplexField object =
      objectWave(amplitude, objectPhase.rows(), recording, lighting);
  // A reference as strong as the brightest object light: fringes of full
  // contrast there, and the object's own interference term stays below the
  // cross terms everywhere. In line the light itself is the reference.
  const double referenceAmplitude =
      options.inLine ? 1.0 : peakMagnitude(object.rows(), n);
  ComplexField reference;
  if (!options.inLine) {
    reference = referenceOf(recording, referenceAmplitude, lighting.beamRadius);
  }
  Holograms pictures;
  pictures.first = expose(object, reference);

  if (options.deformed) {
    const RealField bump = phaseBump(amplitude, n, options.deform);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) objectPhase[r][c] -= bump[r][c];
    }
    pictures.second =
        expose(objectWave(amplitude, objectPhase.rows(), recording, lighting),
               reference);
  }
  if (options.background) {
    pictures.background =
        recordEmptyFrame(options, lighting, referenceAmplitude);
  }
  if (options.dark) pictures.dark = RealField(n);

  GreyScale grey;
  if (options.camera) {
    grey.offset = options.camera->offset;
    grey.scale =
        options.camera->gain / (referenceAmplitude * referenceAmplitude);
  } else {
    double low = pictures.first[0][0];
    double high = low;
    for (const RealField* lit :
         {&pictures.first, &pictures.second, &pictures.background}) {
      if (*lit) widenRange(*lit, low, high);
    }
    grey.low = low;
    grey.scale = high > low ? 255.0 / (high - low) : 0.0;
  }
  for (RealField* picture : {&pictures.first, &pictures.second,
                             &pictures.background, &pictures.dark}) {
    if (*picture) toGreyLevels(*picture, grey, options.noise, random);
  }
  return pictures;
}

ZSweep zSweepAround(double z) {
  // An eighth is exact in binary, so min + 2 * step lands on z once min is
  // nudged to the value that makes the sum round to z.
  ZSweep sweep;
  sweep.step = z / 8.0;
  sweep.min = z - 2.0 * sweep.step;
  for (int tries = 0; tries < 8 && sweep.min + 2.0 * sweep.step != z; ++tries) {
    sweep.min = std::nextafter(
        sweep.min, sweep.min + 2.0 * sweep.step < z ? INFINITY : -INFINITY);
  }
  sweep.max = sweep.min + 4.0 * sweep.step;
  return sweep;
}

std::string experimentXml(const ExperimentDescription& description) {
  const Recording& recording = description.recording;
  const ZSweep sweep = zSweepAround(recording.distance);
  std::string xml = "<?xml version=\"1.0\"?>\n";
  xml += "<Experiment type=\"";
  xml += description.dhi ? "DHI" : "Reconstruction";
  xml += "\" method=\"";
  xml += description.method;
  xml += "\">\n";
  xml += "  <Hologram value=\"" + escapeAttribute(description.hologram) + "\"";
  if (description.dhi) {
    xml += " value2=\"" + escapeAttribute(description.hologram2) + "\"";
  }
  xml += " preferredSize=\"0\" clipType=\"Center\"";
  if (description.inLine) xml += " dc=\"Mean\"";
  xml += "/>\n";
  const bool measured = !description.inLine && !description.background.empty();
  appendValueList(xml, "Wavelength", recording.wavelength);
  // The centred sideband leaves no carrier for a reference wave to remove.
  appendValueList(xml, "Angle", measured ? 0.0 : recording.angle);
  xml += "  <ZDistance><Range minVal=\"" + shortestText(sweep.min) +
         "\" maxVal=\"" + shortestText(sweep.max) + "\" step=\"" +
         shortestText(sweep.step) + "\"/></ZDistance>\n";
  appendValueList(xml, "CcdPixelDistance", recording.pitch);
  xml += "  <Output normalize=\"true\" brightness=\"1\"/>\n";
  if (!description.background.empty()) {
    if (measured) xml += "  <Filter type=\"Sideband\" center=\"true\"/>\n";
    xml += "  <Background value=\"" + escapeAttribute(description.background) +
           "\"";
    if (description.inLine && !description.dark.empty()) {
      xml += " dark=\"" + escapeAttribute(description.dark) + "\"";
    }
    xml += measured ? " mode=\"Field\"/>\n" : " mode=\"Divide\"/>\n";
  }
  if (measured) {
    xml += "  <Data phase=\"true\" unwrap=\"true\"/>\n";
    xml += std::string("  <Compensation tilt=\"true\" curvature=\"") +
           (description.curvature ? "true" : "false") + "\"/>\n";
  }
  xml += "</Experiment>\n";
  return xml;
}
