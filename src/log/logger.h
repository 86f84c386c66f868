#pragma once
// The one logger of both programs. A line is "<{pri}>{ident}[{pid}]: {text}",
// cut at 1024 bytes, with every byte below 0x20 and 0x7F replaced by '_'. It
// goes as one datagram to the local syslog socket (no libc syslog, one socket
// per thread, never blocking) or, without the "<{pri}>" part, to standard
// error followed by a line feed. Transport errors lose the line silently.
//
// The Logger record is written only during start-up, before any other thread
// exists, and read by every thread without locks afterwards.

#include <array>
#include <cstdint>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

enum class Severity : std::uint8_t { Err = 3, Warning = 4, Info = 6, Debug = 7 };

inline constexpr std::size_t kLogLineMax = 1024;
inline constexpr std::size_t kLogIdentMax = 64;

struct Logger {
  bool to_syslog = false;
  std::uint8_t facility = 2;  // mail
  std::uint8_t level = 6;     // info
  std::array<char, kLogIdentMax> ident{'k', 'e', 'l', 'd', 'm', 'o', 'o', 'r'};
  std::uint8_t ident_len = 8;

  // Longer idents are cut at 64 bytes.
  void set_ident(std::string_view name) noexcept;
  std::string_view ident_text() const noexcept { return {ident.data(), ident_len}; }
};

// The process-wide record.
Logger& logger() noexcept;

// Whether a message of this severity would be written; test it before
// building a message so that disabled messages cost nothing.
bool log_enabled(Severity severity) noexcept;

void log_message(Severity severity, std::string_view text) noexcept;

// Sets up the calling thread's syslog connection and process id (again after
// fork). Without to_syslog the thread has no socket.
void open_log_connection() noexcept;
// Sends what the thread holds (hold_log_lines) and closes its connection.
void close_log_connection() noexcept;

// From hold_log_lines until flush_log_lines the calling thread's syslog lines
// are kept, in order, and then sent together with as few system calls as the
// platform allows: a loop that logs a line per message saves a send, and a
// wake-up of the syslog daemon, for each. Holding more than kHeldLogLines
// sends the held ones first. Lines to standard error are never held.
// flush_log_lines loses the lines a full receiver refuses, as one send per
// line would; a line logged while not holding sends the held ones first.
inline constexpr std::size_t kHeldLogLines = 8;
void hold_log_lines() noexcept;
void flush_log_lines() noexcept;
// Sends the held lines and goes on holding; the lines the receiver refused
// because its queue is full stay held, in order, for a later try. Returns
// how many stay.
std::size_t send_held_log_lines() noexcept;
void drop_held_log_lines() noexcept;
std::size_t held_log_line_count() noexcept;

// Builds the line exactly as it is sent to syslog (header, text, cut,
// sanitized) into out; returns its length.
std::size_t format_log_line(Severity severity, std::string_view text,
                            std::array<char, kLogLineMax>& out) noexcept;

// Writes text and a line feed to standard error holding the process's
// standard-error lock, so that it is never interleaved with another such write.
void write_stderr_locked(std::string_view text) noexcept;

// The fatal exit report: logs "fatal: exiting on {name}" at err, writes
// "error: {name}" to standard error under the lock, exits with status 1.
[[noreturn]] void exit_with_fatal_report(ErrorCode error) noexcept;

namespace log_testing {
// Points the syslog connection at another socket path (tests bind their own
// datagram socket). An empty path restores the platform's.
void set_syslog_path(std::string_view path) noexcept;
}  // namespace log_testing

}  // namespace tessvane
