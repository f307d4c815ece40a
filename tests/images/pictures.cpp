#include "pictures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

ScratchDir::ScratchDir() {
  dir_ = std::filesystem::temp_directory_path() /
         ("holorecon_images_" + std::to_string(getpid()) + "_" +
          std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::path(const std::string& name) const {
  return (dir_ / name).string();
}

int pattern(int x, int y) { return 1 + (3 * x + 7 * y) % 255; }

Picture patternPicture(int width, int height) {
  Picture picture(FreeImage_Allocate(width, height, 24));
  for (int y = 0; y < height; ++y) {
    BYTE* line = FreeImage_GetScanLine(picture.get(), y);
    for (int x = 0; x < width; ++x, line += 3) {
      line[FI_RGBA_RED] = static_cast<BYTE>(pattern(x, y));
      line[FI_RGBA_GREEN] = static_cast<BYTE>(255 - pattern(x, y));
      line[FI_RGBA_BLUE] = 0;
    }
  }
  return picture;
}

void savePicture(FIBITMAP* picture, FREE_IMAGE_FORMAT format,
                 const std::string& path) {
  ASSERT_NE(picture, nullptr);
  ASSERT_TRUE(FreeImage_Save(format, picture, path.c_str(), 0)) << path;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::string captureStderr(const std::function<void()>& f) {
  std::FILE* sink = std::tmpfile();
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fileno(sink), STDERR_FILENO);
  f();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string text;
  std::rewind(sink);
  for (int c = std::fgetc(sink); c != EOF; c = std::fgetc(sink)) {
    text.push_back(static_cast<char>(c));
  }
  std::fclose(sink);
  return text;
}
