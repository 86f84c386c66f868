#include "check/evaluation_inputs.h"

#include "base/text.h"

namespace tessvane::check {
namespace {

std::string_view after_last_at(std::string_view text) {
  const auto at = text.rfind('@');
  return at == std::string_view::npos ? text : text.substr(at + 1);
}

}  // namespace

EvaluationInputs::EvaluationInputs(const CheckOptions& options)
    : client_text_(options.client_ip.value_or("")),
      sender_(options.sender.value_or("")),
      sender_domain_(after_last_at(sender_)),
      helo_(options.helo.value_or(sender_domain_)),
      unmapped_(unmap_ipv4_mapped(client_text_)),
      client_is_ipv6_(client_text_.find(':') != std::string_view::npos && !unmapped_.was_mapped()) {
  const bool real_sender =
      !sender_.empty() && sender_ != "<>" && sender_.find('@') != std::string_view::npos;
  domain_ = real_sender ? sender_domain_ : helo_;
}

std::string format_result_block(SpfResult result, const EvaluationInputs& inputs) {
  return cat("tessvane-check: ", spf_result_name(result), "\n  domain: ", inputs.shown_domain(),
             "\n  client-ip: ", inputs.client_text(), "\n  sender: ", inputs.sender(),
             "\n  helo: ", inputs.helo(), "\n");
}

int exit_status_for(SpfResult result) noexcept {
  switch (result) {
    case SpfResult::None:
    case SpfResult::Neutral:
    case SpfResult::Pass: return 0;
    case SpfResult::Fail:
    case SpfResult::Softfail:
    case SpfResult::Temperror:
    case SpfResult::Permerror: return 1;
  }
  return 1;
}

}  // namespace tessvane::check
