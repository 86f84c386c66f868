#include "process_cpu.h"

#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/socket_util.h"

namespace tessvane::bench {

std::optional<std::uint64_t> process_cpu_us(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  // The command name may hold spaces and parentheses: fields count from the
  // last ')'. utime and stime are fields 14 and 15, so the 12th and 13th after it.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  std::uint64_t ticks = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) {
      const auto value = parse_number(field);
      if (!value) return std::nullopt;
      ticks += *value;
    }
  }
  const long per_second = ::sysconf(_SC_CLK_TCK);
  if (per_second <= 0) return std::nullopt;
  return ticks * 1'000'000 / static_cast<std::uint64_t>(per_second);
}

std::optional<std::uint64_t> process_rss_kb(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    if (!line.starts_with("VmRSS:")) continue;
    std::istringstream fields(line.substr(6));
    std::string number;
    fields >> number;
    return parse_number(number);
  }
  return std::nullopt;
}

std::uint64_t own_cpu_us() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace tessvane::bench
