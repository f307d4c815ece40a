#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"
#include "listener.h"
#include "prepare.h"
#include "sideband.h"
#include "sources.h"

class RunStacks;
class SpectrumCache;

/// One frame's holograms, prepared for every set (the empty frame's
/// correction applied, the zero order taken away, the sideband filter
/// applied), or why they could not be: its sets then report that.
struct PreparedFrame {
  int position = 0;  ///< among the series' frames, from 0
  numerics::PreparedHologram first;
  /// Interferometry only; shared by every frame when the second hologram
  /// is one picture for a whole series.
  std::shared_ptr<const numerics::PreparedHologram> second;
  std::string problem;
};

/// What a run reads once and every frame shares: where the pictures come
/// from, the window's edge and where it lies on the picture, the empty and
/// dark frames, the sideband filter found on the first frame, and the
/// files of single pictures exactly as they were read.
struct RunInputs {
  PictureSource hologram;
  std::optional<PictureSource> hologram2;   ///< interferometry only
  std::optional<PictureSource> background;  ///< <Background value>
  std::optional<PictureSource> dark;        ///< <Background dark>
  int n = 0;
  /// <Filter crop>: the edge M of the grid around the sideband that the
  /// sets are reconstructed on; 0 without.
  int cropped = 0;
  PictureExtent extent;
  /// The picture that set the window, for messages ("the hologram h.png").
  std::string windowFrom;
  /// Whether the first frame's console lines were said.
  bool noted = false;
  /// Divide and Subtract: the empty frame (the mean of its frames) and the
  /// dark frame, in the window's samples.
  numerics::RealField empty;
  numerics::RealField darkSamples;
  /// Field: each frame of the empty frame, prepared and filtered like the
  /// holograms (the dark frame subtracted first).
  std::vector<numerics::PreparedHologram> emptyFrames;
  std::optional<numerics::Sideband> sideband;
  /// A second hologram that is one picture for a whole series: prepared
  /// once.
  std::shared_ptr<const numerics::PreparedHologram> fixedSecond;
  /// Single pictures as read, for the archive: role, path and bytes.
  struct Read {
    std::string role;
    std::string path;
    std::string bytes;
  };
  std::vector<Read> read;

  /// The edge of the grid the sets are reconstructed on: n, or M cropped.
  int gridEdge() const { return cropped > 0 ? cropped : n; }
  /// set as that grid samples it: cropped, the pitch n / M times the
  /// camera's over the same width, and no reference wave's angle, as the
  /// carrier is gone.
  ParameterSet gridSet(const ParameterSet& set) const {
    if (cropped == 0) return set;
    ParameterSet grid = set;
    grid.ccdPixelDistance =
        set.ccdPixelDistance * (static_cast<double>(n) / cropped);
    grid.angle = 0.0;
    return grid;
  }
};

/// The field of the empty frame reconstructed with each set (the mean over
/// its frames), made when a set first needs it and kept for the others:
/// it does not depend on the hologram, so a series needs it once per set.
class EmptyFields {
 public:
  /// Room for sets sets.
  void resize(std::size_t sets) { entries_ = std::vector<Entry>(sets); }
  /// The field for set, made by make the first time.
  template <typename Make>
  const numerics::ComplexField& get(std::size_t set, Make make) {
    Entry& entry = entries_[set];
    std::call_once(entry.once, [&] { entry.field = make(); });
    return entry.field;
  }

 private:
  struct Entry {
    std::once_flag once;
    numerics::ComplexField field;
  };
  std::vector<Entry> entries_;
};

/// What one run shares from its first step to its last, handed from the
/// sweep down to the writers: the experiment, where reports go, how the
/// run was asked to go about it, the run directory, the inputs read once,
/// and what the sets make that others reuse. Index i of the sweep is
/// parameter set i mod P of frame i / P (P the experiment's sets; a run
/// without a series has one frame).
struct RunContext {
  RunContext(const Experiment& experiment_,
             Vantor::IExperimentListener& listener_, const RunOptions& options_,
             std::string experimentPath_, std::string directory_)
      : experiment(experiment_),
        listener(listener_),
        options(options_),
        experimentPath(std::move(experimentPath_)),
        directory(std::move(directory_)) {}

  const Experiment& experiment;
  Vantor::IExperimentListener& listener;
  const RunOptions& options;
  std::string experimentPath;
  std::string directory;
  RunInputs inputs;
  mutable EmptyFields emptyFields;
  /// The stacks of <Data stack="true">; null without.
  RunStacks* stacks = nullptr;
  /// The spectra the sets share; null for Fresnel.
  SpectrumCache* spectra = nullptr;
  /// The first index the run reconstructs, whose step says what is said
  /// once per run.
  std::size_t firstIndex = 0;
  /// The options turned out not to fit the experiment (a usage error).
  bool refused = false;

  /// The experiment's parameter sets, P.
  std::size_t setsPerFrame() const { return experiment.parameterSets.size(); }
  /// Frames of the run: the series' frames, or 1.
  std::size_t frames() const {
    return static_cast<std::size_t>(inputs.hologram.frames());
  }
  /// Every index of the sweep: frames times sets.
  std::size_t indices() const { return frames() * setsPerFrame(); }
  /// The parameter set of index.
  const ParameterSet& setOf(std::size_t index) const {
    return experiment.parameterSets[index % setsPerFrame()];
  }
  /// The frame position of index.
  int frameOf(std::size_t index) const {
    return static_cast<int>(index / setsPerFrame());
  }
};
