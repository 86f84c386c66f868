#pragma once
// tessvane -t: reads the configuration file and the whitelist and
// trusted-relays files it names the way start-up would, without starting, and
// prints on standard output one line per problem:
//
//   - keys that are unknown or in the wrong section (all of them, not only
//     the first), and recognised keys in sections that are never read;
//   - values that are malformed, so that their key keeps its default;
//   - a UMask or listener that would stop start-up, a DnsNameserver entry
//     that is not an IP address, a User that does not resolve;
//   - list files that cannot be read, and their lines that would be ignored.
//
// Then a last line: "{path}: configuration OK" or "{path}: {n} problem(s)".
// Messages that loading itself writes (an unreadable file, a bad listener)
// go to standard error as they do at start-up.

#include <string_view>

namespace tessvane {

// The exit status: 0 when nothing is wrong, 1 otherwise.
int check_configuration(std::string_view path);

}  // namespace tessvane
