#include "run_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <iomanip>
#include <map>
#include <sstream>
#include <system_error>

#include "files.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

/// More same-second runs than anyone starts; bounds the search for a name.
constexpr int kMaxNameSuffix = 10000;

/// The lock file of a directory that --output names.
constexpr const char* kLockFile = ".holorecon.lock";

std::string withSuffix(const std::string& stem, int suffix,
                       const std::string& extension) {
  if (suffix < 2) return stem + extension;
  return stem + "_" + std::to_string(suffix) + extension;
}

/// name with the suffix: "holo.bmp" -> "holo_2.bmp"; ".profile" keeps its
/// name as the stem.
std::string suffixed(const std::string& name, int suffix) {
  const fs::path plain(name);
  return withSuffix(plain.stem().string(), suffix, plain.extension().string());
}

/// Holds an exclusive advisory lock on a directory's lock file while it
/// lives; the lock goes with the descriptor, also when the process dies.
class DirectoryLock {
 public:
  /// Opens (making it) the lock file; the reason when it cannot, which is
  /// also how an unwritable directory shows.
  std::string open(const std::string& directory) {
    fd_ = ::open((fs::path(directory) / kLockFile).c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    return fd_ < 0 ? std::error_code(errno, std::generic_category()).message()
                   : std::string();
  }
  /// Waits for the lock: another run holds it only while it claims.
  void lock() const {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_ = -1;
};

/// What a finished run or this shard's finished part leaves.
std::string finishedProblem(const fs::path& directory,
                            const RunOptions& options) {
  std::error_code error;
  if (fs::exists(directory / "results.xml", error)) {
    return "it holds a finished run (results.xml)";
  }
  if (options.shard &&
      fs::exists(directory / options.shard->resultsFileName(), error)) {
    return "it holds this shard's results already (" +
           options.shard->resultsFileName() + ")";
  }
  return {};
}

/// Removes what an archive that was cut short left: a temporary folder no
/// one can be filling while the lock is held.
void removeStaleArchives(const fs::path& directory) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".params.", 0) == 0 && name.ends_with(".tmp")) {
      fs::remove_all(entry.path(), error);
    }
  }
}

/// Writes the inputs into a temporary folder and renames it to params.
std::string archiveWhole(const fs::path& directory,
                         const std::vector<RunInput>& inputs,
                         const std::vector<std::string>& names) {
  const fs::path temporary =
      directory / (".params." + std::to_string(::getpid()) + ".tmp");
  std::error_code error;
  fs::create_directory(temporary, error);
  if (error) return "Can't archive the inputs: " + error.message();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const fs::path file = temporary / names[i];
    if (fs::exists(file, error)) continue;  // shared with an earlier input
    const std::string problem = writeWholeFile(file, *inputs[i].bytes);
    if (!problem.empty()) {
      fs::remove_all(temporary, error);
      return "Can't archive " + names[i] + ": " + problem;
    }
  }
  fs::rename(temporary, directory / "params", error);
  if (error) {
    fs::remove_all(temporary, error);
    return "Can't archive the inputs: " + error.message();
  }
  return {};
}

/// Why params holds the archive of another experiment or of other inputs
/// than these; empty when every copy there is one of these inputs.
std::string foreignArchive(const fs::path& params,
                           const std::vector<RunInput>& inputs,
                           const std::vector<std::string>& names) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::string archived;
    const bool present = readWholeFile(params / names[i], archived).empty();
    if (present && archived == *inputs[i].bytes) continue;
    if (inputs[i].role == "experiment") {
      return present ? "its params hold another experiment file"
                     : "its params hold another experiment's inputs (no " +
                           names[i] + " among them)";
    }
    if (present) {
      return "its params hold another " + names[i] +
             " than this run read (was the " + inputs[i].role + " replaced?)";
    }
  }
  return {};
}

/// Adds to an archive of these inputs the copies it lacks (an archive cut
/// short by an earlier version, or emptied by hand).
std::string completeArchive(const fs::path& params,
                            const std::vector<RunInput>& inputs,
                            const std::vector<std::string>& names) {
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::error_code error;
    if (fs::exists(params / names[i], error)) continue;
    const std::string problem =
        writeWholeFile(params / names[i], *inputs[i].bytes);
    if (!problem.empty()) return "Can't archive " + names[i] + ": " + problem;
  }
  return {};
}

}  // namespace

std::string runDirectoryName(const std::tm& time) {
  std::ostringstream name;
  name.fill('0');
  name << time.tm_year + 1900;
  for (const int field : {time.tm_mon + 1, time.tm_mday, time.tm_hour,
                          time.tm_min, time.tm_sec}) {
    name << "_" << std::setw(2) << field;
  }
  return name.str();
}

std::optional<std::string> createRunDirectory(const std::string& name) {
  for (int suffix = 1; suffix <= kMaxNameSuffix; ++suffix) {
    const std::string candidate = withSuffix(name, suffix, "");
    std::error_code error;
    if (fs::create_directory(candidate, error)) return candidate;
    // Only a name that is taken is worth another try.
    if (error || !fs::exists(candidate, error)) return std::nullopt;
  }
  return std::nullopt;
}

std::string extractFileName(const std::string& path) {
  std::size_t start = 0;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') ||
       (path[0] >= 'a' && path[0] <= 'z'))) {
    start = 2;
  }
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos && separator >= start) {
    start = separator + 1;
  }
  return path.substr(start);
}

std::vector<std::string> archiveNames(const std::vector<RunInput>& inputs) {
  std::map<std::string, const std::string*> taken;
  std::vector<std::string> names;
  for (const RunInput& input : inputs) {
    const std::string name = extractFileName(input.path);
    for (int suffix = 1;; ++suffix) {
      const std::string candidate = suffixed(name, suffix);
      const auto [place, added] = taken.emplace(candidate, input.bytes);
      if (added || *place->second == *input.bytes) {
        names.push_back(candidate);
        break;
      }
    }
  }
  return names;
}

std::string inputsDigest(const std::vector<RunInput>& inputs) {
  std::string list;
  for (const RunInput& input : inputs) {
    list += input.role + " " + sha256Hex(*input.bytes) + " " +
            std::to_string(input.bytes->size()) + "\n";
  }
  return sha256Hex(list);
}

std::string outputDirectoryProblem(const std::string& directory,
                                   const RunOptions& options) {
  DirectoryLock lock;
  std::string problem = lock.open(directory);
  if (problem.empty()) problem = finishedProblem(directory, options);
  return problem;
}

Claim claimRunDirectory(const std::string& directory,
                        const std::vector<RunInput>& inputs,
                        const RunOptions& options) {
  const auto refuse = [&](const std::string& why) {
    return Claim{"Can't run in " + directory + ": " + why, {}};
  };
  DirectoryLock lock;
  if (!options.outputDirectory.empty()) {
    const std::string problem = lock.open(directory);
    if (!problem.empty()) return refuse(problem);
    lock.lock();
    const std::string finished = finishedProblem(directory, options);
    if (!finished.empty()) return refuse(finished);
    removeStaleArchives(directory);
  }
  const std::vector<std::string> names = archiveNames(inputs);
  const fs::path params = fs::path(directory) / "params";
  std::error_code error;
  if (!fs::exists(params, error)) {
    return {{}, archiveWhole(directory, inputs, names)};
  }
  const std::string foreign = foreignArchive(params, inputs, names);
  if (!foreign.empty()) return refuse(foreign);
  return {{}, completeArchive(params, inputs, names)};
}
