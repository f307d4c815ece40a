#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "experiment.h"

/// The program's default: as many sets at once as there are cores.
inline RunOptions everyCore() {
  RunOptions options;
  options.threads = 0;
  return options;
}

/// What the command line asks the program to do.
struct CommandLine {
  enum class Action { Run, Merge, Help, Version };
  Action action = Action::Run;
  RunOptions options = everyCore();
  std::string experimentPath = "experiment.xml";
  std::string mergeDirectory;
};

/// The text --help prints.
extern const std::string_view kUsage;

/// Reads the words after the program's name into line: options first, then
/// the experiment file; words after the file are ignored. Returns the
/// problem as one line ("unknown option '--frob'"), empty when the words
/// make sense.
std::string parseCommandLine(const std::vector<std::string_view>& words,
                             CommandLine& line);
