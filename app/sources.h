#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "experiment.h"
#include "field.h"
#include "images.h"

// Where a run's pictures come from: one picture, read whole and archived as
// read (the design's run), or a series of frames, the pages of one
// multi-page TIFF or numbered files (cells_*.tif), listed with the
// fingerprint of every frame before the first step and read one frame at a
// time as the run goes, each frame checked against its listing.

/// A picture as loaded: its window's samples, where they lie on the
/// picture, and (for a single picture) the file's bytes as decoded.
struct LoadedPicture {
  numerics::RealField samples;
  int n = 0;
  PictureExtent extent;
  std::string bytes;
};

/// One frame of a series as listed.
struct ListedFrame {
  int number = 0;    ///< in the series, from 1
  std::string file;  ///< the file the frame is in
  int page = 0;      ///< its page in that file, from 0
  std::uint64_t fileBytes = 0;
  std::string sha256;   ///< of its pixels as decoded; empty when unreadable
  std::string problem;  ///< why it could not be read at listing
};

/// One picture input: the hologram, the second hologram, the empty frame
/// or the dark frame.
class PictureSource {
 public:
  /// A single picture at path, read whole when loaded.
  static PictureSource single(const std::string& role, const std::string& path);

  /// The series at path (a multi-page TIFF, or a pattern with one "*"
  /// standing for one or more digits), its frames as selection picks them
  /// (every frame without one), each decoded once to take its fingerprint.
  /// Nothing, with the reason (naming the file or pattern) in problem, when
  /// it cannot be listed; a frame that cannot be read is listed with its
  /// problem, which its sets then report.
  static std::optional<PictureSource> series(
      const std::string& role, const std::string& path,
      const std::optional<FrameSelection>& selection, int preferredSize,
      std::string& problem);

  const std::string& role() const { return role_; }
  const std::string& path() const { return path_; }
  bool isSeries() const { return series_; }
  /// 1 for a single picture.
  int frames() const { return series_ ? static_cast<int>(listed_.size()) : 1; }
  const std::vector<ListedFrame>& listed() const { return listed_; }

  /// "frame 3 (cells_0003.tif)", "frame 3 (page 3 of cells.tif)": how
  /// messages name frame k (from 0) of a series.
  std::string frameName(int k) const;

  /// Loads frame k (0 for a single picture) in experiment's window; false,
  /// with the reason written to stream, when it cannot be read or no longer
  /// holds what it held when listed.
  bool load(int k, const Experiment& experiment, LoadedPicture& picture,
            std::ostream& stream, const FitsInMemory& fits) const;

 private:
  std::string role_;
  std::string path_;
  bool series_ = false;
  std::vector<ListedFrame> listed_;
};

/// The lines of params/frames.csv for the series among sources: input,
/// frame, file, page, bytes, sha256; empty when none is a series.
std::string framesCsv(const std::vector<const PictureSource*>& sources);
