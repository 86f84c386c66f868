#pragma once
// The Authentication-Results header (RFC 8601) this system writes for every
// message, and the milter insert-header reply that carries it to the MTA.
//
// The value is "authserv-id;", a forced fold, "spf=<result>", an optional
// comment and the smtp.client-ip, smtp.mailfrom and smtp.helo properties,
// folded at 78 columns by HeaderFolder. The pure builders below may throw
// std::bad_alloc; add_authentication_results turns that into OutOfMemory.

#include <optional>
#include <string>
#include <string_view>

#include "base/error_code.h"

namespace tessvane {

struct MilterConnection;

inline constexpr std::string_view kAuthenticationResultsName = "Authentication-Results";

// Appends a property value: bare when it is non-empty and made only of ASCII
// letters, digits, '-', '.', '@' and '_'; otherwise as a quoted string with
// '\' and '"' escaped and every byte that is not printable ASCII (control
// bytes, DEL, 0x80 and above) written as '?'.
void append_property_value(std::string& out, std::string_view value);

// Appends comment text (without the parentheses): '(', ')' and '\' get a
// backslash, every byte that is not printable ASCII becomes '?'.
void append_comment_text(std::string& out, std::string_view comment);

// The folded header value, lines joined by CR LF TAB. An empty comment is
// left out; so is the client-ip property when client_ip is absent.
std::string authentication_results_value(std::string_view authserv_id, std::string_view result,
                                         std::string_view comment, std::string_view mail_from,
                                         std::string_view helo,
                                         std::optional<std::string_view> client_ip);

// The SMFIR_INSHEADER reply body for a folded value: 'i', header index 0 as
// 4 bytes big-endian (before every other header), the header name, NUL, the
// value with every CR LF turned into LF (the milter form of a line break),
// NUL. InvalidArgument when the value holds a NUL byte, which would cut the
// value short at the MTA (only the authserv-id or the result word, written
// unchanged, can bring one in).
Result<std::string> insheader_reply(std::string_view folded_value);

// Builds the header from the inputs above and queues its insert-header reply
// on the connection (it is written with the end-of-message answer). Errors:
// OutOfMemory, InvalidArgument (see insheader_reply), and those of
// queue_reply (PacketTooLarge, OutputQueueFull, OutOfMemory); on any error
// nothing is queued.
Status add_authentication_results(MilterConnection& connection, std::string_view authserv_id,
                                  std::string_view result, std::string_view comment,
                                  std::string_view mail_from, std::string_view helo,
                                  std::optional<std::string_view> client_ip);

}  // namespace tessvane
