#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

/// The SHA-256 digest of bytes as 64 lower-case hexadecimal digits: the
/// fingerprint by which the shards of one sweep recognise their experiment
/// file, and a series its frames.
std::string sha256Hex(std::string_view bytes);

/// SHA-256 of bytes given piece by piece, so that a picture's lines need
/// not be copied into one string first: update() as often as needed, then
/// hex() once.
class Sha256 {
 public:
  /// Adds bytes to the message.
  void update(std::string_view bytes);
  /// The digest of everything added, as sha256Hex gives it; the object is
  /// spent afterwards.
  std::string hex();

 private:
  std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                         0xa54ff53a, 0x510e527f, 0x9b05688c,
                                         0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block_{};
  std::size_t held_ = 0;  // bytes in block_
  std::uint64_t length_ = 0;
};
