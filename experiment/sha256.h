#pragma once

#include <string>
#include <string_view>

/// The SHA-256 digest of bytes as 64 lower-case hexadecimal digits: the
/// fingerprint by which the shards of one sweep recognise their experiment
/// file.
std::string sha256Hex(std::string_view bytes);
