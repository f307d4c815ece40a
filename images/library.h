#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "header.h"
#include "images.h"

// The one place that talks to FreeImage's global state: its message hook,
// the codecs' habit of printing to stderr, and bitmap ownership.

/// Routes FreeImage's messages into lastLibraryMessage() instead of the
/// console, and forgets the previous message. Call before every library
/// call whose messages may matter.
void startLibraryMessages();

/// The last message FreeImage gave since startLibraryMessages(); empty when
/// it said nothing.
const std::string& lastLibraryMessage();

/// Points file descriptor 2 at /dev/null for its lifetime and puts the
/// original back on every path. libtiff prints its warnings ("unknown tag"
/// on ordinary camera TIFFs) straight to stderr through its own handlers,
/// which FreeImage's message hook does not reach. It holds
/// standardErrorLock() meanwhile, so that a line another thread writes to
/// stderr (the console's errors, while a series' next frame is decoded)
/// waits instead of going to /dev/null.
class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  int saved_ = -1;
};

/// Unloads a FreeImage bitmap.
struct PictureUnloader {
  void operator()(FIBITMAP* picture) const { FreeImage_Unload(picture); }
};

/// A bitmap owned for the length of one image call.
using Picture = std::unique_ptr<FIBITMAP, PictureUnloader>;

/// Writes a failed load to stream: the fixed text on its own line, then the
/// library's explanation, when it gave one, as a "Detail: " line.
void reportLoadFailure(std::ostream& stream);

/// Largest decoded picture, in bytes, that is read at all: 1 GiB holds a
/// 16-bit colour picture of 170 million pixels, beyond any camera's.
inline constexpr std::uint64_t kMaxPictureBytes = std::uint64_t{1} << 30;

/// Closes a FreeImage memory stream.
struct MemoryCloser {
  void operator()(FIMEMORY* memory) const { FreeImage_CloseMemory(memory); }
};

/// A FreeImage memory stream owned for the length of one image call.
using MemoryStream = std::unique_ptr<FIMEMORY, MemoryCloser>;

/// A read-only FreeImage stream over bytes, which must outlive it.
MemoryStream openMemory(std::string_view bytes);

/// Decodes the picture file, format by content and then by the extension
/// of its name; null, with the failure written to stream, when it cannot be
/// decoded or its pixels are of a kind that cannot be sampled.
Picture openPicture(const PictureFile& file, std::ostream& stream);

/// The format the extension of path names, for a file whose content FreeImage
/// does not recognise. Only the extension is handed over, never the path:
/// FreeImage formats paths into fixed-size message buffers.
FREE_IMAGE_FORMAT formatByExtension(const std::string& path);

/// Loads one picture of a known format from the start of its file with
/// FreeImage's load flags: 0 for the picture, FIF_LOAD_NOPIXELS for its
/// header alone.
using PictureLoader = std::function<FIBITMAP*(int flags)>;

/// What the size a picture claims is, before its pixels are decoded; empty
/// when it cannot be told.
using SizeClaim = std::function<std::optional<ClaimedSize>()>;

/// openPicture once the format is known, for any source: refuses a picture
/// whose claimed size cannot be held, decodes it with libtiff's warnings
/// kept off the console, and refuses pixels of a kind that cannot be
/// sampled; null, with the failure written to stream, when it fails. Call
/// startLibraryMessages() first.
Picture decodePicture(FREE_IMAGE_FORMAT format, const SizeClaim& claimed,
                      const PictureLoader& load, std::ostream& stream);

/// True for the pixel kinds readSamples understands: 1-, 4- and 8-bit
/// palette, 16-, 24- and 32-bit colour, 16-bit grey, 16-bit-per-channel
/// colour and floating-point grey or colour.
bool canSample(FIBITMAP* picture);

/// The extent (see PictureExtent) of the n x n window whose bottom-left
/// corner is pixel (x0, y0) of a width x height picture: row r of the field
/// is line y0 + r and column c is pixel x0 + c, so the columns on the
/// picture are c = max(0, -x0) .. min(n, width - x0) - 1. Example: width
/// 200, n 256, x0 -56 gives columns 56 .. 255 (x = 0 .. 199); width 640,
/// n 256, x0 384 gives columns 0 .. 255 (x = 384 .. 639).
PictureExtent extentOf(int width, int height, int n, int x0, int y0);

/// Why a width x height picture gives no window for preferredSize (see
/// loadWindow), as the loaders say it; null when it gives one.
const char* windowRefusal(int width, int height, int preferredSize);

/// Samples the picture as a loading mode does: preferredSize 0 for the
/// whole picture, which must be square, N > 0 for the N x N window centred
/// vertically and placed by clipType. size is set to the edge before the
/// samples are read (the run reports it even when sampling fails); samples
/// and extent only on success.
bool loadWindow(FIBITMAP* picture, int preferredSize, ClipType clipType,
                numerics::RealField& samples, int& size, std::ostream& stream,
                const FitsInMemory& fits, PictureExtent* extent);
