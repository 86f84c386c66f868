#include <new>

#include "base/byte_reader.h"
#include "milter/connection.h"
#include "policy/auth_results.h"

namespace tessvane {

Status add_authentication_results(MilterConnection& connection, std::string_view authserv_id,
                                  std::string_view result, std::string_view comment,
                                  std::string_view mail_from, std::string_view helo,
                                  std::optional<std::string_view> client_ip) {
  try {
    const std::string value =
        authentication_results_value(authserv_id, result, comment, mail_from, helo, client_ip);
    const Result<std::string> body = insheader_reply(value);
    if (!body) return fail(body.error());
    return queue_reply(connection, as_bytes(*body));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace tessvane
