// Feeds arbitrary bytes, in arbitrary chunks, to one milter connection as an
// MTA would send them, and checks what must hold whatever arrives: no crash
// or sanitizer report, the connection is never touched after it was closed,
// the header limits are never exceeded, the output queue stays within its
// bound, and after each read the input buffer holds less than one packet.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "log/logger.h"
#include "milter/codec.h"
#include "milter/connection.h"
#include "milter/framer.h"
#include "milter/host.h"

namespace {

using namespace tessvane;

void require(bool condition) {
  if (!condition) std::abort();
}

class FuzzHost final : public MilterHost {
 public:
  FuzzHost() {
    // The policy's end-of-message work in miniature: queue a header change,
    // then accept.
    handlers_.eom = [](MilterConnection& connection) {
      const std::byte change[] = {std::byte{'i'}, std::byte{0},   std::byte{0},
                                  std::byte{0},   std::byte{0},   std::byte{'X'},
                                  std::byte{0},   std::byte{'v'}, std::byte{0}};
      (void)queue_reply(connection, change);
      return MilterResponse::Accept;
    };
  }
  void close_connection(int descriptor) override {
    if (connection && connection->descriptor() == descriptor) connection.reset();
  }
  void queue_change(int, InterestChange) override {}
  const MilterHandlers& handlers() const noexcept override { return handlers_; }
  NegotiationMasks negotiation() const noexcept override { return {}; }

  std::unique_ptr<MilterConnection> connection;

 private:
  MilterHandlers handlers_;
};

void drain(int fd) {
  char sink[65536];
  while (::read(fd, sink, sizeof sink) > 0) {
  }
}

}  // namespace

// Every log line is still built and formatted, at every severity, but goes
// to a syslog socket that does not exist, where it is dropped: writing each
// to standard error would take most of the fuzzer's time.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  logger().level = static_cast<std::uint8_t>(Severity::Debug);
  logger().to_syslog = true;
  log_testing::set_syslog_path("/nonexistent/tessvane-fuzz/log");
  open_log_connection();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const UniqueFd mta(fds[1]);

  // The first two bytes choose the header limits, so that both limits and
  // their absence are explored.
  const HeaderLimits limits{static_cast<std::uint64_t>(data[0] % 8),
                            static_cast<std::uint64_t>(data[1]) * 4};
  FuzzHost host;
  host.connection = std::make_unique<MilterConnection>(UniqueFd(fds[0]), limits);
  host.connection->set_peer_label("192.0.2.1");

  Bytes input(reinterpret_cast<const std::byte*>(data + 2), size - 2);
  std::size_t chunk = 1;
  while (!input.empty() && host.connection) {
    chunk = chunk * 3 % 4093 + 1;  // varied, deterministic read sizes
    const Bytes piece = input.first(std::min(chunk, input.size()));
    input = input.subspan(piece.size());
    if (!append_input(host.connection->input, piece)) break;
    if (!dispatch_input(host, *host.connection)) {
      require(host.connection == nullptr);
      break;
    }
    MilterConnection& connection = *host.connection;
    auto next = take_packet(connection.input);
    require(next.has_value() && !next->has_value());
    if (limits.max_headers != 0) require(connection.headers.size() <= limits.max_headers);
    if (limits.max_header_bytes != 0) {
      require(connection.header_bytes <= limits.max_header_bytes);
    }
    require(connection.output.unsent() <= kOutputQueueBound);
    drain(mta.get());
  }
  return 0;
}
