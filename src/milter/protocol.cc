#include "milter/protocol.h"

#include "base/text.h"

namespace tessvane {

namespace {

std::string_view known_command_name(std::uint8_t command) noexcept {
  switch (static_cast<MilterCommand>(command)) {
    case MilterCommand::Abort: return "SMFIC_ABORT";
    case MilterCommand::Body: return "SMFIC_BODY";
    case MilterCommand::Connect: return "SMFIC_CONNECT";
    case MilterCommand::Macro: return "SMFIC_MACRO";
    case MilterCommand::BodyEob: return "SMFIC_BODYEOB";
    case MilterCommand::Helo: return "SMFIC_HELO";
    case MilterCommand::QuitNc: return "SMFIC_QUIT_NC";
    case MilterCommand::Header: return "SMFIC_HEADER";
    case MilterCommand::Mail: return "SMFIC_MAIL";
    case MilterCommand::Eoh: return "SMFIC_EOH";
    case MilterCommand::OptNeg: return "SMFIC_OPTNEG";
    case MilterCommand::Quit: return "SMFIC_QUIT";
    case MilterCommand::Rcpt: return "SMFIC_RCPT";
    case MilterCommand::Data: return "SMFIC_DATA";
    case MilterCommand::Unknown: return "SMFIC_UNKNOWN";
  }
  return {};
}

}  // namespace

std::string milter_command_name(std::uint8_t command) {
  if (const std::string_view name = known_command_name(command); !name.empty()) {
    return std::string(name);
  }
  constexpr std::string_view kHex = "0123456789ABCDEF";
  return cat("command 0x", kHex[command >> 4], kHex[command & 0x0F]);
}

std::uint32_t no_reply_flag(std::uint8_t command) noexcept {
  switch (static_cast<MilterCommand>(command)) {
    case MilterCommand::Connect: return kSmfipNrConn;
    case MilterCommand::Helo: return kSmfipNrHelo;
    case MilterCommand::Mail: return kSmfipNrMail;
    case MilterCommand::Rcpt: return kSmfipNrRcpt;
    case MilterCommand::Data: return kSmfipNrData;
    case MilterCommand::Header: return kSmfipNrHdr;
    case MilterCommand::Eoh: return kSmfipNrEoh;
    case MilterCommand::Unknown: return kSmfipNrUnkn;
    default: return 0;
  }
}

std::string_view milter_response_name(MilterResponse response) noexcept {
  switch (response) {
    case MilterResponse::OptNeg: return "SMFIC_OPTNEG";
    case MilterResponse::Continue: return "SMFIR_CONTINUE";
    case MilterResponse::Accept: return "SMFIR_ACCEPT";
    case MilterResponse::TempFail: return "SMFIR_TEMPFAIL";
    case MilterResponse::ChgHeader: return "SMFIR_CHGHEADER";
    case MilterResponse::InsHeader: return "SMFIR_INSHEADER";
  }
  return "SMFIR_UNKNOWN";
}

}  // namespace tessvane
