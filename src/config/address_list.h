#pragma once
// Whitelist and trusted-relays files: one address or network per line, and
// the membership test the message policy runs on the client's address.
//
// File format (at most 1 MiB, lines at LF, each trimmed of space, TAB, LF, CR,
// VT, FF): empty lines and lines starting with '#' are skipped; every other
// line is "address" or "address/prefix". A line holding ':' is IPv6.

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error_code.h"
#include "base/file_read.h"
#include "net/address.h"

namespace tessvane {

// Host bits beyond the prefix are kept as written; matching ignores them.
struct Ip4Network {
  Ip4Addr address;
  std::uint8_t prefix = 0;  // above 32 is kept and never matches
  friend bool operator==(const Ip4Network&, const Ip4Network&) = default;
};
struct Ip6Network {
  Ip6Addr address;
  std::uint8_t prefix = 0;  // at most 128
  friend bool operator==(const Ip6Network&, const Ip6Network&) = default;
};

// One entry; the alternative's index is the entry's tag: 0 IPv4 address,
// 1 IPv4 network, 2 IPv6 address, 3 IPv6 network.
using ListEntry = std::variant<Ip4Addr, Ip4Network, Ip6Addr, Ip6Network>;

// The entries of one file in file order. Immutable once loaded, so any number
// of threads may read it at once.
struct AddressList {
  std::vector<ListEntry> entries;
};

// Reads and parses a list file. Lines that are not valid entries are left out
// with the warning "whitelist: ignoring unparseable entry {entry}" (the same
// prefix for both files). Errors: NameTooLong (path of 1024 bytes or more),
// NotRegularFile (a FIFO, device or socket: never read as a list), IsDir, the
// platform's open/read error, FileTooBig (above 1 MiB), OutOfMemory, and
// AccessDenied for a file the reader could not read (see read_regular_file).
Result<AddressList> load_address_list(std::string_view path, const FileReader* reader = nullptr);

// The entry of one trimmed line, or nullopt when it is not a valid entry.
std::optional<ListEntry> parse_list_entry(std::string_view text) noexcept;

// True when some entry matches the client address text; false for any text
// that is not an address. IPv4 texts meet only IPv4 entries and IPv6 texts
// (IPv4-mapped ones included) only IPv6 entries.
bool address_list_contains(const AddressList& list, std::string_view client) noexcept;

}  // namespace tessvane
