#pragma once
// What the codec and the output queue need from the worker that owns the
// connection: closing a connection, changing its event interest, the handler
// table and the negotiation masks. The worker event loop implements it; the
// codec and the queue know nothing else about it.

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/byte_reader.h"
#include "base/task.h"
#include "milter/connection.h"
#include "milter/protocol.h"
#include "sys/io_loop.h"

namespace tessvane {

// The platform-neutral interest changes of the event queue.
enum class InterestChange : std::uint8_t {
  ReadEdge,   // edge-triggered read interest (EVFILT_READ, EV_ADD | EV_CLEAR)
  WriteOnce,  // one-shot write interest (EVFILT_WRITE, EV_ADD | EV_ONESHOT)
};

// What a connect handler receives; the texts are slices of the packet.
struct ConnectInfo {
  std::string_view host_name;
  std::string_view address;
  std::uint16_t port = 0;
  char family = 'U';
};

// The nine optional handlers, in protocol order. Every handler but abort
// returns the response byte to send. An absent handler answers
// SMFIR_CONTINUE, except an absent eom, which answers SMFIR_ACCEPT. A step
// negotiated without reply (SMFIP_NR_*) calls its handler and sends nothing.
// Texts passed to handlers are valid only during the call. A handler must not
// close the connection; it may queue replies with queue_reply.
//
// eom is asynchronous: it returns the task that reaches the answer, which
// may wait on the worker's loop (DNS). The codec starts it; while it runs
// the connection reads no further commands, and the connection and the loop
// outlive it (closing the connection destroys the task, which cancels it).
struct MilterHandlers {
  std::function<MilterResponse(MilterConnection&, const ConnectInfo&)> connect;
  std::function<MilterResponse(MilterConnection&, std::string_view helo)> helo;
  std::function<MilterResponse(MilterConnection&, std::string_view sender)> envfrom;
  std::function<MilterResponse(MilterConnection&, std::string_view recipient)> envrcpt;
  std::function<MilterResponse(MilterConnection&, std::string_view name, std::string_view value)>
      header;
  std::function<MilterResponse(MilterConnection&)> eoh;
  std::function<MilterResponse(MilterConnection&, Bytes chunk)> body;
  std::function<Task<MilterResponse>(MilterConnection&, sys::IoLoop&)> eom;
  std::function<void(MilterConnection&)> abort;
};

class MilterHost {
 public:
  virtual ~MilterHost() = default;

  // Removes the connection with this descriptor from the worker's table,
  // closes its socket and destroys it; does nothing for an unknown
  // descriptor. Sends nothing, logs nothing. The caller must not touch the
  // connection afterwards.
  virtual void close_connection(int descriptor) = 0;
  // Queues an interest change for the descriptor, submitted with the next
  // wait of the event loop.
  virtual void queue_change(int descriptor, InterestChange change) = 0;

  virtual const MilterHandlers& handlers() const noexcept = 0;
  virtual NegotiationMasks negotiation() const noexcept = 0;

  // The loop the eom handler's task waits on.
  virtual sys::IoLoop& io_loop() noexcept = 0;
  // Called (from within the loop's handling) when the eom task of the
  // connection with this descriptor and serial has ended after it had to
  // wait; the host then has the codec answer it (finish_verdict) outside
  // any handler. Must not fail or allocate unboundedly.
  virtual void verdict_ready(int descriptor, std::uint64_t serial) noexcept = 0;
};

}  // namespace tessvane
