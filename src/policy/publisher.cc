#include "policy/publisher.h"

#include <zmq.h>

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "policy/event_json.h"

namespace tessvane {
namespace {

// What start-up stored; written before the workers start, read-only after.
struct PublishingConfig {
  std::optional<std::string> endpoint;
  std::string topic{kDefaultZmqTopic};
};

PublishingConfig& publishing_config() {
  static PublishingConfig config;
  return config;
}

void set_int_option(void* socket, int option, int value) noexcept {
  // Failures only leave libzmq's default in place; publishing goes on.
  static_cast<void>(zmq_setsockopt(socket, option, &value, sizeof value));
}

// Connects a new PUB socket to endpoint, or leaves the publisher without one.
void connect_socket(Publisher& publisher, std::string_view endpoint) noexcept {
  if (endpoint.size() > kMaxZmqEndpointLength) return;
  if (endpoint.find('\0') != std::string_view::npos) return;
  std::array<char, kMaxZmqEndpointLength + 1> terminated{};
  std::copy(endpoint.begin(), endpoint.end(), terminated.begin());

  publisher.context.reset(zmq_ctx_new());
  if (!publisher.context) return;
  publisher.socket.reset(zmq_socket(publisher.context.get(), ZMQ_PUB));
  if (!publisher.socket) {
    publisher.context.reset();
    return;
  }
  set_int_option(publisher.socket.get(), ZMQ_LINGER, 0);
  set_int_option(publisher.socket.get(), ZMQ_SNDHWM, kPublisherSendHighWaterMark);
  if (endpoint.find('[') != std::string_view::npos) {
    set_int_option(publisher.socket.get(), ZMQ_IPV6, 1);
  }
  if (zmq_connect(publisher.socket.get(), terminated.data()) != 0) {
    publisher.socket.reset();
    publisher.context.reset();
  }
}

void set_up(Publisher& publisher) noexcept {
  const PublishingConfig& config = publishing_config();
  try {
    publisher.topic = config.topic;
  } catch (const std::bad_alloc&) {
    return;  // without its topic the publisher stays without a socket
  }
  if (config.endpoint) connect_socket(publisher, *config.endpoint);
}

// One frame: topic, a space, the JSON. A message libzmq refuses is still
// ours and is closed here, so nothing unsent is kept.
void send_event(void* socket, std::string_view topic, std::string_view json) noexcept {
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, topic.size() + 1 + json.size()) != 0) return;
  char* data = static_cast<char*>(zmq_msg_data(&message));
  data = std::copy(topic.begin(), topic.end(), data);
  *data++ = ' ';
  std::copy(json.begin(), json.end(), data);
  if (zmq_msg_send(&message, socket, ZMQ_DONTWAIT) < 0) zmq_msg_close(&message);
}

}  // namespace

void ZmqContextDestroyer::operator()(void* context) const noexcept {
  zmq_ctx_destroy(context);
}

void ZmqSocketCloser::operator()(void* socket) const noexcept {
  zmq_close(socket);
}

void configure_publishing(std::optional<std::string> endpoint, std::string topic) {
  PublishingConfig& config = publishing_config();
  config.endpoint = std::move(endpoint);
  config.topic = std::move(topic);
}

Publisher& publisher_for_thread() noexcept {
  thread_local Publisher publisher;
  if (!publisher.initialised) {
    set_up(publisher);
    publisher.initialised = true;
  }
  return publisher;
}

void publish_result(Publisher& publisher, std::string_view client_ip, std::string_view helo,
                    std::string_view mail_from, std::string_view result,
                    std::string_view domain) noexcept {
  if (!publisher.socket) return;
  try {
    const std::string json = event_json(client_ip, helo, mail_from, result, domain);
    send_event(publisher.socket.get(), publisher.topic, json);
  } catch (const std::bad_alloc&) {
    return;  // the event is lost, as when libzmq drops it
  }
}

}  // namespace tessvane
