#pragma once
// CPU time and resident memory of a process, read from /proc (Linux).

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace tessvane::bench {

// User plus system time of every thread of pid, in microseconds (clock-tick
// resolution); nullopt when the process cannot be read.
std::optional<std::uint64_t> process_cpu_us(pid_t pid);
// VmRSS in kilobytes.
std::optional<std::uint64_t> process_rss_kb(pid_t pid);
// This process, at nanosecond resolution.
std::uint64_t own_cpu_us() noexcept;

}  // namespace tessvane::bench
