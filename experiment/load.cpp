#include <cstdint>
#include <new>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "experiment.h"
#include "files.h"
#include "names.h"
#include "numbers.h"
#include "option_elements.h"
#include "sweep.h"

namespace {

// Reads one experiment file into an Experiment, step by step in the order
// the file's meaning depends on; each step stores what it has read before
// the next one may fail, and a failure records its reason and stops.
class Loader {
 public:
  Loader(Experiment& experiment, const std::string& path)
      : experiment_(experiment), path_(path) {}

  bool load() {
    return readDocument() && readRoot() && readHologram() && readSweep() &&
           readOutput() && readOptionalElements();
  }

 private:
  bool fail(const std::string& reason) {
    experiment_.loadError = path_ + ": " + reason;
    return false;
  }

  bool failMissing(const pugi::xml_node& element, const char* attribute) {
    return fail(std::string("<") + element.name() + "> has no attribute \"" +
                attribute + "\"");
  }

  /// A value that is not entirely a number: names the element, the
  /// attribute and the text.
  bool failNumber(const pugi::xml_node& element,
                  const pugi::xml_attribute& attribute, const char* kind) {
    return fail(std::string("<") + element.name() + " " + attribute.name() +
                "=\"" + attribute.value() + "\">: not " + kind +
                notANumberHint(attribute.value()));
  }

  bool readDocument() {
    // Read whole by us: a FIFO or a device is refused instead of blocking,
    // and the run archives exactly the bytes it read.
    const std::string problem = readWholeFile(path_, experiment_.fileBytes);
    if (!problem.empty()) return fail(problem);
    // Default options: DTDs are skipped and only the predefined entities
    // expanded, so entity bombs stay harmless text.
    const pugi::xml_parse_result result = document_.load_buffer(
        experiment_.fileBytes.data(), experiment_.fileBytes.size());
    switch (result.status) {
      case pugi::status_ok:
        return true;
      case pugi::status_out_of_memory:
        return fail("not enough memory to read the file");
      default:
        return fail("XML parse error at offset " +
                    std::to_string(result.offset) + ": " +
                    result.description());
    }
  }

  bool readRoot() {
    root_ = document_.child("Experiment");
    if (!root_) return fail("no <Experiment> element");
    const pugi::xml_attribute type = root_.attribute("type");
    if (!type) return failMissing(root_, "type");
    const pugi::xml_attribute method = root_.attribute("method");
    if (!method) return failMissing(root_, "method");
    readNamed(root_, type, ExperimentType::Reconstruction, experiment_.type);
    readNamed(root_, method, ReconstructionMethod::Fresnel, experiment_.method);
    return true;
  }

  /// The value attribute names. Any other text runs fallback, as files
  /// written for the first versions rely on, with a warning: a misspelt
  /// name would otherwise run other physics without a word.
  template <typename Enum>
  void readNamed(const pugi::xml_node& element,
                 const pugi::xml_attribute& attribute, Enum fallback,
                 Enum& value) {
    const std::optional<Enum> named = valueNamed<Enum>(attribute.value());
    value = named ? *named : fallback;
    if (named) return;
    experiment_.loadWarnings.push_back(
        path_ + ": <" + element.name() + " " + attribute.name() + "=\"" +
        attribute.value() + "\"> is not " + validNames<Enum>() + "; running " +
        nameOf(fallback));
  }

  bool readHologram() {
    const pugi::xml_node hologram = root_.child("Hologram");
    if (!hologram) return fail("no <Hologram> element");
    const pugi::xml_attribute value = hologram.attribute("value");
    if (!value) return failMissing(hologram, "value");
    if (experiment_.type == ExperimentType::DHI) {
      const pugi::xml_attribute value2 = hologram.attribute("value2");
      if (!value2) return failMissing(hologram, "value2");
      experiment_.hologramPath2 = value2.value();
    }
    const pugi::xml_attribute preferredSize =
        hologram.attribute("preferredSize");
    if (!preferredSize) return failMissing(hologram, "preferredSize");
    const pugi::xml_attribute clipType = hologram.attribute("clipType");
    if (!clipType) return failMissing(hologram, "clipType");
    experiment_.hologramPath = value.value();
    readNamed(hologram, clipType, ClipType::Center, experiment_.clipType);
    std::string problem = readZeroOrder(hologram, experiment_.zeroOrder);
    if (!problem.empty()) return fail(problem);
    if (const pugi::xml_attribute frames = hologram.attribute("frames")) {
      experiment_.frames = parseFrames(frames.value(), problem);
      if (!experiment_.frames) {
        return fail("<Hologram frames=\"" + std::string(frames.value()) +
                    "\">: " + problem);
      }
    }
    const std::optional<std::int32_t> size = readInteger(preferredSize.value());
    if (!size) return failNumber(hologram, preferredSize, "a whole number");
    experiment_.preferredSize = *size;
    return true;
  }

  bool readSweep() {
    static constexpr const char* kElements[] = {
        "Wavelength", "Angle", "ZDistance", "CcdPixelDistance"};
    ValueLists lists;
    std::array<std::size_t, 4> lengths{};
    for (std::size_t i = 0; i < lists.size(); ++i) {
      const pugi::xml_node element = root_.child(kElements[i]);
      if (!element)
        return fail(std::string("no <") + kElements[i] + "> element");
      std::string problem;
      lists[i] = readValueList(element, problem);
      if (lists[i].empty()) return fail(problem);
      lengths[i] = lists[i].size();
    }
    experiment_.valueCounts = lengths;
    if (!sweepSize(lengths)) return fail(tooLargeSweep(lengths));
    buildSweep(lists, experiment_.parameterSets);
    return true;
  }

