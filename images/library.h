#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

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
/// which FreeImage's message hook does not reach. The program is
/// single-threaded, so nothing of ours is lost while it is silenced.
class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
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

/// True for the pixel kinds readSamples understands: 1-, 4- and 8-bit
/// palette, 16-, 24- and 32-bit colour, 16-bit grey, 16-bit-per-channel
/// colour and floating-point grey or colour.
bool canSample(FIBITMAP* picture);
