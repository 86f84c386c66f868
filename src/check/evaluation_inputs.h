#pragma once
// How tessvane-check turns its options into the inputs of one evaluation, and
// how it reports the result: the five-line block and the exit status.

#include <string>
#include <string_view>

#include "check/command_line.h"
#include "net/address.h"
#include "spf/spf_result.h"

namespace tessvane::check {

// Derived from CheckOptions (which must hold -i and -s); the views borrow
// from the option texts.
class EvaluationInputs {
 public:
  explicit EvaluationInputs(const CheckOptions& options);

  std::string_view client_text() const noexcept { return client_text_; }  // as typed
  std::string_view sender() const noexcept { return sender_; }
  // The text after the sender's last '@'; the whole sender without one.
  std::string_view sender_domain() const noexcept { return sender_domain_; }
  // -e when given (even empty), otherwise the sender domain.
  std::string_view helo() const noexcept { return helo_; }
  // The client as the engine sees it: an IPv4-mapped IPv6 text becomes its
  // dotted quad and the client IPv4.
  std::string_view request_client() const noexcept { return unmapped_.text(); }
  bool client_is_ipv6() const noexcept { return client_is_ipv6_; }
  // The sender's domain part for a real sender (non-empty, not "<>", with an
  // '@'), otherwise the HELO. Empty means nothing is evaluated: result none.
  std::string_view domain() const noexcept { return domain_; }
  // The domain line of the block: the evaluated domain, or the sender domain
  // when that is empty.
  std::string_view shown_domain() const noexcept {
    return domain_.empty() ? sender_domain_ : domain_;
  }

 private:
  std::string_view client_text_;
  std::string_view sender_;
  std::string_view sender_domain_;
  std::string_view helo_;
  UnmappedAddress unmapped_;
  bool client_is_ipv6_ = false;
  std::string_view domain_;
};

// "tessvane-check: {result}\n  domain: ...\n  client-ip: ...\n  sender: ...\n
// helo: ...\n", whatever the lengths of the texts.
std::string format_result_block(SpfResult result, const EvaluationInputs& inputs);

// 0 for none, neutral and pass; 1 for fail, softfail, temperror, permerror.
int exit_status_for(SpfResult result) noexcept;

}  // namespace tessvane::check
