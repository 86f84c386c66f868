#include "config/list_reload.h"

#include "log/fixed_line.h"
#include "log/logger.h"

// The messages are built without allocating: a reload is often asked for
// because memory ran short, and it must then report and keep the old list
// rather than throw out of the signal loop.

namespace tessvane {
namespace {

void log_line(Severity severity, const FixedLine& line) noexcept {
  log_message(severity, line.text());
}

void log_reloaded(const ListHolder& holder, std::string_view path, std::string_view what) {
  if (log_enabled(Severity::Info)) {
    log_line(Severity::Info, FixedLine() << what << " reloaded from " << path << " (generation "
                                         << holder.record().generation() << ", "
                                         << std::uint64_t{holder.retired_count()}
                                         << " awaiting reclamation)");
  }
}

}  // namespace

void load_list(ListHolder& holder, const std::optional<std::string>& path, std::string_view what,
               const FileReader* reader) {
  if (!path) return;
  const bool warn = log_enabled(Severity::Warning);
  auto list = load_address_list(*path, reader);
  if (!list) {
    if (warn) {
      log_line(Severity::Warning, FixedLine() << "failed to load " << what << ": " << *path
                                              << ": error." << error_name(list.error()));
    }
    return;
  }
  auto box = holder.box(std::move(*list));
  if (!box) {
    if (warn) {
      log_line(Severity::Warning, FixedLine() << "failed to box " << what << " " << *path
                                              << ": error." << error_name(box.error()));
    }
    return;
  }
  auto published = holder.publish(std::move(*box));
  if (!published && warn) {
    log_line(Severity::Warning, FixedLine() << "failed to publish " << what << " " << *path
                                            << ": error." << error_name(published.error()));
  }
}

bool reload_list(ListHolder& holder, const std::optional<std::string>& path,
                 std::string_view what) {
  if (!path) return false;
  const bool warn = log_enabled(Severity::Warning);
  auto list = load_address_list(*path);
  if (!list) {
    if (warn) {
      log_line(Severity::Warning, FixedLine() << "reload: failed to re-read " << what << " "
                                              << *path << ": error." << error_name(list.error())
                                              << ", keeping previous");
    }
    return false;
  }
  auto box = holder.box(std::move(*list));
  if (!box) {
    if (warn) {
      log_line(Severity::Warning,
               FixedLine() << "reload: out of memory boxing " << what << ", keeping previous");
    }
    return false;
  }
  auto offered = holder.offer(std::move(*box));
  if (!offered) {
    if (warn) {
      log_line(Severity::Warning,
               FixedLine() << "reload: out of memory publishing " << what << ", keeping previous");
    }
    return false;
  }
  if (*offered == ListHolder::Offered::HeldBack) {
    if (log_enabled(Severity::Info)) {
      log_line(Severity::Info, FixedLine() << "reload: " << what << " from " << *path
                                           << " held back while "
                                           << std::uint64_t{holder.retired_count()}
                                           << " replaced lists await reclamation");
    }
    return false;
  }
  log_reloaded(holder, *path, what);
  return true;
}

bool publish_held_list(ListHolder& holder, const std::optional<std::string>& path,
                       std::string_view what) {
  if (!path || !holder.holds_back()) return false;
  auto published = holder.publish_held();
  if (!published) {
    if (log_enabled(Severity::Warning)) {
      log_line(Severity::Warning,
               FixedLine() << "reload: out of memory publishing " << what << ", keeping previous");
    }
    return false;
  }
  if (*published) log_reloaded(holder, *path, what);
  return *published;
}

void finish_reload(GenerationRecord& record, bool changed) {
  if (changed) {
    record.wake_workers();
    return;
  }
  const std::uint64_t now = record.advance();
  if (log_enabled(Severity::Info)) {
    log_line(Severity::Info, FixedLine() << "config generation advanced to " << now);
  }
}

void load_configured_lists(const Settings& config, const FileReader* reader) {
  load_list(whitelist_holder(), config.whitelist_file, kWhitelistName, reader);
  load_list(trusted_relays_holder(), config.trusted_relays_file, kTrustedRelaysName, reader);
}

void reload_configured_lists(const Settings& config) {
  bool changed = reload_list(whitelist_holder(), config.whitelist_file, kWhitelistName);
  // Both lists are always re-read, whatever the first one did.
  changed = reload_list(trusted_relays_holder(), config.trusted_relays_file, kTrustedRelaysName) ||
            changed;
  finish_reload(generation_record(), changed);
}

bool lists_held_back() noexcept {
  return whitelist_holder().holds_back() || trusted_relays_holder().holds_back();
}

void publish_held_lists(const Settings& config) {
  bool changed = publish_held_list(whitelist_holder(), config.whitelist_file, kWhitelistName);
  changed = publish_held_list(trusted_relays_holder(), config.trusted_relays_file,
                              kTrustedRelaysName) ||
            changed;
  if (changed) generation_record().wake_workers();
}

void release_configured_lists() noexcept {
  whitelist_holder().release_all();
  trusted_relays_holder().release_all();
  generation_record().release();
}

}  // namespace tessvane
