#pragma once
// The open-file limit: every worker holds its connections, its listening
// sockets and a few descriptors of its own (kqueue, pipes, syslog socket).

#include <cstdint>

namespace tessvane {

// workers × (max_connections + listeners + 3) + 64, saturating.
std::uint64_t fd_limit_request(std::uint64_t workers, std::uint64_t max_connections,
                               std::uint64_t listeners) noexcept;

// Sets the soft RLIMIT_NOFILE to requested, or to the hard limit when that is
// lower (the soft limit may go down); the hard limit is kept. Nothing happens
// when the limits cannot be read; a refused change is ignored. Logs "file
// descriptor limit set to {soft} (requested {requested}, hard max {hard})" at
// info with the limits in force afterwards.
void raise_fd_limit(std::uint64_t requested) noexcept;

}  // namespace tessvane
