#pragma once
// The two exchanges the resolver runs with one nameserver, as coroutines on
// the loop the resolver was given: UDP attempts on one socket, and one TCP
// attempt for a truncated answer. Sockets are non-blocking; every wait goes
// through the loop, and every socket is closed when the exchange ends or its
// task is destroyed (then a late answer finds no socket and is dropped).

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error_code.h"
#include "base/task.h"
#include "net/address.h"
#include "sys/io_loop.h"

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
// Errors (they end the whole query): those of socket creation, OutOfMemory
// (the socket cannot be watched, or the datagram cannot be copied).
Task<Result<UdpReply>> udp_exchange(sys::IoLoop& loop, const SocketAddress& server,
                                    std::string_view query, std::uint16_t id,
                                    std::uint32_t timeout_ms, std::uint8_t retries);

// One TCP attempt: non-blocking connect, the length-prefixed query sent, the
// length-prefixed reply read, all within one deadline of timeout_ms. The
// reply (12 bytes or more, without its prefix) or the error that stopped it
// (DnsTimeout when the deadline passed).
Task<Result<std::string>> tcp_exchange(sys::IoLoop& loop, const SocketAddress& server,
                                       std::string_view query, std::uint32_t timeout_ms);

}  // namespace tessvane
