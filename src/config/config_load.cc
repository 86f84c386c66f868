#include "config/config_load.h"

#include <algorithm>
#include <array>
#include <new>

#include "base/number.h"
#include "base/text.h"
#include "config/config_file.h"
#include "config/config_values.h"
#include "base/file_read.h"
#include "log/fixed_line.h"
#include "log/logger.h"

namespace tessvane {
namespace {

constexpr std::string_view kListenerPrefix = "listener:";
constexpr std::string_view kSocketKey = "Socket";

// The keys of general sections, in the program's table order; Socket is the
// one listener key.
constexpr std::array<std::string_view, 27> kGeneralKeys = {
    "MaxHeaders",     "MaxHeaderBytes",   "MaxBodyBytes",   "MaxSignatures",
    "Syslog",         "SyslogFacility",   "LogLevel",       "AuthservID",
    "WorkerThreads",  "MaxConnections",   "PidFile",        "User",
    "UMask",          "Foreground",       "DnsNameserver",  "DnsTimeout",
    "DnsRetries",     "DnsCacheSize",     "DnsNegativeTTL", "ZmqEndpoint",
    "ZmqTopic",       "StripAuthResults", "WhitelistFile",  "TrustedRelaysFile",
    "MaxVoidLookups", "MaxEvaluationMs",  "MilterOneRoundTrip",
};

bool is_general_key(std::string_view key) {
  return std::find(kGeneralKeys.begin(), kGeneralKeys.end(), key) != kGeneralKeys.end();
}

bool is_listener_section(std::string_view name) {
  return name.starts_with(kListenerPrefix);
}

// Built without allocating so that it can be written when memory has run out.
void log_load_failure(std::string_view path, ErrorCode error) noexcept {
  if (!log_enabled(Severity::Err)) return;
  FixedLine line;
  line << "failed to load config " << path << ": error." << error_name(error);
  log_message(Severity::Err, line.text());
}

// Both messages go to the log and, because they explain a refusal to start
// that an administrator must see, straight to standard error as well.
void report_key_error(const std::string& message) {
  log_message(Severity::Err, message);
  write_stderr_locked(message);
}

Status check_key(const ConfigSection& section, std::string_view key, LoadReport* report) {
  const bool listener = is_listener_section(section.name());
  if (listener ? key == kSocketKey : is_general_key(key)) {
    if (report != nullptr && !listener && section.name() != kGlobalSection) {
      report->problems.push_back(cat("config: [", section.name(), "] key \"", key,
                                     "\" has no effect: only [global] is read"));
    }
    return {};
  }
  std::string message =
      listener && is_general_key(key)
          ? cat("config: [", section.name(), "] key \"", key,
                "\" is a global key with no effect here; move it to [global]. Refusing to start")
          : cat("config: [", section.name(), "] unrecognized key \"", key,
                "\" (typo?); refusing to start");
  if (report != nullptr) {
    report->problems.push_back(std::move(message));
  } else {
    report_key_error(message);
  }
  return fail(ErrorCode::InvalidConfiguration);
}

// Without a report the first bad key ends validation; with one every key is
// checked.
Status validate(const ConfigFile& file, LoadReport* report) {
  bool bad = false;
  for (const auto& section : file.sections()) {
    for (const auto& entry : section.entries()) {
      if (check_key(section, entry.key, report)) continue;
      if (report == nullptr) return fail(ErrorCode::InvalidConfiguration);
      bad = true;
    }
  }
  if (bad) return fail(ErrorCode::InvalidConfiguration);
  return {};
}

// The first listener failure ends loading; these fields are logged sanitized.
Result<ListenerSpec> extract_listener(const ConfigSection& section) {
  const std::string* socket = section.find(kSocketKey);
  if (socket == nullptr) {
    if (log_enabled(Severity::Err)) {
      log_message(Severity::Err, cat("config: [", sanitized(section.name()),
                                     "] has no Socket setting -- a listener section must "
                                     "name an address"));
    }
    return fail(ErrorCode::MissingListenerSocket);
  }
  auto listener = parse_listen_address(*socket);
  if (!listener) {
    if (log_enabled(Severity::Err)) {
      log_message(Severity::Err,
                  cat("config: [", sanitized(section.name()), "] Socket=", sanitized(*socket),
                      " is not a valid listen address (error.", error_name(listener.error()),
                      ") -- expected inet:port@ip or unix:/path"));
    }
    return fail(ErrorCode::InvalidListenerSocket);
  }
  return listener;
}

Status extract_listeners(const ConfigFile& file, Settings& out) {
  std::vector<ListenerSpec> listeners;
  for (const auto& section : file.sections()) {
    if (!is_listener_section(section.name())) continue;
    auto listener = extract_listener(section);
    if (!listener) return fail(listener.error());
    listeners.push_back(std::move(*listener));
  }
  if (!listeners.empty()) out.listeners = std::move(listeners);
  return {};
}

// Readers for one key of [global]; an absent or unusable value leaves the
// field at its default.
class GlobalKeys {
 public:
  GlobalKeys(const ConfigSection& global, LoadReport* report)
      : global_(global), report_(report) {}

  const std::string* find(std::string_view key) const { return global_.find(key); }

  // A value that could not be used: the key keeps its default.
  void note_fallback(std::string_view key, std::string_view value) const {
    if (report_ == nullptr) return;
    report_->problems.push_back(cat("config: [global] ", key, " = ", sanitized(value),
                                    " is malformed; ", key, " keeps its default"));
  }
  void note(std::string message) const {
    if (report_ != nullptr) report_->problems.push_back(std::move(message));
  }

