// Dispatch of milter commands: one handler per command, each returning
// whether the connection is still open.

#include "milter/codec.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <utility>

#include "base/text.h"
#include "log/logger.h"

namespace tessvane {

namespace {

constexpr std::byte kNul{0};

using CommandHandler = bool (*)(MilterHost&, MilterConnection&, Bytes payload);

// The one place where the codec turns an exhausted allocator into a value.
template <typename Fn>
Status guard_memory(Fn&& fn) noexcept {
  try {
    std::forward<Fn>(fn)();
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  return {};
}

// Replaces a stored string; when the copy cannot be made the field is empty.
bool store_copy(std::string& field, std::string_view text) noexcept {
  if (guard_memory([&] { field.assign(text); })) return true;
  field = std::string();
  return false;
}

// Sendmail writes an IPv6 client as "IPv6:2001:db8::25", in the connect
// packet and in {client_addr}; every later step wants the bare address.
std::string_view bare_client_address(std::string_view address) noexcept {
  constexpr std::string_view kIpv6Tag = "IPv6:";
  return istarts_with(address, kIpv6Tag) ? address.substr(kIpv6Tag.size()) : address;
}

std::string& slot(MilterConnection& connection, MacroSlot which) noexcept {
  return connection.macros[static_cast<std::size_t>(which)];
}

bool answer(MilterHost& host, MilterConnection& connection, MilterResponse response) {
  return send_reply_code(host, connection, response);
}

// A step negotiated without reply (SMFIP_NR_*) is not answered: the MTA has
// already gone on as if it had been answered SMFIR_CONTINUE.
bool answer_step(MilterHost& host, MilterConnection& connection, MilterCommand step,
                 MilterResponse response) {
  if ((connection.protocol & no_reply_flag(static_cast<std::uint8_t>(step))) != 0) return true;
  return answer(host, connection, response);
}

// Calls the handler when installed, else answers SMFIR_CONTINUE.
template <typename Handler, typename... Args>
bool answer_from(MilterHost& host, MilterConnection& connection, MilterCommand step,
                 const Handler& handler, Args&&... args) {
  const MilterResponse response =
      handler ? handler(connection, std::forward<Args>(args)...) : MilterResponse::Continue;
  return answer_step(host, connection, step, response);
}

std::string peer_text(const MilterConnection& connection) {
  const PeerIdentity peer = peer_identity(connection);
  return cat(sanitized(peer.name), '[', sanitized(peer.address), ']');
}

bool handle_optneg(MilterHost& host, MilterConnection& connection, Bytes payload) {
  if (payload.size() < kOptNegPayloadMin) {
    host.close_connection(connection.descriptor());
    return false;
  }
  ByteReader reader(payload, 4);  // the offered version is not examined
  const std::uint32_t actions = *reader.read_u32_be();
  const std::uint32_t protocol = *reader.read_u32_be();
  const NegotiationMasks masks = host.negotiation();
  connection.actions = actions & masks.actions;
  connection.protocol = protocol & masks.protocol;
  std::array<std::byte, 13> body{static_cast<std::byte>(MilterResponse::OptNeg)};
  const std::array<std::uint32_t, 3> words = {masks.version, connection.actions,
                                              connection.protocol};
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto word = u32_be(words[i]);
    std::copy(word.begin(), word.end(), body.begin() + static_cast<std::ptrdiff_t>(1 + 4 * i));
  }
  return send_reply(host, connection, body);
}

std::optional<MacroSlot> macro_slot(std::string_view name) noexcept {
  struct Name {
    std::string_view text;
    MacroSlot slot;
  };
  static constexpr Name kNames[] = {
      {"{client_addr}", MacroSlot::ClientAddr},
      {"client_addr", MacroSlot::ClientAddr},
      {"{client_name}", MacroSlot::ClientName},
      {"client_name", MacroSlot::ClientName},
      {"{mail_addr}", MacroSlot::MailAddr},
      {"mail_addr", MacroSlot::MailAddr},
      {"{rcpt_addr}", MacroSlot::RcptAddr},
      {"rcpt_addr", MacroSlot::RcptAddr},
      {"i", MacroSlot::QueueId},
      {"{daemon_name}", MacroSlot::DaemonName},
      {"daemon_name", MacroSlot::DaemonName},
      {"{auth_type}", MacroSlot::AuthType},
      {"auth_type", MacroSlot::AuthType},
  };
  for (const Name& entry : kNames) {
    if (entry.text == name) return entry.slot;
  }
  return std::nullopt;
}

// The pairs are applied in packet order, so a name given twice keeps its
// later value. The packet itself is the collection: walking it again needs no
// memory, so applying while walking behaves exactly like collecting first
// without holding a list whose size the peer chooses.
bool handle_macro(MilterHost&, MilterConnection& connection, Bytes payload) {
  ByteReader reader(payload);
  if (!reader.skip(1)) return true;  // the command the macros belong to
  while (const std::optional<Bytes> name = reader.read_until(kNul)) {
    const Bytes value = reader.read_until_or_end(kNul);
    const std::optional<MacroSlot> which = macro_slot(as_text(*name));
    if (!which) continue;
    const std::string_view text =
        *which == MacroSlot::ClientAddr ? bare_client_address(as_text(value)) : as_text(value);
    if (!store_copy(slot(connection, *which), text)) break;
  }
  return true;
}

bool handle_connect(MilterHost& host, MilterConnection& connection, Bytes payload) {
  ByteReader reader(payload);
  const std::optional<Bytes> host_name = reader.read_until(kNul);
  if (!host_name || reader.remaining() < 3)
    return answer_step(host, connection, MilterCommand::Connect, MilterResponse::Continue);
  const auto family = static_cast<char>(*reader.read_u8());
  const std::uint16_t port = *reader.read_u16_be();
  const std::string_view address = bare_client_address(as_text(reader.read_until_or_end(kNul)));
  const char stored_family = family == '4' || family == '6' || family == 'L' ? family : 'U';
  store_copy(connection.connect_address, address);
  connection.connect_family = stored_family;
  const ConnectInfo info{as_text(*host_name), address, port, stored_family};
  return answer_from(host, connection, MilterCommand::Connect, host.handlers().connect, info);
}

bool handle_helo(MilterHost& host, MilterConnection& connection, Bytes payload) {
  std::string_view helo = as_text(payload);
  if (!helo.empty() && helo.back() == '\0') helo.remove_suffix(1);
  connection.helo_received = store_copy(connection.helo, helo);
  return answer_from(host, connection, MilterCommand::Helo, host.handlers().helo, helo);
}

std::string_view first_argument(Bytes payload) noexcept {
  ByteReader reader(payload);
  return as_text(reader.read_until_or_end(kNul));
}

bool handle_mail(MilterHost& host, MilterConnection& connection, Bytes payload) {
  const std::string_view sender = first_argument(payload);
  store_copy(connection.sender, sender);
  return answer_from(host, connection, MilterCommand::Mail, host.handlers().envfrom, sender);
}

bool recipient_fits(const MilterConnection& connection, std::string_view recipient) noexcept {
  if (connection.recipients.size() >= kMaxKeptRecipients) return false;
  std::size_t bytes = recipient.size();
  for (const std::string& kept : connection.recipients) bytes += kept.size();
  return bytes <= kMaxKeptRecipientBytes;
}

bool handle_rcpt(MilterHost& host, MilterConnection& connection, Bytes payload) {
  const std::string_view recipient = first_argument(payload);
  if (recipient_fits(connection, recipient)) {
    (void)guard_memory([&] { connection.recipients.emplace_back(recipient); });
  }
  return answer_from(host, connection, MilterCommand::Rcpt, host.handlers().envrcpt, recipient);
}

// A configured limit of 0 (none), and any larger than the ceiling, is the ceiling.
std::uint64_t within_ceiling(std::uint64_t limit, std::uint64_t ceiling) noexcept {
  return limit == 0 ? ceiling : std::min(limit, ceiling);
}

bool header_limit_hit(const MilterConnection& connection, std::uint64_t size) noexcept {
  const std::uint64_t max_headers =
      within_ceiling(connection.limits.max_headers, kHeaderCountCeiling);
  const std::uint64_t max_bytes =
      within_ceiling(connection.limits.max_header_bytes, kHeaderBytesCeiling);
  if (connection.headers.size() >= max_headers) return true;
  return size > max_bytes || connection.header_bytes > max_bytes - size;
}

void store_header(MilterConnection& connection, std::string_view name, std::string_view value) {
  const std::uint64_t size = name.size() + value.size();
  if (header_limit_hit(connection, size)) {
    connection.header_limit_reached = true;
    if (log_enabled(Severity::Warning)) {
      log_message(Severity::Warning,
                  cat("header limit reached (", connection.headers.size(), " headers, ",
                      connection.header_bytes, " bytes) from ", peer_text(connection),
                      ": message will not be authenticated"));
    }
    return;
  }
  const Status stored = guard_memory([&] {
    connection.headers.push_back(HeaderField{std::string(name), std::string(value), true});
  });
  if (!stored) {
    connection.header_limit_reached = true;
    if (log_enabled(Severity::Err)) {
      log_message(Severity::Err,
                  cat("header accumulation failed: error.", error_name(stored.error())));
    }
    return;
  }
  connection.header_bytes += size;
}

bool handle_header(MilterHost& host, MilterConnection& connection, Bytes payload) {
  ByteReader reader(payload);
  const std::optional<Bytes> name = reader.read_until(kNul);
  if (!name) return answer_step(host, connection, MilterCommand::Header, MilterResponse::Continue);
  const std::string_view value = as_text(reader.read_until_or_end(kNul));
  if (!connection.header_limit_reached) store_header(connection, as_text(*name), value);
  return answer_from(host, connection, MilterCommand::Header, host.handlers().header,
                     as_text(*name), value);
}

bool handle_eoh(MilterHost& host, MilterConnection& connection, Bytes) {
  return answer_from(host, connection, MilterCommand::Eoh, host.handlers().eoh);
}

bool handle_body(MilterHost& host, MilterConnection& connection, Bytes payload) {
  return answer_from(host, connection, MilterCommand::Body, host.handlers().body, payload);
}

bool answer_message(MilterHost& host, MilterConnection& connection, MilterResponse response) {
  if (!answer(host, connection, response)) return false;
  reset_message(connection);
  return true;
}

// Starts the eom task; it either ends at once (no DNS, or cached answers) or
// waits, and then the host hears of its end through verdict_ready.
bool start_verdict(MilterHost& host, MilterConnection& connection) {
  PendingVerdict& verdict = connection.verdict;
  verdict.output_mark = connection.output.unsent();
  verdict.host = &host;
  verdict.descriptor = connection.descriptor();
  verdict.serial = connection.serial;
  verdict.waiting = false;
  try {
    verdict.task = host.handlers().eom(connection, host.io_loop());
  } catch (const std::bad_alloc&) {
    // The task could not even be made: nothing was checked or queued.
    return answer_message(host, connection, MilterResponse::TempFail);
  }
  verdict.task.start(&verdict);
  if (verdict.task.done()) return finish_verdict(host, connection);
  verdict.waiting = true;
  return true;
}

bool handle_eom(MilterHost& host, MilterConnection& connection, Bytes) {
  if (connection.header_limit_reached) {
    if (log_enabled(Severity::Warning)) {
      log_message(Severity::Warning, cat("tempfail: header block from ", peer_text(connection),
                                         " exceeded MaxHeaders=", connection.limits.max_headers,
                                         "/MaxHeaderBytes=", connection.limits.max_header_bytes,
                                         " and could not be inspected in full"));
    }
    return answer_message(host, connection, MilterResponse::TempFail);
  }
  if (!host.handlers().eom) return answer_message(host, connection, MilterResponse::Accept);
  return start_verdict(host, connection);
}

// Takes back what the cancelled task queued: nothing was written while it
// ran, so those are exactly the bytes after the mark.
void cancel_verdict(MilterConnection& connection) noexcept {
  PendingVerdict& verdict = connection.verdict;
  if (!verdict.pending()) return;
  verdict.task.reset();
  verdict.waiting = false;
  verdict.input_held = false;
  OutputQueue& output = connection.output;
  if (output.unsent() > verdict.output_mark) {
    output.buffer.resize(output.sent + verdict.output_mark);
  }
}

// While the answer is pending only these commands are taken: each ends the
// message (or the connection), and with it the evaluation.
bool ends_pending_message(std::uint8_t command) noexcept {
  switch (static_cast<MilterCommand>(command)) {
    case MilterCommand::Abort:
    case MilterCommand::QuitNc:
    case MilterCommand::Quit: return true;
    default: return false;
  }
}

bool handle_abort(MilterHost& host, MilterConnection& connection, Bytes) {
  if (const auto& abort = host.handlers().abort) abort(connection);
  reset_message(connection);
  return true;
}

bool handle_quit_nc(MilterHost&, MilterConnection& connection, Bytes) {
  reset_message(connection);
  return true;
}

bool handle_quit(MilterHost& host, MilterConnection& connection, Bytes) {
  host.close_connection(connection.descriptor());
  return false;
}

CommandHandler handler_for(std::uint8_t command) noexcept {
  switch (static_cast<MilterCommand>(command)) {
    case MilterCommand::OptNeg: return handle_optneg;
    case MilterCommand::Macro: return handle_macro;
    case MilterCommand::Connect: return handle_connect;
    case MilterCommand::Helo: return handle_helo;
    case MilterCommand::Mail: return handle_mail;
    case MilterCommand::Rcpt: return handle_rcpt;
    case MilterCommand::Header: return handle_header;
    case MilterCommand::Eoh: return handle_eoh;
    case MilterCommand::Body: return handle_body;
    case MilterCommand::BodyEob: return handle_eom;
    case MilterCommand::Abort: return handle_abort;
    case MilterCommand::QuitNc: return handle_quit_nc;
    case MilterCommand::Quit: return handle_quit;
    case MilterCommand::Data:
    case MilterCommand::Unknown: break;
  }
  return nullptr;
}

// SMFIC_DATA, SMFIC_UNKNOWN and unassigned bytes are answered (unless
// negotiated without reply) and otherwise ignored; at debug level the trace names what was skipped.
bool handle_ignored(MilterHost& host, MilterConnection& connection, std::uint8_t command) {
  const bool answered = (connection.protocol & no_reply_flag(command)) == 0;
  if (log_enabled(Severity::Debug)) {
    log_message(Severity::Debug,
                cat("milter: ignored ", milter_command_name(command), " from ",
                    peer_text(connection), answered ? ", answered " : ", not answered",
                    answered ? milter_response_name(MilterResponse::Continue) : ""));
  }
  return !answered || answer(host, connection, MilterResponse::Continue);
}

}  // namespace

bool dispatch_packet(MilterHost& host, MilterConnection& connection, const MilterPacket& packet) {
  const CommandHandler handler = handler_for(packet.command);
  if (handler == nullptr) return handle_ignored(host, connection, packet.command);
  return handler(host, connection, packet.payload);
}

bool dispatch_input(MilterHost& host, MilterConnection& connection) {
  for (;;) {
    if (connection.verdict.input_held) return true;
    const Result<std::optional<MilterPacket>> packet = take_packet(connection.input);
    if (!packet) {
      host.close_connection(connection.descriptor());
      return false;
    }
    if (!*packet) return true;
    if (connection.verdict.pending()) {
      if (!ends_pending_message((*packet)->command)) {
        connection.verdict.input_held = true;
        return true;
      }
      cancel_verdict(connection);
      // Replies held back while the evaluation ran (the peer had stopped
      // reading) go on now instead of waiting for the next answer.
      if (connection.output.unsent() > 0 && !connection.write_interest_armed &&
          !flush_replies(host, connection)) {
        return false;
      }
    }
    if (!dispatch_packet(host, connection, **packet)) return false;
    consume_packet(connection.input);
  }
}

bool finish_verdict(MilterHost& host, MilterConnection& connection) {
  PendingVerdict& verdict = connection.verdict;
  MilterResponse response = MilterResponse::TempFail;
  try {
    response = verdict.task.take_result();
  } catch (const std::bad_alloc&) {
    // The handler's own guard failed to turn it into a value; the message
    // cannot be vouched for.
  }
  verdict.task.reset();
  verdict.waiting = false;
  verdict.input_held = false;
  return answer_message(host, connection, response);
}

void reset_message(MilterConnection& connection) noexcept {
  for (const MacroSlot which : {MacroSlot::MailAddr, MacroSlot::RcptAddr, MacroSlot::QueueId}) {
    slot(connection, which) = std::string();
  }
  connection.headers = std::vector<HeaderField>();
  connection.sender = std::string();
  connection.recipients = std::vector<std::string>();
  connection.header_bytes = 0;
  connection.header_limit_reached = false;
}

}  // namespace tessvane
