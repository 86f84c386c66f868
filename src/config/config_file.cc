#include "config/config_file.h"

#include "base/byte_reader.h"
#include "base/text.h"

namespace tessvane {
namespace {

void parse_line(std::string_view line, ConfigFile& file, ConfigSection*& current) {
  line = trim(line);
  if (line.empty() || line.front() == '#' || line.front() == ';') return;
  if (line.front() == '[') {
    const auto close = line.find(']');
    if (close == std::string_view::npos) return;
    const std::string_view name = trim(line.substr(1, close - 1));
    if (name.empty()) return;  // text after ']' is ignored
    current = &file.section(name);
    return;
  }
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view key = trim(line.substr(0, equals));
  if (key.empty()) return;
  current->set(key, trim(line.substr(equals + 1)));
}

}  // namespace

const std::string* ConfigSection::find(std::string_view key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second].value;
}

void ConfigSection::set(std::string_view key, std::string_view value) {
  auto [it, inserted] = index_.try_emplace(std::string(key), entries_.size());
  if (!inserted) {
    entries_[it->second].value.assign(value);
    return;
  }
  entries_.push_back({std::string(key), std::string(value)});
}

ConfigFile::ConfigFile() {
  section(kGlobalSection);
}

ConfigSection& ConfigFile::section(std::string_view name) {
  auto [it, inserted] = index_.try_emplace(std::string(name), sections_.size());
  if (inserted) sections_.emplace_back(std::string(name));
  return sections_[it->second];
}

ConfigFile parse_config(std::string_view content) {
  ConfigFile file;
  // Only section() can move the sections, and current is always replaced by
  // what that call returns.
  ConfigSection* current = &file.section(kGlobalSection);
  ByteReader reader(content);
  while (!reader.at_end()) {
    parse_line(as_text(reader.read_until_or_end(std::byte{'\n'})), file, current);
  }
  return file;
}

}  // namespace tessvane