  void text(std::string_view key, std::string& field) const {
    if (const auto* value = find(key)) field = *value;
  }
  void text(std::string_view key, std::optional<std::string>& field) const {
    if (const auto* value = find(key)) field = *value;
  }
  template <typename T>
  void unsigned_number(std::string_view key, T& field) const {
    if (const auto* value = find(key)) take(parse_unsigned_as<T>(*value), field, key, *value);
  }
  void signed_number(std::string_view key, std::int64_t& field) const {
    if (const auto* value = find(key)) take(parse_signed64(*value), field, key, *value);
  }
  void size(std::string_view key, std::uint64_t& field) const {
    if (const auto* value = find(key)) take(parse_size_value(*value), field, key, *value);
  }
  void boolean(std::string_view key, bool& field) const {
    if (const auto* value = find(key)) take(parse_bool_value(*value), field, key, *value);
  }

 private:
  template <typename Parsed, typename T>
  void take(const Parsed& parsed, T& field, std::string_view key, std::string_view value) const {
    if (parsed) {
      field = *parsed;
    } else {
      note_fallback(key, value);
    }
  }

  const ConfigSection& global_;
  LoadReport* report_;
};

Status extract_process_keys(const GlobalKeys& keys, Settings& out) {
  keys.text("AuthservID", out.authserv_id);
  keys.unsigned_number("WorkerThreads", out.worker_threads);
  keys.text("PidFile", out.pid_file);
  keys.boolean("Foreground", out.foreground);
  keys.text("User", out.user);
  if (const auto* value = keys.find("UMask")) {
    auto mask = parse_umask_value(*value);
    if (!mask) {
      keys.note(cat("config: [global] UMask = ", sanitized(*value),
                    " is not an octal number of at most 16 bits; refusing to start"));
      return fail(mask.error());
    }
    out.umask = *mask;
  }
  return {};
}

void extract_dns_keys(const GlobalKeys& keys, Settings& out) {
  if (const auto* value = keys.find("DnsNameserver")) out.nameservers = split_nameservers(*value);
  if (const auto* value = keys.find("DnsTimeout")) {
    if (auto ms = parse_dns_timeout_ms(*value)) {
      out.dns_timeout_ms = *ms;
    } else {
      keys.note_fallback("DnsTimeout", *value);
    }
  }
  keys.unsigned_number("DnsRetries", out.dns_retries);
  keys.unsigned_number("DnsCacheSize", out.dns_cache_size);
  keys.unsigned_number("DnsNegativeTTL", out.dns_negative_ttl);
}

void extract_message_keys(const GlobalKeys& keys, Settings& out) {
  keys.text("WhitelistFile", out.whitelist_file);
  keys.text("TrustedRelaysFile", out.trusted_relays_file);
  keys.boolean("StripAuthResults", out.strip_auth_results);
  keys.size("MaxBodyBytes", out.max_body_bytes);
  keys.unsigned_number("MaxHeaders", out.max_headers);
  keys.size("MaxHeaderBytes", out.max_header_bytes);
  keys.unsigned_number("MaxSignatures", out.max_signatures);
  keys.unsigned_number("MaxVoidLookups", out.max_void_lookups);
  keys.signed_number("MaxEvaluationMs", out.max_evaluation_ms);
  keys.text("ZmqEndpoint", out.zmq_endpoint);
  keys.text("ZmqTopic", out.zmq_topic);
  keys.boolean("MilterOneRoundTrip", out.milter_one_round_trip);
}

void extract_log_keys(const GlobalKeys& keys, Settings& out) {
  keys.boolean("Syslog", out.to_syslog);
  // Unknown names read as the defaults mail and info; only a check tells.
  if (const auto* value = keys.find("SyslogFacility")) {
    out.facility = facility_code(*value);
    if (out.facility == facility_code("mail") && !iequals(*value, "mail")) {
      keys.note_fallback("SyslogFacility", *value);
    }
  }
  if (const auto* value = keys.find("LogLevel")) {
    out.level = level_code(*value);
    if (out.level == level_code("info") && !iequals(*value, "info")) {
      keys.note_fallback("LogLevel", *value);
    }
  }
}

Result<Settings> extract(const ConfigFile& file, std::string_view path, LoadReport* report) {
  Settings out;
  out.config_path = path;
  const GlobalKeys keys(file.global(), report);
  auto status = extract_process_keys(keys, out);
  if (status) status = extract_listeners(file, out);
  if (!status) return fail(status.error());
  keys.unsigned_number("MaxConnections", out.max_connections);
  extract_dns_keys(keys, out);
  extract_message_keys(keys, out);
  extract_log_keys(keys, out);
  return out;
}

}  // namespace

Result<Settings> load_settings(std::string_view path, LoadReport* report) {
  try {
    auto content = read_whole_file(path);
    if (!content) {
      log_load_failure(path, content.error());
      return fail(content.error());
    }
    const ConfigFile file = parse_config(*content);
    auto status = validate(file, report);
    if (!status && report == nullptr) return fail(status.error());
    auto extracted = extract(file, path, report);
    if (!status) {
      if (extracted) report->despite_bad_keys = std::move(*extracted);
      return fail(status.error());
    }
    return extracted;
  } catch (const std::bad_alloc&) {
    log_load_failure(path, ErrorCode::OutOfMemory);
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace tessvane
