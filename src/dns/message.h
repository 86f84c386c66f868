#pragma once
// The DNS wire format (RFC 1035, with the EDNS(0) OPT record of RFC 6891 in
// every query): queries out, answer records and three header facts in. No
// I/O. Messages are whole DNS messages (over TCP without the length prefix);
// every read of a received message goes through ByteReader and no length or
// count taken from it is trusted.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_reader.h"
#include "base/error_code.h"
#include "dns/resource_record.h"

namespace tessvane {

inline constexpr std::size_t kDnsHeaderSize = 12;
inline constexpr std::uint16_t kEdnsUdpPayloadSize = 1232;  // advertised in every query
inline constexpr std::size_t kMaxQueryNameText = 253;       // bytes, before dots are dropped
inline constexpr std::size_t kMaxDecodedName = 253;         // a decoded name of 254 fails
inline constexpr std::size_t kMaxLabelLength = 63;
inline constexpr std::size_t kMaxLabels = 127;
inline constexpr std::size_t kMaxPointerHops = 10;
// Header, QTYPE, QCLASS and the 11-byte OPT record: everything but the name.
inline constexpr std::size_t kQueryOverhead = 27;
// A 253-byte name text encodes to at most 255 bytes (first length byte and
// the terminating zero added, no dot dropped).
inline constexpr std::size_t kMaxQuerySize = kQueryOverhead + kMaxQueryNameText + 2;

inline constexpr std::uint16_t kClassIn = 1;
// The two high bits of a length byte: 11 a compression pointer, 01 and 10 a
// label type no reply may use here (0x40..0xBF).
inline constexpr std::uint8_t kPointerMark = 0xC0;
inline constexpr std::uint8_t kReservedLabelMark = 0x40;

inline constexpr std::uint8_t kRcodeNoError = 0;
inline constexpr std::uint8_t kRcodeServerFailure = 2;
inline constexpr std::uint8_t kRcodeNameError = 3;
inline constexpr std::uint8_t kRcodeRefused = 5;

struct ParsedResponse {
  std::vector<ResourceRecord> records;  // answer section, message order
  std::uint16_t id = 0;
  std::uint8_t rcode = 0;  // low four bits of the flags word
  bool truncated = false;  // TC, flags & 0x0200
};

// The query for (name, type) with ID id, RD set and an OPT record advertising
// 1232 bytes; 27 bytes plus the encoded name, never compressed. One leading
// and one trailing dot are dropped; "", "." and ".." ask for the root; label
// bytes go out unchanged (case kept, no escapes).
// Errors: NameTooLong (more than 253 bytes, tested before any dot is
// dropped), EmptyLabel, LabelTooLong (over 63), TooManyLabels (over 127),
// OutOfMemory.
Result<std::string> encode_query(std::uint16_t id, std::string_view name, std::uint8_t type);

// Decodes the header facts and the answer section; the question is skipped,
// never compared with the query, and the authority and additional sections
// are not read. A record cut off by the end of the message ends decoding
// without error; a failure returns no records.
// Errors: PacketTooShort, LabelTooLong, TooManyLabels, InvalidPointer,
// TooManyPointers, NameTooLong, OutOfMemory.
Result<ParsedResponse> decode_response(Bytes message);

// What the resolver reports for a reply that decode_response refused: one
// transient error, DnsTransient, whatever the decoder named the fault. The
// decoder's names overlap those of a query name that cannot be encoded
// (NameTooLong, LabelTooLong, TooManyLabels), and a malformed or forged reply
// must never pass for a name that does not exist. OutOfMemory stays itself.
ErrorCode reply_decode_failure(ErrorCode decoder_error) noexcept;

// The dotted text of the possibly compressed name stored at offset, the root
// as "". Pointers may lead anywhere inside the message; at most 10 are
// followed. A name that runs into the end of the message without its zero
// byte is returned as far as it goes.
// Errors: PacketTooShort, InvalidPointer, TooManyPointers, LabelTooLong,
// TooManyLabels, NameTooLong (254 bytes or more), OutOfMemory.
Result<std::string> read_name(Bytes message, std::size_t offset);

// The offset just past the name stored at offset; a pointer ends the stored
// name and is not followed.
// Errors: PacketTooShort (including a name without its zero byte),
// LabelTooLong, TooManyLabels.
Result<std::size_t> skip_name(Bytes message, std::size_t offset);

// The name under which a response code is logged: "no_error",
// "format_error", "server_failure", "name_error", "not_implemented",
// "refused"; codes 6 to 15, which carry no name of their own here, are
// written "rcode6" .. "rcode15". Only the low four bits are looked at.
std::string_view rcode_name(std::uint8_t rcode) noexcept;

}  // namespace tessvane
