#pragma once
// Hand-built DNS wire bytes for the codec and resolver tests, written out
// field by field so that a fault in the codec cannot hide in the tests.

#include <cstdint>
#include <string>
#include <string_view>

namespace tessvane::wire {

inline std::string u8(unsigned value) {
  return std::string(1, static_cast<char>(value & 0xFF));
}
inline std::string u16(unsigned value) {
  return u8(value >> 8) + u8(value);
}
inline std::string u32(std::uint32_t value) {
  return u16(value >> 16) + u16(value & 0xFFFF);
}

// Length-prefixed labels of a dotted name and the zero byte; "" is the root.
inline std::string name(std::string_view dotted) {
  std::string out;
  while (!dotted.empty()) {
    const auto dot = dotted.find('.');
    const auto label = dotted.substr(0, dot);
    out += u8(static_cast<unsigned>(label.size()));
    out += label;
    dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
  }
  return out + u8(0);
}

inline std::string pointer(unsigned offset) {
  return u8(0xC0 | (offset >> 8)) + u8(offset);
}

inline std::string header(unsigned id, unsigned flags, unsigned qdcount, unsigned ancount,
                          unsigned nscount = 0, unsigned arcount = 0) {
  return u16(id) + u16(flags) + u16(qdcount) + u16(ancount) + u16(nscount) + u16(arcount);
}

inline std::string question(std::string_view dotted, unsigned type) {
  return name(dotted) + u16(type) + u16(1);
}

// owner is already in wire form (a name() or a pointer()).
inline std::string record(const std::string& owner, unsigned type, std::uint32_t ttl,
                          const std::string& rdata) {
  return owner + u16(type) + u16(1) + u32(ttl) + u16(static_cast<unsigned>(rdata.size())) + rdata;
}

inline std::string character_string(std::string_view text) {
  return u8(static_cast<unsigned>(text.size())) + std::string(text);
}

}  // namespace tessvane::wire
