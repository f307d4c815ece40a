#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "experiment.h"
#include "field.h"
#include "prepare.h"

// Hologram pictures in, result pictures out. A failed load writes its
// message to the given stream as one line, followed for an unreadable
// file by a "Detail: " line when the image library explained why; nothing
// reaches the console.

struct FIBITMAP;         // FreeImage's picture
struct PictureUnloader;  // its owner's deleter, in library.h

/// A picture file as read: where it came from (for messages, and for the
/// format when the content does not tell) and its bytes, which the run
/// archives exactly as they were decoded.
struct PictureFile {
  std::string path;
  std::string bytes;
};

/// Asked with the edge length before a hologram of n x n samples is
/// allocated; false refuses the load. An empty function allows everything.
using FitsInMemory = std::function<bool(int n)>;

/// The rectangle of a loaded field whose samples come from the picture, in
/// field coordinates: rows row .. row + rows - 1 and columns column ..
/// column + columns - 1, row 0 being the picture's bottom line as the loaders
/// fill the field. Outside it the loaders put zeros where the window reaches
/// past the picture. Example: a 640 x 480 picture in a centred 512 x 512
/// window lies on rows 16 .. 495 and every column; a 200 x 300 picture in a
/// 256 window placed Right lies on columns 56 .. 255 and every row.
struct PictureExtent {
  int row = 0, column = 0, rows = 0, columns = 0;
  /// The picture's own width and height, in pixels.
  int pictureWidth = 0, pictureHeight = 0;

  /// The rectangle as the numerics take it.
  numerics::Extent field() const { return {row, column, rows, columns}; }
};

/// Reads the picture file at path whole; false, with the failure written to
/// stream, when it is not a regular file, cannot be read, or is larger than
/// any picture this program decodes.
bool readPictureFile(const std::string& path, PictureFile& file,
                     std::ostream& stream);

/// Whole-picture mode: the picture must be square; size becomes its width.
/// extent, when given, receives where the picture lies: the whole field.
bool loadSquareImage(const PictureFile& file, numerics::RealField& samples,
                     int& size, std::ostream& stream,
                     const FitsInMemory& fits = {},
                     PictureExtent* extent = nullptr);

/// Clipped mode: an n x n window, centred vertically and placed horizontally
/// by clipType; samples outside the picture are zero. extent, when given,
/// receives the rectangle of the samples that are not.
bool loadClippedImage(const PictureFile& file, numerics::RealField& samples,
                      int n, ClipType clipType, std::ostream& stream,
                      const FitsInMemory& fits = {},
                      PictureExtent* extent = nullptr);

/// The central n x n pixels of the picture at path, zeros where it is
/// smaller, whatever its size (one pixel wide or high included): an object
/// to simulate, not a hologram.
bool loadObjectPicture(const std::string& path, numerics::RealField& samples,
                       int n, std::ostream& stream);

/// loadSquareImage of the file at path.
bool loadSquareImage(const std::string& path, numerics::RealField& samples,
                     int& size, std::ostream& stream,
                     PictureExtent* extent = nullptr);

/// loadClippedImage of the file at path.
bool loadClippedImage(const std::string& path, numerics::RealField& samples,
                      int n, ClipType clipType, std::ostream& stream,
                      PictureExtent* extent = nullptr);

/// One page of a picture file as loaded: the samples (size x size), where
/// they lie on the picture, and the page's fingerprint.
struct PictureFrame {
  numerics::RealField samples;
  int size = 0;
  PictureExtent extent;
  /// SHA-256, as 64 hexadecimal digits, of the page's pixels as decoded:
  /// their kind, width and height, palette and every line's pixel bytes.
  /// It tells whether a page still holds the picture it held when it was
  /// listed, whatever happened to the rest of the file, and does not depend
  /// on the window cut from it.
  std::string sha256;
};

/// A picture file read one page at a time: the pages of a TIFF, each
/// decoded on its own while the file stays on disk, so that a series of
/// thousands of frames needs the memory of one page; any other format is
/// one page, read whole when it is loaded. Page 0 of a file gives exactly
/// what loadSquareImage and loadClippedImage give for it. The file stays
/// open, so a reader keeps reading the file it listed even if its name is
/// given to another. Move-only. Reads of one reader, and reads of pictures
/// in general, must not run at the same time: FreeImage's messages and the
/// silencing of libtiff's warnings are process-wide.
class PageReader {
 public:
  PageReader() = default;
  PageReader(PageReader&& other) noexcept;
  PageReader& operator=(PageReader&& other) noexcept;
  PageReader(const PageReader&) = delete;
  PageReader& operator=(const PageReader&) = delete;
  ~PageReader();

  /// Opens the regular file at path and lists its pages; false, with the
  /// failure written to stream as the loaders write it, when it is not a
  /// regular file, cannot be read or holds more than kMaxParameterSets
  /// pages. A TIFF's pages are the directories its chain reaches; as in
  /// libtiff, the chain ends early at a link that leads outside the file
  /// or back to a page already listed.
  bool open(const std::string& path, std::ostream& stream);

  /// How many pages the file holds; 0 before a successful open.
  int pageCount() const;

  /// Loads page (0 .. pageCount() - 1) as the loaders load a file:
  /// preferredSize 0 for the whole picture, which must be square, N > 0 for
  /// an N x N window placed by clipType, with the same failures and texts.
  /// frame is replaced only on success.
  bool read(int page, int preferredSize, ClipType clipType, PictureFrame& frame,
            std::ostream& stream, const FitsInMemory& fits = {}) const;

  /// The fingerprint read() gives page, without sampling it: what a
  /// series' list needs of every frame before the run. False, with the
  /// failure written to stream, when the page cannot be decoded or gives
  /// no window for preferredSize.
  bool fingerprint(int page, int preferredSize, std::string& sha256,
                   std::ostream& stream) const;

 private:
  /// Lists the directories when the file is a TIFF; why it cannot be read
  /// otherwise, empty when it can.
  std::string listTiffPages();
  /// Decodes page, null with the failure written to stream.
  std::unique_ptr<FIBITMAP, PictureUnloader> decode(int page,
                                                    std::ostream& stream) const;

  int fd_ = -1;
  std::string path_;
  std::uint64_t fileBytes_ = 0;
  /// Where the header keeps the first page's directory offset (4 or 8
  /// bytes from pointerAt_), and each page's directory offset; empty for a
  /// file that is not a TIFF.
  std::uint64_t pointerAt_ = 0;
  int pointerBytes_ = 0;
  bool littleEndian_ = true;
  std::vector<std::uint64_t> directories_;
};

/// The lock to hold while writing to standard error: decoding a picture
/// points it at /dev/null for a moment, to silence the codecs, and a line
/// written by another thread then would be lost.
std::recursive_mutex& standardErrorLock();

/// Writes values as a 24-bit grey PNG at name + ".png", values[0] its
/// bottom line. Returns why it could not, empty when the file was written
/// whole: the system's reason ("No space left on device") or the encoder's.
/// A file it created is removed again after a failed write.
std::string saveImage(const std::string& name, const double* const* values,
                      int n, OutputOptions options);

/// Writes an 8-bit grey PNG (palette-free greyscale) at path; row 0 of
/// pixels is the picture's bottom line. pixels holds width * height bytes,
/// row-major. Returns why it could not, as saveImage does; empty arguments
/// are refused before any file is touched.
std::string saveGreyPng8(const std::string& path, const std::uint8_t* pixels,
                         int width, int height);
