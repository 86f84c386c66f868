#pragma once
// Best-effort publication of every verdict as a JSON event on a ZeroMQ PUB
// socket, for an outside collector that binds the endpoint and subscribes.
//
// Each worker thread has its own Publisher (context and PUB socket), set up
// on the thread's first call to publisher_for_thread and kept until the
// thread ends; nothing is shared between threads and no lock is taken. The
// daemon makes that call as each worker thread starts: a PUB socket drops
// every event sent before the collector's subscription has arrived over the
// new connection, so one set up by the first verdict would lose that verdict.
// Publishing never blocks and never reports: an event that cannot be built
// or sent is dropped silently, and the verdict is unaffected.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessvane {

inline constexpr std::string_view kDefaultZmqTopic = "spf.result";
// Longest endpoint passed to zmq_connect; a longer one disables publishing.
inline constexpr std::size_t kMaxZmqEndpointLength = 511;
// Events queued per socket for a slow or absent collector before libzmq drops.
inline constexpr int kPublisherSendHighWaterMark = 1000;

struct ZmqContextDestroyer {
  void operator()(void* context) const noexcept;
};
struct ZmqSocketCloser {
  void operator()(void* socket) const noexcept;
};

struct Publisher {
  std::unique_ptr<void, ZmqContextDestroyer> context;
  // Declared after the context so that it is closed before the context goes.
  // Null: publishing is disabled on this thread.
  std::unique_ptr<void, ZmqSocketCloser> socket;
  std::string topic;
  bool initialised = false;
};

// Stores the endpoint (ZmqEndpoint; absent: nothing is ever published) and
// the topic (ZmqTopic) that every thread's publisher is set up with. The
// start-up sequence calls it once, from the main thread, before any worker
// thread starts; it is not to be called while workers may publish. Without a
// call there is no endpoint and the topic is kDefaultZmqTopic. May throw
// std::bad_alloc (start-up reports it).
void configure_publishing(std::optional<std::string> endpoint, std::string topic);

// This thread's publisher. The first call on a thread sets it up from the
// configuration: a context and a PUB socket with ZMQ_LINGER 0, ZMQ_SNDHWM
// 1000 and, for an endpoint containing '[', ZMQ_IPV6 1, connected to the
// endpoint. Without an endpoint, with an endpoint over 511 bytes or holding a
// NUL byte, or when a libzmq step fails, the publisher has no socket. The
// set-up is attempted once per thread, never retried and never logged.
Publisher& publisher_for_thread() noexcept;

// Builds the event "<topic> <json>" and sends it as one frame without
// waiting. The four texts are JSON-escaped; result must be an SPF result
// name and is written as it is. Nothing happens without a socket; an event
// libzmq does not take (queue full, out of memory) is released and lost.
void publish_result(Publisher& publisher, std::string_view client_ip, std::string_view helo,
                    std::string_view mail_from, std::string_view result,
                    std::string_view domain) noexcept;

}  // namespace tessvane
