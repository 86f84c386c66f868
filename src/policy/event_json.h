#pragma once
// The JSON object of a published verdict event (see publisher.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace tessvane {

// Appends value escaped for a JSON string: \b \t \n \f \r \" \\ for those
// bytes, \u00xx (lowercase hex) for the other bytes below 0x20, the other
// ASCII bytes (DEL included) and every well-formed UTF-8 sequence unchanged,
// and \ufffd for each byte that is no part of one, so that the text is
// always valid UTF-8 (RFC 8259 8.1).
void append_json_escaped(std::string& out, std::string_view value);
// Bytes append_json_escaped writes for value.
std::size_t json_escaped_size(std::string_view value) noexcept;

// {"client_ip":"...","helo":"...","mail_from":"...","result":"...","domain":"..."}
// with no whitespace, built in one allocation. Every value but result is
// escaped; result must be an SPF result name. May throw std::bad_alloc.
std::string event_json(std::string_view client_ip, std::string_view helo,
                       std::string_view mail_from, std::string_view result,
                       std::string_view domain);

}  // namespace tessvane
