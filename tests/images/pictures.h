#pragma once

#include <FreeImage.h>

#include <filesystem>
#include <functional>
#include <string>

#include "images/library.h"

// Pictures for the tests, made through FreeImage, and a few file helpers.

/// A directory of its own for one test, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path(const std::string& name) const;

 private:
  std::filesystem::path dir_;
};

/// 1 to 255, different for neighbours in x and in y: a zero sample can
/// only come from outside the picture.
int pattern(int x, int y);
/// 24-bit picture with red pattern(x, y), green 255 - red and blue 0.
Picture patternPicture(int width, int height);
/// Saves picture at path in format; fails the test on error.
void savePicture(FIBITMAP* picture, FREE_IMAGE_FORMAT format,
                 const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
/// Everything written to file descriptor 2 while f runs.
std::string captureStderr(const std::function<void()>& f);
