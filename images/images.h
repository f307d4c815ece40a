#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "experiment.h"
#include "field.h"

// Hologram pictures in, result pictures out. A failed load writes its
// message to the given stream as one line, followed for an unreadable
// file by a "Detail: " line when the image library explained why; nothing
// reaches the console.

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

/// Reads the picture file at path whole; false, with the failure written to
/// stream, when it is not a regular file, cannot be read, or is larger than
/// any picture this program decodes.
bool readPictureFile(const std::string& path, PictureFile& file,
                     std::ostream& stream);

/// Whole-picture mode: the picture must be square; size becomes its width.
bool loadSquareImage(const PictureFile& file, numerics::RealField& samples,
                     int& size, std::ostream& stream,
                     const FitsInMemory& fits = {});

/// Clipped mode: an n x n window, centred vertically and placed horizontally
/// by clipType; samples outside the picture are zero.
bool loadClippedImage(const PictureFile& file, numerics::RealField& samples,
                      int n, ClipType clipType, std::ostream& stream,
                      const FitsInMemory& fits = {});

/// loadSquareImage of the file at path.
bool loadSquareImage(const std::string& path, numerics::RealField& samples,
                     int& size, std::ostream& stream);

/// loadClippedImage of the file at path.
bool loadClippedImage(const std::string& path, numerics::RealField& samples,
                      int n, ClipType clipType, std::ostream& stream);

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
