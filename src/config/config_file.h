#pragma once
// The configuration file's in-memory form, used only while loading: sections
// in first-appearance order, each an insertion-ordered map from key to value.
// Names and values are byte strings owned here. A repeated section header
// selects the existing section again; a repeated key replaces the value and
// keeps its first position.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessvane {

// Lets the maps below be searched with a string_view, without a copy.
struct ConfigNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
using ConfigNameIndex =
    std::unordered_map<std::string, std::size_t, ConfigNameHash, std::equal_to<>>;

inline constexpr std::string_view kGlobalSection = "global";

struct ConfigEntry {
  std::string key;
  std::string value;
};

class ConfigSection {
 public:
  explicit ConfigSection(std::string name) : name_(std::move(name)) {}

  const std::string& name() const noexcept { return name_; }
  const std::vector<ConfigEntry>& entries() const noexcept { return entries_; }
  // The value of a key, or nullptr when the section does not have it.
  const std::string* find(std::string_view key) const;
  void set(std::string_view key, std::string_view value);

 private:
  std::string name_;
  std::vector<ConfigEntry> entries_;
  ConfigNameIndex index_;  // key -> position in entries_
};

class ConfigFile {
 public:
  ConfigFile();  // holds the "global" section from the start

  const std::vector<ConfigSection>& sections() const noexcept { return sections_; }
  const ConfigSection& global() const noexcept { return sections_.front(); }
  // The section of that name, created at the end when it is new. The
  // reference stays valid until the next call.
  ConfigSection& section(std::string_view name);

 private:
  std::vector<ConfigSection> sections_;
  ConfigNameIndex index_;  // name -> position in sections_
};

// Cuts the text into lines at LF and applies the file grammar: trimming,
// comments, section headers, key = value. Lines that fit no rule are skipped.
// Throws std::bad_alloc only (load_settings turns it into OutOfMemory).
ConfigFile parse_config(std::string_view content);

}  // namespace tessvane
