// The end-of-message handler installed in the codec, as the worker installs
// it: an MTA end of a real socketpair sends a whole transaction, and reads
// back the deletion of the forged header, the verdict header and the answer
// in that order.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "base/byte_reader.h"
#include "config/settings.h"
#include "milter/codec.h"
#include "milter/framer.h"
#include "milter/host.h"
#include "policy/auth_results.h"
#include "policy/evaluate_message.h"
#include "policy/thread_resolver.h"
#include "reply_reader.h"
#include "support/dns_responder.h"
#include "support/log_capture.h"

namespace tessvane {
namespace {

std::string word(std::uint32_t value) {
  const auto bytes = u32_be(value);
  return std::string(as_text(std::span(bytes)));
}

std::string packet(char command, std::string_view payload) {
  return word(static_cast<std::uint32_t>(payload.size() + 1)) + command + std::string(payload);
}

std::string z(std::string_view text) {
  return std::string(text) + '\0';
}

// The worker's part: the handler table with only eom, and a table of one
// connection whose closing destroys it.
class Worker final : public MilterHost {
 public:
  Worker() {
    table.eom = evaluate_message;
    auto made = sys::LocalLoop::create();
    if (made) loop = std::move(*made);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    mta.reset(fds[1]);
    UniqueFd daemon_end(fds[0]);
    fcntl(daemon_end.get(), F_SETFL, fcntl(daemon_end.get(), F_GETFL) | O_NONBLOCK);
    connection = std::make_unique<MilterConnection>(std::move(daemon_end), HeaderLimits{});
  }
  void close_connection(int) override { connection.reset(); }
  void queue_change(int, InterestChange) override {}
  const MilterHandlers& handlers() const noexcept override { return table; }
  NegotiationMasks negotiation() const noexcept override { return {}; }
  sys::IoLoop& io_loop() noexcept override { return *loop; }
  void verdict_ready(int, std::uint64_t) noexcept override { verdict_waiting = false; }

  // Runs the loop until an answer that had to wait is ready, then has the
  // codec send it, as the worker does at the end of its pass.
  bool finish_pending() {
    if (!connection || !connection->verdict.pending()) return true;
    verdict_waiting = true;
    for (int pass = 0; pass < 1000 && verdict_waiting; ++pass) {
      if (!loop->run_once()) return false;
    }
    if (verdict_waiting) return false;
    return finish_verdict(*this, *connection) && dispatch_input(*this, *connection);
  }

  // Reads what the MTA end sent until the socket would block, dispatching it.
  bool pump() {
    std::array<std::byte, 8192> scratch;
    while (connection) {
      const ssize_t n = recv(connection->descriptor(), scratch.data(), scratch.size(), 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false;
      const Bytes bytes = std::span<const std::byte>(scratch).first(static_cast<std::size_t>(n));
      if (!append_input(connection->input, bytes)) return false;
      if (!dispatch_input(*this, *connection)) return false;
      if (!finish_pending()) return false;
    }
    return false;
  }

  std::vector<testing::QueuedReply> replies() {
    std::string bytes;
    std::array<char, 65536> buffer;
    for (ssize_t n; (n = recv(mta.get(), buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
      bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    std::vector<testing::QueuedReply> out;
    ByteReader reader(bytes);
    while (!reader.at_end()) {
      const std::optional<std::uint32_t> length = reader.read_u32_be();
      const std::optional<Bytes> body = length ? reader.read_bytes(*length) : std::nullopt;
      if (!body || body->empty()) {
        ADD_FAILURE() << "partial reply";
        break;
      }
      const std::string_view text = as_text(*body);
      out.push_back({text.front(), std::string(text.substr(1))});
    }
    return out;
  }

  MilterHandlers table;
  std::unique_ptr<sys::LocalLoop> loop;
  std::unique_ptr<MilterConnection> connection;
  UniqueFd mta;
  bool verdict_waiting = false;
};

TEST(EvaluateMessageInCodec, TransactionGetsDeletionHeaderAndAccept) {
  const Settings saved = settings();
  testing::DnsResponder dns;
  ASSERT_TRUE(dns.running());
  ASSERT_TRUE(dns.set_zone(R"({"example.org": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]}})"));
  settings().nameservers = {"127.0.0.1"};
  settings().dns_port = dns.port();
  settings().dns_retries = 0;
  acknowledge_reload();
  testing::LogCapture log;

  Worker worker;
  ASSERT_TRUE(worker.connection);
  const std::string transaction =
      packet('O', word(6) + word(0x1FF) + word(0x1FFFFF)) +
      packet('C', z("client.example.org") + "4" + std::string("\x04\x00", 2) + z("192.0.2.10")) +
      packet('H', z("mx.example.net")) + packet('D', "M" + z("i") + z("Q7")) +
      packet('M', z("<user@example.org>")) + packet('R', z("<rcpt@example.com>")) +
      packet('L', z("Authentication-Results") + z("localhost; spf=pass")) +
      packet('L', z("Subject") + z("hello")) + packet('N', "") + packet('E', "");
  ASSERT_EQ(send(worker.mta.get(), transaction.data(), transaction.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(transaction.size()));
  EXPECT_TRUE(worker.pump());

  const auto replies = worker.replies();
  std::string codes;
  for (const auto& r : replies) codes += r.code;
  EXPECT_EQ(codes, "Occcccccmia");
  ASSERT_EQ(replies.size(), 11u);
  EXPECT_EQ(replies[8].payload, testing::deletion_payload(1));
  Result<std::string> header = insheader_reply(authentication_results_value(
      "localhost", "pass", "", "example.org", "mx.example.net", "192.0.2.10"));
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(std::string(1, replies[9].code) + replies[9].payload, *header);
  EXPECT_TRUE(
      log.contains("id=Q7 peer=unknown[local] client=192.0.2.10 from=user@example.org "
                   "result=pass elapsed="));

  acknowledge_reload();
  settings() = saved;
}

}  // namespace
}  // namespace tessvane
