#pragma once
// Creates the daemon's long-running threads (workers, nameserver monitor)
// with the stack every one of them gets: 16 MiB and a 4096-byte guard area.
// A new thread inherits the creator's signal mask.

#include <pthread.h>

#include <cstddef>

#include "base/error_code.h"

namespace tessvane {

inline constexpr std::size_t kServiceThreadStack = std::size_t{16} << 20;
inline constexpr std::size_t kServiceThreadGuard = 4096;

// Starts body(argument) in a joinable thread. Errors: SystemResources when
// the attributes cannot be set up or the system's thread limit is reached,
// Unexpected for any other refusal. The argument is not touched on failure.
Result<pthread_t> start_service_thread(void* (*body)(void*), void* argument) noexcept;

}  // namespace tessvane
