#include "memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "sizes.h"

namespace {

constexpr std::size_t kKibibyte = 1024;

/// What the allocator reserves of address space for each thread's own heap
/// on 64-bit Linux (glibc's largest heap, twice its largest mmap
/// threshold).
constexpr std::size_t kThreadArenaBytes = std::size_t{64} << 20;

/// The smaller of a and b, where an empty one bounds nothing.
std::optional<std::size_t> smaller(std::optional<std::size_t> a,
                                   std::optional<std::size_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

/// A "Key:   123 kB" line of a /proc file, in bytes.
std::optional<std::size_t> procValue(const char* file, const std::string& key) {
  std::ifstream stream(file);
  for (std::string line; std::getline(stream, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const unsigned long long kibibytes =
        std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return numerics::saturatingProduct(static_cast<std::size_t>(kibibytes),
                                       kKibibyte);
  }
  return std::nullopt;
}

/// The whole number a cgroup file holds; empty for "max" (no limit), a
/// missing file or anything else.
std::optional<std::size_t> cgroupNumber(const std::filesystem::path& file) {
  std::ifstream stream(file);
  std::string text;
  if (!(stream >> text) || text.empty() ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(std::strtoull(text.c_str(), nullptr, 10));
}

/// Room left under the limits of the cgroup at path below root and of every
/// cgroup above it (a limit binds all that lies below it). A container may
/// show its own cgroup as the root of the mount, so the mount's root counts
/// too.
std::optional<std::size_t> cgroupRoom(const std::filesystem::path& root,
                                      std::string path, const char* limitFile,
                                      const char* usageFile) {
  std::optional<std::size_t> room;
  for (;;) {
    const std::filesystem::path directory = root / path.substr(1);
    const std::optional<std::size_t> limit =
        cgroupNumber(directory / limitFile);
    const std::optional<std::size_t> usage =
        cgroupNumber(directory / usageFile);
    // v1 writes "no limit" as a page-rounded 2^63 - 1.
    if (limit && usage && *limit < (std::size_t{1} << 62)) {
      room = smaller(room, *limit > *usage ? *limit - *usage : 0);
    }
    if (path == "/" || path.empty()) return room;
    path = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
  }
}

/// Room under the memory limits of this process's cgroups, v2 and v1.
std::optional<std::size_t> cgroupRoom() {
  std::ifstream stream("/proc/self/cgroup");
  std::optional<std::size_t> room;
  // "0::/user.slice/job_12" (v2) or "4:memory:/slurm/uid_0/job_12" (v1).
  for (std::string line; std::getline(stream, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (path.empty() || path[0] != '/') continue;
    if (controllers.empty()) {
      for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        room = smaller(room,
                       cgroupRoom(mount, path, "memory.max", "memory.current"));
      }
    } else if (("," + controllers + ",").find(",memory,") !=
               std::string::npos) {
      room = smaller(
          room, cgroupRoom("/sys/fs/cgroup/memory", path,
                           "memory.limit_in_bytes", "memory.usage_in_bytes"));
    }
  }
  return room;
}

/// Room under a resource limit, given what of it is in use; empty without
/// a limit.
std::optional<std::size_t> limitRoom(int resource, const char* usedKey) {
  rlimit limit{};
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::nullopt;
  }
  const std::size_t used = procValue("/proc/self/status", usedKey).value_or(0);
  const auto bound = static_cast<std::size_t>(limit.rlim_cur);
  return bound > used ? bound - used : 0;
}

/// How many of wanted steps of perStep bytes fit into room beside fixed.
int fitting(std::optional<std::size_t> room, std::size_t fixed,
            std::size_t perStep, int wanted) {
  if (!room) return wanted;
  if (fixed >= *room) return 0;
  if (perStep == 0) return wanted;
  const std::size_t fit = (*room - fixed) / perStep;
  return fit < static_cast<std::size_t>(wanted) ? static_cast<int>(fit)
                                                : wanted;
}

}  // namespace

MemoryRoom memoryRoom() {
  MemoryRoom room;
  room.physical =
      smaller(procValue("/proc/meminfo", "MemAvailable:"), cgroupRoom());
  room.addressSpace = smaller(limitRoom(RLIMIT_AS, "VmSize:"),
                              limitRoom(RLIMIT_DATA, "VmData:"));
  return room;
}

std::optional<std::size_t> availableMemoryBytes() {
  const MemoryRoom room = memoryRoom();
  return smaller(room.physical, room.addressSpace);
}

std::size_t threadAddressSpaceBytes() {
  rlimit stack{};
  std::size_t stackBytes = std::size_t{8} << 20;  // the usual default
  if (::getrlimit(RLIMIT_STACK, &stack) == 0 &&
      stack.rlim_cur != RLIM_INFINITY) {
    stackBytes = static_cast<std::size_t>(stack.rlim_cur);
  }
  return numerics::saturatingSum({stackBytes, kThreadArenaBytes});
}

int stepsThatFit(std::size_t fixed, std::size_t perStep, int wanted) {
  const MemoryRoom room = memoryRoom();
  const int physical = fitting(room.physical, fixed, perStep, wanted);
  if (!room.addressSpace || wanted <= 1) {
    return std::min(physical,
                    fitting(room.addressSpace, fixed, perStep, wanted));
  }
  // The first step runs on a thread that exists already; each further one
  // brings its thread's stack and heap arena.
  const int first = fitting(room.addressSpace, fixed, perStep, 1);
  if (first == 0) return 0;
  const std::size_t afterFirst = numerics::saturatingSum({fixed, perStep});
  const int more =
      fitting(room.addressSpace, afterFirst,
              numerics::saturatingSum({perStep, threadAddressSpaceBytes()}),
              wanted - 1);
  return std::min(physical, 1 + more);
}
