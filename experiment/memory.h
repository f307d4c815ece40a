#pragma once

#include <cstddef>
#include <optional>

// How much more memory this process may take. Linux overcommits, so a
// large allocation can succeed and the process still be killed when its
// pages are touched (or, in a cgroup, by the cgroup's own OOM killer):
// asking first is the only clean refusal.

/// What bounds new allocations, each in bytes; empty where nothing does.
struct MemoryRoom {
  /// Physical memory: the smaller of MemAvailable and, for the cgroup this
  /// process runs in and each one above it, its limit less its usage
  /// (cgroup v2 memory.max and memory.current, v1 memory.limit_in_bytes and
  /// memory.usage_in_bytes): a Slurm job's --mem is such a limit.
  std::optional<std::size_t> physical;
  /// Address space: RLIMIT_AS less the address space in use (VmSize), and
  /// RLIMIT_DATA less the data in use (VmData), the smaller (ulimit -v and
  /// -d).
  std::optional<std::size_t> addressSpace;
};

/// What bounds allocations now.
MemoryRoom memoryRoom();

/// The smaller of memoryRoom's bounds; empty when the system says neither.
std::optional<std::size_t> availableMemoryBytes();

/// Address space each further thread takes besides its work: its stack and
/// the heap arena the allocator reserves for it. It counts only against an
/// address-space limit; most of it is never touched.
std::size_t threadAddressSpaceBytes();

/// How many steps, at most wanted, each needing perStep bytes, fit beside
/// fixed bytes into the room that memoryRoom finds; wanted when nothing
/// bounds them. Each step after the first runs on a thread of its own.
int stepsThatFit(std::size_t fixed, std::size_t perStep, int wanted);
