#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "experiment.h"

// The run directory: its name, the archive of the inputs in params, and the
// checks that keep two runs from mixing their results in one directory.

/// "YYYY_MM_DD_hh_mm_ss" of a local time, e.g. 2026_01_05_09_03_07.
std::string runDirectoryName(const std::tm& time);

/// Creates the run directory name, or name_2, name_3, ... when taken, and
/// returns the one made; empty when no directory could be made.
std::optional<std::string> createRunDirectory(const std::string& name);

/// Last component of a path written with '/', '\\' or a drive letter:
/// "C:data\\fringes.bmp" gives "fringes.bmp"; "dir/" gives "".
std::string extractFileName(const std::string& path);

/// One input of a run, as read: what it is ("experiment", "hologram"),
/// the path it was read from and the bytes read (owned elsewhere).
struct RunInput {
  std::string role;
  std::string path;
  const std::string* bytes = nullptr;
};

/// The name each input gets in params, in order: its own file name, or
/// with _2, _3, ... when an earlier input of other bytes took it; an input
/// whose bytes an earlier one of the same name holds shares that copy.
/// Every shard of a sweep plans the same names.
std::vector<std::string> archiveNames(const std::vector<RunInput>& inputs);

/// The SHA-256 of every input's role, SHA-256 and size, in order: what
/// tells the shards of one sweep from those of a sweep of other inputs.
std::string inputsDigest(const std::vector<RunInput>& inputs);

/// Why directory, given with --output, cannot take this run, found without
/// reading any picture: it cannot be written (no lock file can be made in
/// it), it holds a finished run (results.xml), or this shard's finished
/// part. A shard that was interrupted finds its pictures but not its
/// results file, and runs again over them. Empty when it can.
std::string outputDirectoryProblem(const std::string& directory,
                                   const RunOptions& options);

/// Claims directory for this run before its first step and archives the
/// inputs into params, whole or not at all. Under an exclusive lock on the
/// directory's lock file (--output only: two experiments started into one
/// directory at once must not both pass): checks again what
/// outputDirectoryProblem checks, then finds params holding exactly these
/// inputs (a shard of the same sweep got there first; missing copies are
/// added), or archives them into a temporary folder renamed to params.
struct Claim {
  /// Why the run must not go on in directory ("Can't run in out: its
  /// params hold another experiment file"); empty when it may.
  std::string refusal;
  /// Why the archive could not be written ("Can't archive holo.png: No
  /// space left on device"): a failure to report, after which the run goes
  /// on without params.
  std::string archiveProblem;
};
Claim claimRunDirectory(const std::string& directory,
                        const std::vector<RunInput>& inputs,
                        const RunOptions& options);
