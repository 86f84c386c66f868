#pragma once
// Loading the whitelist and trusted-relays files into their holders at
// start-up and again on SIGHUP, and the wake-up of the workers that follows a
// reload. Main thread only; every outcome is logged here and none is fatal.

#include <optional>
#include <string>
#include <string_view>

#include "config/generation.h"
#include "config/list_holder.h"
#include "config/settings.h"

namespace tessvane {

inline constexpr std::string_view kWhitelistName = "whitelist";
inline constexpr std::string_view kTrustedRelaysName = "trusted relays";

// Start-up load of one list ({what} names it in the warnings). Without a path
// nothing happens; a file that cannot be read leaves the list unpublished.
// Each list published advances the generation by one. With a reader (root
// loading for the account it will drop to), a file that account could not
// read is refused like one that cannot be read.
void load_list(ListHolder& holder, const std::optional<std::string>& path, std::string_view what,
               const FileReader* reader = nullptr);

// SIGHUP reload of one list: on success the new list is published and true is
// returned; on any failure the published list stays and false is returned.
// While ListHolder::kMaxRetired replaced lists still await reclamation (a
// worker is busy), the new list is held back instead (logged at info) and
// false is returned; publish_held_list publishes it later.
bool reload_list(ListHolder& holder, const std::optional<std::string>& path, std::string_view what);

// Publishes the list held back by an earlier reload once reclamation left
// room; true when it did (logged like a reload).
bool publish_held_list(ListHolder& holder, const std::optional<std::string>& path,
                       std::string_view what);

// The end of a SIGHUP after both lists: when a list changed, every worker is
// woken through its reload pipe (its acknowledgement then sees the new
// generation); otherwise the generation is advanced here and logged, so that
// every SIGHUP advances it at least once.
void finish_reload(GenerationRecord& record, bool changed);

// The whitelist, then the trusted relays, from the settings' paths, into the
// process-wide holders.
void load_configured_lists(const Settings& config, const FileReader* reader = nullptr);
void reload_configured_lists(const Settings& config);

// Whether a list of the process-wide holders is held back; the signal loop
// then retries publish_held_lists now and then, which wakes the workers when
// a list was published.
bool lists_held_back() noexcept;
void publish_held_lists(const Settings& config);

// Shutdown, after the workers are joined: every retired and current box of
// both process-wide holders, then the process-wide generation record.
void release_configured_lists() noexcept;

}  // namespace tessvane
