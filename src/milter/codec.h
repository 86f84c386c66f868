#pragma once
// The milter command side: dispatches each complete packet of a connection,
// stores what the message policy needs in the MilterConnection, and answers
// every command that expects an answer through the output queue.
//
// Recognised macro names (exact, case-sensitive), by slot: {client_addr} or
// client_addr, {client_name} or client_name, {mail_addr} or mail_addr,
// {rcpt_addr} or rcpt_addr, i (queue id; "{i}" is not matched),
// {daemon_name} or daemon_name, {auth_type} or auth_type.

#include "milter/connection.h"
#include "milter/framer.h"
#include "milter/host.h"

namespace tessvane {

// What one connection keeps of a message, whatever the configuration says.
// Recipients play no part in any verdict: beyond the first 100, or beyond
// 16 KiB of them, they are answered but not kept. Headers stop at a ceiling
// even where MaxHeaders or MaxHeaderBytes is 0 (no limit) or larger; past it
// the header-limit flag is set as for the configured limits.
inline constexpr std::size_t kMaxKeptRecipients = 100;
inline constexpr std::size_t kMaxKeptRecipientBytes = 16384;
inline constexpr std::uint64_t kHeaderCountCeiling = 10000;
inline constexpr std::uint64_t kHeaderBytesCeiling = 16 * std::uint64_t{kMaxPacketLength};

// Handles one packet. Returns whether the connection is still open: false
// means it was closed through host.close_connection (SMFIC_QUIT, a short
// SMFIC_OPTNEG, a reply failure) and must not be touched, nor the packet
// consumed. Commands are accepted in any order.
[[nodiscard]] bool dispatch_packet(MilterHost& host, MilterConnection& connection,
                                   const MilterPacket& packet);

// Dispatches and consumes every complete packet in the input buffer, in
// order. A bad packet length closes the connection without a reply. Returns
// whether the connection is still open (then the buffer holds less than one
// packet).
[[nodiscard]] bool dispatch_input(MilterHost& host, MilterConnection& connection);

// Releases the per-message data: the mail address, recipient address and
// queue id macros, the headers, the sender and the recipients; clears the
// header count and the header-limit flag. Connection-level data stays.
void reset_message(MilterConnection& connection) noexcept;

}  // namespace tessvane
