#include "fuzz_file.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

std::string writeFuzzFile(const std::uint8_t* data, std::size_t size,
                          const std::string& suffix) {
  const std::string path =
      (std::filesystem::temp_directory_path() /
       ("holorecon_fuzz_" + std::to_string(::getpid()) + suffix))
          .string();
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  return path;
}
