#include "milter/connection.h"

#include <algorithm>

#include "milter/host.h"

namespace tessvane {

void MilterConnection::set_peer_label(std::string_view label) noexcept {
  const std::size_t length = std::min(label.size(), peer_label.size());
  std::copy_n(label.data(), length, peer_label.data());
  peer_label_length = static_cast<std::uint8_t>(length);
}

void PendingVerdict::task_finished() noexcept {
  if (waiting && host != nullptr) host->verdict_ready(descriptor, serial);
}

PeerIdentity peer_identity(const MilterConnection& connection) noexcept {
  const std::string_view name = connection.macro(MacroSlot::DaemonName);
  const std::string_view address = connection.peer_label_text();
  return {name.empty() ? std::string_view("unknown") : name,
          address.empty() ? std::string_view("local") : address};
}

}  // namespace tessvane
