#pragma once
// Detaching from the terminal with a readiness handshake: the command that
// starts the daemon waits until the daemon reports that start-up completed
// and exits 0, or exits 1 when the daemon dies or stays silent.

#include "base/error_code.h"
#include "base/unique_fd.h"

namespace tessvane {

// How long the starting command waits for the readiness byte.
inline constexpr int kReadinessWaitMs = 60000;
// The one byte that means "start-up completed".
inline constexpr char kReadyByte = 'K';

// Forks twice around setsid(). Only the daemon process (the grandchild)
// returns: with the readiness pipe's write end (close-on-exec) and standard
// input, output and error on /dev/null. The calling process waits for the
// readiness byte (wait_for_readiness) and exits 0 or 1; the intermediate
// process exits 0. The working directory and the file-creation mask are not
// changed. Errors, returned in the calling process before any fork
// (SystemFdQuotaExceeded, ProcessFdQuotaExceeded, Unexpected for the pipe;
// the fork's error) or in the daemon process (opening or duplicating
// /dev/null; the waiting parent then sees end of file and exits 1).
// Not called at all when the daemon runs in the foreground.
Result<UniqueFd> daemonize();

// The waiting side of the handshake: waits at most timeout_ms for read_end to
// become readable and reads one byte. Returns the exit status for the starting
// command: 0 when exactly kReadyByte arrived, 1 on time-out, end of file or
// any error. Takes ownership of read_end and closes it.
int wait_for_readiness(UniqueFd read_end, int timeout_ms) noexcept;

// Writes kReadyByte to the readiness pipe and closes it; write errors are
// ignored (the waiting parent then exits 1, which is the truth). An empty
// descriptor (the process runs in the foreground) does nothing.
void notify_ready(UniqueFd write_end) noexcept;

}  // namespace tessvane
