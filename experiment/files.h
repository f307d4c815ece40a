#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whole-file input and output, the one way the program reads its inputs and
// writes its records: a file is read or written entirely, or the caller gets
// the reason it was not, as a short text for the user ("No space left on
// device"). Nothing is ever left half-written under a name we created, and
// nothing we did not create is ever removed.

/// Reads the regular file at path (symbolic links followed) into bytes.
/// Returns the reason it could not, empty on success: "not a regular file"
/// for a directory, FIFO, device or socket (refused before opening, so a
/// FIFO without a writer cannot block), "the file is larger than the memory
/// available" when it exceeds limit bytes, else the system's text.
std::string readWholeFile(const std::string& path, std::string& bytes,
                          std::size_t limit);

/// readWholeFile with the memory the system reports available as the limit.
std::string readWholeFile(const std::string& path, std::string& bytes);

/// Writes bytes to path, replacing what the file held. Returns the reason
/// it could not, empty on success; the close counts, since a full disk
/// often shows only there. A file that this call created is removed again
/// when the write fails; a file that existed before, a symbolic link, a
/// device or anything else that was not ours is never removed.
std::string writeWholeFile(const std::string& path, std::string_view bytes);