  static std::string tooLargeSweep(const std::array<std::size_t, 4>& lengths) {
    std::uint64_t product = 1;
    bool overflow = false;
    std::string factors;
    for (const std::size_t length : lengths) {
      overflow = overflow || __builtin_mul_overflow(product, length, &product);
      factors += (factors.empty() ? "" : " x ") + std::to_string(length);
    }
    return "the sweep has " + (overflow ? factors : std::to_string(product)) +
           " parameter sets, more than " + std::to_string(kMaxParameterSets);
  }

  bool readOutput() {
    const pugi::xml_node output = root_.child("Output");
    if (!output) return fail("no <Output> element");
    const pugi::xml_attribute normalize = output.attribute("normalize");
    if (!normalize) return failMissing(output, "normalize");
    const pugi::xml_attribute brightness = output.attribute("brightness");
    if (!brightness) return failMissing(output, "brightness");
    experiment_.output.normalize = readBoolean(normalize.value());
    const std::optional<double> factor = readReal(brightness.value());
    if (!factor) return failNumber(output, brightness, "a number");
    experiment_.output.brightness = *factor;
    if (const pugi::xml_attribute saturate = output.attribute("saturate")) {
      const std::optional<double> percent = readReal(saturate.value());
      if (!percent) return failNumber(output, saturate, "a number");
      if (!(*percent >= 0.0 && *percent < 100.0)) {
        return fail("<Output saturate=\"" + std::string(saturate.value()) +
                    "\">: the percentage saturated must be from 0 to below "
                    "100");
      }
      experiment_.output.saturate = *percent;
    }
    return true;
  }

  bool readOptionalElements() {
    bool modeGiven = false;
    std::string problem = readDataElement(root_, experiment_.data);
    if (problem.empty()) problem = readFilterElement(root_, experiment_.filter);
    if (problem.empty()) problem = readFocusElement(root_, experiment_.focus);
    if (problem.empty()) {
      problem = readBackgroundElement(root_, experiment_.background, modeGiven);
    }
    if (problem.empty()) {
      problem = readCompensationElement(root_, experiment_.compensation);
    }
    if (problem.empty()) problem = combinationProblem(modeGiven);
    if (problem.empty()) problem = regionsProblem();
    return problem.empty() || fail(problem);
  }

  /// Why the optional elements do not go together, empty when they do.
  std::string combinationProblem(bool backgroundModeGiven) const {
    const Experiment& e = experiment_;
    // The Fresnel picture carries 1 / (wavelength z) and its field of view
    // grows with z: figures over the whole picture drift with z whatever
    // the focus.
    if (e.focus.enabled && !e.focus.region &&
        e.method == ReconstructionMethod::Fresnel) {
      return "<Focus> needs a region with the Fresnel method, whose field of "
             "view grows with z";
    }
    const bool field =
        e.background.enabled && e.background.mode == BackgroundMode::Field;
    // An off-axis empty frame carries the hologram's fringes: dividing by
    // their minima is not what anyone means by a flat field.
    if (e.background.enabled && e.filter.enabled && !backgroundModeGiven) {
      return "<Background> needs a mode with <Filter>: Divide, Subtract or "
             "Field (Field for an off-axis empty frame)";
    }
    if (field && e.type == ExperimentType::DHI) {
      return "<Background mode=\"Field\"> does not apply to DHI, whose "
             "interference phase is relative already";
    }
    if (e.data.relativeAmplitude && !field) {
      return "<Data relativeAmplitude=\"true\"> needs <Background "
             "mode=\"Field\">, the field it is relative to";
    }
    // ImageJ orders a hyperstack's pages by z and time only.
    const std::array<std::size_t, 4>& counts = e.valueCounts;
    if (e.data.stack && (counts[0] > 1 || counts[1] > 1 || counts[3] > 1)) {
      return "<Data stack=\"true\">: a stack holds z distances and frames "
             "only, so the wavelength, the angle and the pixel pitch must "
             "each have one value";
    }
    return {};
  }

  /// Why a region reaches past the window that preferredSize gives (a
  /// picture's own size is checked once it is read).
  std::string regionsProblem() const {
    const Experiment& e = experiment_;
    if (e.preferredSize <= 0) return {};
    if (e.focus.region) {
      std::string problem =
          regionOutside(*e.focus.region, e.preferredSize, "Focus");
      if (!problem.empty()) return problem;
    }
    if (e.compensation.region) {
      return regionOutside(*e.compensation.region, e.preferredSize,
                           "Compensation");
    }
    return {};
  }

  Experiment& experiment_;
  const std::string& path_;
  pugi::xml_document document_;
  pugi::xml_node root_;
};

}  // namespace

bool Experiment::load(const std::string& path) {
  // A load starts from the defaults: nothing of an earlier file may stay.
  *this = Experiment();
  try {
    return Loader(*this, path).load();
  } catch (const std::bad_alloc&) {
    // The value lists and the sweep are bounded, but a machine short of
    // memory may still refuse them; that is a failed load, not a crash.
    loadError = path + ": not enough memory to load it";
    return false;
  }
}
