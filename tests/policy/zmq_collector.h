#pragma once
// A ZeroMQ collector for the publishing tests: a SUB socket bound on loopback
// (an ephemeral TCP port by default) that receives whole frames.

#include <zmq.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessvane::testing {

// The outside collector: a SUB socket bound on loopback.
class Collector {
 public:
  explicit Collector(std::string_view subscription = "",
                     std::string_view bind = "tcp://127.0.0.1:*")
      : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_SUB)) {
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, subscription.data(), subscription.size());
    bound_ = zmq_bind(socket_, std::string(bind).c_str()) == 0;
    std::array<char, 256> endpoint{};
    std::size_t size = endpoint.size();
    if (bound_ && zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint.data(), &size) == 0) {
      endpoint_ = endpoint.data();
    }
  }
  ~Collector() {
    zmq_close(socket_);
    zmq_ctx_destroy(context_);
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  bool bound() const { return bound_; }
  const std::string& endpoint() const { return endpoint_; }

  // The next frame, waiting at most timeout_ms for it.
  std::optional<std::string> receive(int timeout_ms) {
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) != 1) return std::nullopt;
    zmq_msg_t message;
    zmq_msg_init(&message);
    std::optional<std::string> frame;
    if (zmq_msg_recv(&message, socket_, ZMQ_DONTWAIT) >= 0) {
      frame.emplace(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
    }
    zmq_msg_close(&message);
    return frame;
  }

 private:
  void* context_;
  void* socket_;
  bool bound_ = false;
  std::string endpoint_;
};

}  // namespace tessvane::testing
