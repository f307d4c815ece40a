#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whole-file input and output, the one way the program reads its inputs and
// writes its records: a file is read or written entirely, or the caller gets
// the reason it was not, as a short text for the user ("No space left on
// device"). Nothing is ever left half-written under a file's own name: a
// write that fails or is cut short leaves the file as it was, or absent.

/// Reads the regular file at path (symbolic links followed) into bytes.
/// Returns the reason it could not, empty on success: "not a regular file"
/// for a directory, FIFO, device or socket (refused before opening, so a
/// FIFO without a writer cannot block), "the file is larger than the memory
/// available" when it exceeds limit bytes, else the system's text.
std::string readWholeFile(const std::string& path, std::string& bytes,
                          std::size_t limit);

/// readWholeFile with the memory the system reports available as the limit.
std::string readWholeFile(const std::string& path, std::string& bytes);

/// Writes bytes to path, replacing what the file held, whole or not at all:
/// the bytes go to a hidden temporary file in the same directory, which is
/// renamed over path once it is written and closed (a full disk often
/// shows only at the close). Returns the reason it could not, empty on
/// success; the previous file, if any, is then untouched, and the temporary
/// one is gone. A symbolic link is followed and its target replaced; a
/// device or a FIFO (with a reader) is written as it is, having nothing to
/// be replaced by.
std::string writeWholeFile(const std::string& path, std::string_view bytes);
