#include "command_line.h"

#include <charconv>
#include <optional>

const std::string_view kUsage =
    R"(Usage: holorecon [OPTIONS] [EXPERIMENT-FILE]
       holorecon --merge DIR

Reconstructs the holograms an experiment file describes for every
combination of its values, into a run directory named after the start time
(EXPERIMENT-FILE defaults to experiment.xml).

Options:
  --threads N    reconstruct N sets at once (default: one per core this
                 process may use); 1 runs everything on one thread
  --shard K/N    run only part K of N of the sweep: the sets whose index i
                 has i mod N = K - 1; the results go to results.K-of-N.xml
                 in the directory --output names (N at most the sets)
  --output DIR   use DIR as the run directory (made if missing); the shards
                 of one sweep share it
  --merge DIR    join the shard results in DIR into DIR/results.xml, once
                 every shard is complete and checked against the sweep
  --help         show this text
  --version      show the version

SIGINT and SIGTERM end a run cleanly: the sets in hand are finished, no
file is left cut short, and results.xml is not written.

Exit status: 0 done, 1 something failed (the errors say what), 2 bad
command line (or more shards than sets), 128 + the signal when
interrupted.
)";

namespace {

/// A whole number from 1 to 2^31 - 1 that is the entire text.
std::optional<int> positive(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  if (result.ec != std::errc() || result.ptr != end || value < 1) {
    return std::nullopt;
  }
  return value;
}

/// "K/N" with 1 <= K <= N.
std::optional<Shard> shardOf(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::optional<int> number = positive(text.substr(0, slash));
  const std::optional<int> count = positive(text.substr(slash + 1));
  if (!number || !count || *number > *count) return std::nullopt;
  return Shard{*number, *count};
}

/// "--name", for messages.
std::string option(std::string_view name) {
  std::string text = "--";
  text += name;
  return text;
}

bool takesValue(std::string_view name) {
  return name == "threads" || name == "shard" || name == "output" ||
         name == "merge";
}

/// Applies one option and its value; the problem, if any.
std::string apply(std::string_view name, std::string_view value,
                  CommandLine& line) {
  std::string quoted = "'";
  quoted += value;
  quoted += "'";
  if (name == "threads") {
    const std::optional<int> threads = positive(value);
    if (!threads) return "--threads needs a whole number from 1, not " + quoted;
    line.options.threads = *threads;
  } else if (name == "shard") {
    line.options.shard = shardOf(value);
    if (!line.options.shard) {
      return "--shard needs K/N with 1 <= K <= N, not " + quoted;
    }
  } else if (name == "output" || name == "merge") {
    if (value.empty()) return option(name) + " needs a directory";
    (name == "output" ? line.options.outputDirectory : line.mergeDirectory) =
        value;
    if (name == "merge") line.action = CommandLine::Action::Merge;
  }
  return {};
}

}  // namespace

std::string parseCommandLine(const std::vector<std::string_view>& words,
                             CommandLine& line) {
  bool runOptions = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string_view word = words[i];
    if (word.size() < 2 || word[0] != '-') {
      line.experimentPath = word;  // the file; the rest is ignored
      break;
    }
    if (word.substr(0, 2) != "--") {
      std::string text = "unknown option '";
      text += word;
      return text + "'";
    }
    std::string_view name = word.substr(2);
    std::optional<std::string_view> value;
    if (const std::size_t equals = name.find('='); equals != name.npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (!takesValue(name) && name != "help" && name != "version") {
      std::string text = "unknown option '";
      text += word;
      return text + "'";
    }
    if (name == "help" || name == "version") {
      if (value) return option(name) + " takes no value";
      line.action = name == "help" ? CommandLine::Action::Help
                                   : CommandLine::Action::Version;
      return {};
    }
    if (!value) {
      if (i + 1 == words.size()) return option(name) + " needs a value";
      value = words[++i];
    }
    const std::string problem = apply(name, *value, line);
    if (!problem.empty()) return problem;
    runOptions = runOptions || name != "merge";
  }
  if (line.action == CommandLine::Action::Merge && runOptions) {
    return "--merge takes no other options";
  }
  if (line.action == CommandLine::Action::Run && line.options.shard &&
      line.options.outputDirectory.empty()) {
    return "--shard needs --output DIR: the shards of one sweep write into "
           "one directory, which --merge then joins";
  }
  return {};
}
