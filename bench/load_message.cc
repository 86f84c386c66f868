#include "load_message.h"

#include <array>
#include <cstdio>

#include "common/milter_wire.h"

namespace tessvane::bench {
namespace {

std::string hex(std::uint64_t value) {
  std::array<char, 24> text{};
  const int n = std::snprintf(text.data(), text.size(), "%llX",
                              static_cast<unsigned long long>(value));
  return std::string(text.data(), static_cast<std::size_t>(n));
}

std::string sender_domain(const MessageShape& shape, std::uint64_t sequence) {
  const std::string label = shape.typical_record ? "typ" : "d";
  if (shape.domains == 0) {
    return label + "n" + shape.cold_tag + "-" + std::to_string(sequence) + "." + shape.zone;
  }
  return label + std::to_string(sequence % shape.domains) + "." + shape.zone;
}

void add_cstr(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back('\0');
}

std::string macros(char command, std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
  std::string payload(1, command);
  for (const auto& [name, value] : pairs) {
    add_cstr(payload, name);
    add_cstr(payload, value);
  }
  return payload;
}

// Ten header fields of about 600 bytes (names and values), the usual mix of
// a message that has crossed two relays.
std::vector<std::pair<std::string, std::string>> headers(const std::string& sender,
                                                         const std::string& domain,
                                                         const std::string& queue_id) {
  return {
      {"Received", "from mail." + domain + " (mail." + domain +
                       " [192.0.2.10]) by mx.bench.test (Postfix) with ESMTPS id " + queue_id +
                       " for <postmaster@bench.example>; Thu, 10 Dec 2026 10:00:00 +0000"},
      {"Received", "from [10.1.2.3] (unknown [10.1.2.3]) by mail." + domain +
                       " (Postfix) with ESMTPSA id 4FgH2k; Thu, 10 Dec 2026 09:59:59 +0000"},
      {"From", "Bench Sender " + sender},
      {"To", "Postmaster <postmaster@bench.example>"},
      {"Subject", "Quarterly figures for the load test, revised"},
      {"Date", "Thu, 10 Dec 2026 09:59:58 +0000"},
      {"Message-ID", "<" + queue_id + ".1765360798@mail." + domain + ">"},
      {"MIME-Version", "1.0"},
      {"Content-Type", "text/plain; charset=utf-8; format=flowed"},
      {"X-Mailer", "bench-milter-load 1.0"},
  };
}

class ScriptBuilder {
 public:
  ScriptBuilder(std::uint32_t protocol) : protocol_(protocol) {}

  // One command with the macros the MTA sends for it (macros are never answered).
  void step(char command, std::string_view payload, std::string_view macro_payload = {}) {
    if ((protocol_ & skip_flag(command)) != 0) return;
    if (!macro_payload.empty()) append_packet(script_.bytes, 'D', macro_payload);
    append_packet(script_.bytes, command, payload);
    if (command == 'E' || (protocol_ & no_reply_flag(command)) == 0) {
      script_.round_end.push_back(script_.bytes.size());
    }
  }

  MessageScript take() { return std::move(script_); }

 private:
  std::uint32_t protocol_;
  MessageScript script_;
};

}  // namespace

std::string negotiation_packet(std::uint32_t actions, std::uint32_t protocol) {
  std::string payload;
  append_u32(payload, kMilterVersion);
  append_u32(payload, actions);
  append_u32(payload, protocol);
  std::string packet;
  append_packet(packet, 'O', payload);
  return packet;
}

MessageScript build_message(const MessageShape& shape, std::uint64_t sequence,
                            std::uint32_t protocol) {
  const std::string domain = sender_domain(shape, sequence);
  const std::string sender = "<user" + std::to_string(sequence % 1000) + "@" + domain + ">";
  const std::string client = "192.0.2." + std::to_string(1 + sequence % 254);
  const std::string queue_id = hex(0x1000000 + sequence);
  const std::string helo = "mail." + domain;

  ScriptBuilder script(protocol);
  std::string connect;
  add_cstr(connect, helo);
  connect.push_back('4');
  connect.append({'\x30', '\x39'});  // port 12345
  add_cstr(connect, client);
  script.step('C', connect,
              macros('C', {{"j", "mx.bench.test"}, {"{daemon_name}", "bench-mta"},
                           {"v", "Postfix 3.7"}, {"{client_addr}", client}}));
  std::string helo_payload;
  add_cstr(helo_payload, helo);
  script.step('H', helo_payload);
  std::string mail;
  add_cstr(mail, sender);
  add_cstr(mail, "SIZE=2048");
  script.step('M', mail, macros('M', {{"i", queue_id}, {"{mail_addr}", sender}}));
  std::string rcpt;
  add_cstr(rcpt, "<postmaster@bench.example>");
  script.step('R', rcpt, macros('R', {{"{rcpt_addr}", "postmaster@bench.example"}}));
  script.step('T', {}, macros('T', {{"i", queue_id}}));
  for (const auto& [name, value] : headers(sender, domain, queue_id)) {
    std::string header;
    add_cstr(header, name);
    // With SMFIP_HDR_LEADSPC the filter gets the value as it stands after the
    // colon, leading space included.
    if ((protocol & kHeaderLeadingSpace) != 0) header.push_back(' ');
    add_cstr(header, value);
    script.step('L', header);
  }
  script.step('N', {});
  script.step('B', std::string(shape.body_bytes, 'x'));
  script.step('E', {}, macros('E', {{"i", queue_id}}));
  return script.take();
}

}  // namespace tessvane::bench
