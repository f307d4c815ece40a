#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "options.h"
#include "results.h"

namespace Vantor {
class IExperimentListener;
}

/// Plain reconstruction, or interferometry of two holograms.
enum class ExperimentType : std::int32_t { Reconstruction = 0, DHI = 1 };
/// The numerical reconstruction to use.
enum class ReconstructionMethod : std::int32_t {
  Fresnel = 0,
  Convolution = 1,
  AngularSpectrum = 2,
};
/// Horizontal placement of the window cut from a hologram picture.
enum class ClipType : std::int32_t { Left = 0, Center = 1, Right = 2 };

/// One combination of optical parameters, lengths in the file's own unit.
struct ParameterSet {
  double wavelength = 0.0;
  double angle = 0.0;  // radians
  double zDistance = 0.0;
  double ccdPixelDistance = 0.0;
};

/// How result pictures map values to grey levels.
struct OutputOptions {
  bool normalize = true;
  double brightness = 1.0;
  /// Percent of the samples that normalize saturates, half at each end,
  /// so that a few bright speckles or the undiffracted light do not leave
  /// the object dark; 0 maps the minimum to the maximum.
  double saturate = 0.0;
};

/// Most parameter sets one experiment may sweep; a larger product of list
/// lengths fails the load instead of exhausting memory.
inline constexpr std::size_t kMaxParameterSets = 1'000'000;

/// How a run goes about its sweep; the defaults are the design's run.
struct RunOptions {
  /// Sets reconstructed at once; 0 means one per core the process may use.
  int threads = 1;
  /// Only this part of the sweep, when given.
  std::optional<Shard> shard;
  /// The run directory; empty for one named after the start time.
  std::string outputDirectory;
};

/// How a run ended, for the program's exit status.
enum class RunEnd {
  finished,     ///< every set done, nothing reported as failed
  failed,       ///< something was reported through onError
  refused,      ///< the options do not fit the experiment (a usage error)
  interrupted,  ///< stopped by SIGINT or SIGTERM before its end
};

/// The description of one experiment, and the object the run operates on.
class Experiment {
 public:
  ExperimentType type = ExperimentType::Reconstruction;
  ReconstructionMethod method = ReconstructionMethod::Fresnel;
  std::string hologramPath;
  std::string hologramPath2;
  ClipType clipType = ClipType::Center;
  std::int32_t preferredSize = 0;
  /// How the zero order is suppressed (<Hologram dc>).
  ZeroOrderMode zeroOrder = ZeroOrderMode::LocalMean;
  /// The frames of a series (<Hologram frames>); a single picture without.
  std::optional<FrameSelection> frames;
  std::vector<ParameterSet> parameterSets;
  /// How many values each list of the sweep has: wavelength, angle, z
  /// distance, pixel pitch.
  std::array<std::size_t, 4> valueCounts{};
  OutputOptions output;
  /// The optional elements; their defaults add nothing to a run.
  DataOptions data;
  FilterOptions filter;
  FocusOptions focus;
  BackgroundOptions background;
  CompensationOptions compensation;
  /// Why the last `load` failed, for the user; empty after a success.
  std::string loadError;
  /// What the last `load` read but the user should look at (a method text
  /// it does not know, say), one line each.
  std::vector<std::string> loadWarnings;
  /// The experiment file exactly as `load` read it, for the archive.
  std::string fileBytes;

  /// Reads the experiment file at path; false when it is not usable, with
  /// the reason in loadError. Reports nothing itself.
  bool load(const std::string& path);

  /// Writes results.xml: run times and the table of parameter sets, for a
  /// series every set of every frame (index i is set i mod P of frame
  /// frameRecords[i / P], which it names). Returns why the file could not be
  /// written whole, empty on success.
  std::string saveResults(
      const std::string& path, double fullTime, double averageTime,
      const std::vector<FrameRecord>& frameRecords = {}) const;

  /// Writes the results file of one shard: its own sets only, under their
  /// indices in the whole sweep, with the shard and the identity of the
  /// sweep's inputs on the root element.
  std::string saveShardResults(
      const std::string& path, double fullTime, double averageTime,
      const Shard& shard, const ShardIdentity& identity,
      const std::vector<FrameRecord>& frameRecords = {}) const;

  /// Runs the whole experiment described by the file at path, reporting to
  /// listener (nothing when it is null).
  RunEnd run(const std::string& path, Vantor::IExperimentListener* listener,
             const RunOptions& options = {});
};
