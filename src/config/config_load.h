#pragma once
// Loading the configuration file into Settings: read, parse, validate,
// extract, in that order. Runs once, at start-up, while the logger is still in
// its initial state (standard error).
//
// Every failure is logged at err before it is returned ("failed to load config
// {path}: {error}", the key-validation and listener messages); the two
// key-validation messages are also written directly to standard error.
// Errors: NameTooLong, the open/read error, FileTooBig, OutOfMemory,
// InvalidConfiguration (a key that is unknown or in the wrong section),
// InvalidMode (UMask), MissingListenerSocket, InvalidListenerSocket.
// Nothing of a failed load survives.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_code.h"
#include "config/settings.h"

namespace tessvane {

// What a configuration check (tessvane -t) hears besides the fatal errors.
// With a report, key validation goes on past the first bad key and collects
// each key message here instead of writing it; every value that could not be
// used, so that its key keeps its default, and every recognised key in a
// general section other than [global] (never read) is noted too. Loading
// still fails with InvalidConfiguration when a key was bad; the settings the
// values give are then kept in the report, so that the check can go on.
struct LoadReport {
  std::vector<std::string> problems;
  std::optional<Settings> despite_bad_keys;
};

Result<Settings> load_settings(std::string_view path, LoadReport* report = nullptr);

}  // namespace tessvane
