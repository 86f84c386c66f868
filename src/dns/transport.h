#pragma once
// The two exchanges the resolver runs with one nameserver: UDP attempts on
// one socket, and one TCP attempt for a truncated answer. Blocking sockets
// with kernel time-outs; every socket is closed before these return.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error_code.h"
#include "net/address.h"

namespace tessvane {

inline constexpr std::size_t kUdpReceiveBuffer = 4096;  // longer datagrams are cut

enum class UdpOutcome : std::uint8_t {
  Accepted,  // a response to act on
  Fallback,  // response code 2 or 5: held while the next server is asked
  NoAnswer,  // every attempt failed
};

struct UdpReply {
  UdpOutcome outcome = UdpOutcome::NoAnswer;
  std::string message;  // the datagram, for Accepted and Fallback
  std::uint8_t rcode = 0;
};

// Up to retries + 1 attempts on one datagram socket, each sending the query
// and waiting up to timeout_ms for the reply. Only a datagram from the
// server's exact address and port that answers this query (the query's ID,
// QR set, the query's question: reply_matches) answers an attempt; any other
// is ignored and the wait goes on for the rest of that
// attempt's time-out. A reply shorter than 12 bytes ends the attempt.
// Errors (they end the whole query): those of socket creation and of setting
// SO_RCVTIMEO, OutOfMemory when the datagram cannot be copied.
Result<UdpReply> udp_exchange(const SocketAddress& server, std::string_view query, std::uint16_t id,
                              std::uint32_t timeout_ms, std::uint8_t retries);

// One TCP attempt: connect (bounded through the platform's connect time-out),
// send the length-prefixed query, read the length-prefixed reply. The reply
// (12 bytes or more, without its prefix) or the error that stopped it.
Result<std::string> tcp_exchange(const SocketAddress& server, std::string_view query,
                                 std::uint32_t timeout_ms);

}  // namespace tessvane
