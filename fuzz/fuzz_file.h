#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Writes the fuzzer's bytes to a per-process scratch file and returns its
/// path: the loaders under test read files, not memory.
std::string writeFuzzFile(const std::uint8_t* data, std::size_t size,
                          const std::string& suffix);
