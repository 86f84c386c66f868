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

#include <string_view>

#include "base/error_code.h"
#include "config/settings.h"

namespace tessvane {

Result<Settings> load_settings(std::string_view path);

}  // namespace tessvane
