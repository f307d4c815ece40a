#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tiff_writer.h"

// A whole run's values of one quantity as one multi-page 32-bit float TIFF
// that ImageJ and Fiji open as a hyperstack: n x n pages, z changing
// fastest, then the frame, as ImageJ orders them. ImageJ 1.53t reads the
// first page's description and then takes `images=` pages of pixels as one
// contiguous block after the first page's, ignoring every other page's
// directory; so the file is laid out as
//
//   header | page 0's directory, resolution, description, slice labels |
//   the other pages' directories | the pixels of page 0, 1, 2, ...
//
// every directory written when the file is started (the page count is
// known then), the pixels appended as the pages come, uncompressed, little
// endian like the per-set TIFFs. Other TIFF readers follow the directory
// chain as usual and find the same pages. The first page's description:
//
//   ImageJ=1.53t
//   images=60
//   slices=20
//   frames=3
//   hyperstack=true
//   spacing=0.0005
//   loop=false
//   unit=m
//   vunit=rad
//   quantity=phase
//   ...
//
// and its ImageJ metadata tags (50838 and 50839) hold a slice label for
// every page: "set 12, z 0.155, frame 3", ", failed" added for a set that
// wrote nothing. A stack is written under a temporary name (phase.tif.partial)
// and renamed into place when it is closed. ImageJ 1.53t opens no BigTIFF,
// so a stack that would pass 4 GiB is split at frame boundaries into
// complete hyperstacks phase.tif, phase_2.tif, ..., each with its own
// description and labels.

/// How a stack's pages are arranged: n x n samples each, slices z values in
/// every frame. Page p is slice p mod slices of frame p / slices.
struct StackShape {
  int n = 0;
  int slices = 1;
  int frames = 1;
};

/// What a stack says about its values besides the values.
struct StackRecord {
  /// As for a per-set TIFF; the pitch is the pitch all pages share, 0 when
  /// they share none (no resolution tags then).
  FloatTiffRecord tiff;
  /// Why the pages share no pitch, when tiff.pitch is 0: the description
  /// says "resolution=none (" + this + ")". Empty: nothing is said.
  std::string noCommonPitch;
  /// The step between the slices' z values, when it is uniform; 0 or NaN
  /// when not, and no spacing line is written.
  double spacing = 0.0;
};

/// Where a page comes from, for its slice label.
struct StackPage {
  std::int64_t set = 0;
  double z = 0.0;
  int frame = 0;
};

/// Largest file a stack is allowed to become: the offsets of a classic
/// TIFF, the only kind ImageJ 1.53t opens, count in 32 bits.
inline constexpr std::uint64_t kMaxStackFileBytes = std::uint64_t{1} << 32;

/// Writes one quantity's stack page by page. Every function returns why it
/// could not, empty on success: the system's reason ("No space left on
/// device"), or why the request cannot be a stack; only memory is an
/// exception (std::bad_alloc). After a failure the stack takes no more
/// pages (later appends return nothing) and close() keeps the whole frames
/// written before it. Move-only; a writer destroyed unclosed closes as
/// close() does, its reason lost.
class StackWriter {
 public:
  StackWriter();
  StackWriter(StackWriter&& other) noexcept;
  StackWriter& operator=(StackWriter&& other) noexcept;
  StackWriter(const StackWriter&) = delete;
  StackWriter& operator=(const StackWriter&) = delete;
  ~StackWriter();

  /// Starts the stack directory/name.tif (name_2.tif ... for the further
  /// parts when one file of at most maxFileBytes cannot hold it). Refused
  /// when a frame alone would not fit into one file, or the record cannot
  /// be described.
  std::string open(const std::string& directory, const std::string& name,
                   const StackShape& shape, const StackRecord& record,
                   std::uint64_t maxFileBytes = kMaxStackFileBytes);

  /// Appends the next page: the n x n values, values[n - 1] its top line,
  /// stored as encodeFloatTiff stores them.
  std::string append(const double* const* values, const StackPage& page);

  /// Appends the next page as one whose set failed: every value NaN, the
  /// label saying so, so that the pages after it keep their places.
  std::string appendFailed(const StackPage& page);

  /// Finishes the stack with the whole frames it holds, when the run ends or
  /// is interrupted: the description and labels then count only those, the
  /// last directory ends the chain, the file ends after their pixels, and it
  /// is renamed into place. Without a whole frame there is no file.
  std::string close();

 private:
  struct Part;
  std::string appendPage(const double* const* values, const StackPage& page,
                         bool failed);
  std::string startPart();
  std::string finishPart();
  void clear() noexcept;

  std::string base_;  // directory/name
  StackShape shape_;
  StackRecord record_;
  std::uint64_t maxFileBytes_ = 0;
  int framesPerPart_ = 0;
  std::int64_t appended_ = 0;   // pages given so far, over all parts
  int partNumber_ = 0;          // the part being written, from 1
  std::unique_ptr<Part> part_;  // the file being written, if any
  bool open_ = false;
  bool failed_ = false;
};
