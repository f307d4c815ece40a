#pragma once

#include <FreeImage.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "images/library.h"

// Pictures of every kind, made by the tests through FreeImage.

/// A directory of its own for one test, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  /// name inside the directory.
  std::string path(const std::string& name) const;

 private:
  std::filesystem::path dir_;
};

/// Colour of pixel (x, y), y counted from the bottom line.
using ColourAt = std::function<RGBQUAD(int x, int y)>;
/// A number per pixel: a palette index, a 16-bit word, a float.
using ValueAt = std::function<double(int x, int y)>;

/// A 24- or 32-bit picture (32 with alpha).
Picture makeColourPicture(int width, int height, int bpp, const ColourAt& at);
/// A 1-, 4- or 8-bit picture with the given palette entry per index.
Picture makePalettePicture(int width, int height, int bpp,
                           const std::function<RGBQUAD(int index)>& palette,
                           const ValueAt& index);
/// A 16-bit 5-6-5 or 5-5-5 picture from 8-bit colours.
Picture make16BitPicture(int width, int height, bool is565, const ColourAt& at);
/// A picture of a non-standard type (FIT_UINT16, FIT_RGB16, FIT_RGBA16,
/// FIT_FLOAT, FIT_RGBF, FIT_RGBAF, FIT_INT32, FIT_DOUBLE) whose every
/// channel holds value(x, y), and whose green and blue hold 0 where there
/// are channels.
Picture makeTypedPicture(FREE_IMAGE_TYPE type, int width, int height,
                         const ValueAt& value);

/// Saves picture at path in format; fails the test on error.
void savePicture(FIBITMAP* picture, FREE_IMAGE_FORMAT format,
                 const std::string& path);
/// Writes bytes to a file as they are.
void writeFile(const std::string& path, const std::string& bytes);
/// The whole file.
std::string readFile(const std::string& path);

/// A colour with red r, green g, blue b.
RGBQUAD rgb(int r, int g, int b);

/// Everything written to file descriptor 2 while f runs.
std::string captureStderr(const std::function<void()>& f);
