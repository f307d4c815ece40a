#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

/// "YYYY_MM_DD_hh_mm_ss" of a local time, e.g. 2026_01_05_09_03_07.
std::string runDirectoryName(const std::tm& time);

/// Creates the run directory name, or name_2, name_3, ... when taken, and
/// returns the one made; empty when no directory could be made.
std::optional<std::string> createRunDirectory(const std::string& name);

/// Last component of a path written with '/', '\\' or a drive letter:
/// "C:data\\fringes.bmp" gives "fringes.bmp"; "dir/" gives "".
std::string extractFileName(const std::string& path);

/// Where a file called name with these bytes goes in directory: name
/// itself, or with _2, _3, ... before its extension ("holo_2.bmp") when a
/// file of other bytes has the name; nothing when a file there holds these
/// bytes already (a run that resumes in its own directory).
std::optional<std::filesystem::path> archivePath(
    const std::filesystem::path& directory, const std::string& name,
    const std::string& bytes);
