#pragma once
// The one error vocabulary of the system. Every fallible operation returns
// Result<T> (a value or an ErrorCode); errors travel up unchanged unless a
// caller maps them on purpose.

#include <cstdint>
#include <expected>
#include <string_view>

namespace tessvane {

// clang-format off
// The names of the shared vocabulary, then the platform failures it lacks.
#define TESSVANE_ERROR_CODES(X) \
  X(InvalidArgument) \
  X(FileNotFound) \
  X(AccessDenied) \
  X(NameTooLong) \
  X(Unexpected) \
  X(ProcessNotFound) \
  X(SymLinkLoop) \
  X(ProcessFdQuotaExceeded) \
  X(SystemFdQuotaExceeded) \
  X(SystemResources) \
  X(FileTooBig) \
  X(IsDir) \
  X(NotDir) \
  X(OutOfMemory) \
  X(BrokenPipe) \
  X(ConnectionResetByPeer) \
  X(InvalidConfiguration) \
  X(InvalidMode) \
  X(Overflow) \
  X(InvalidCharacter) \
  X(MissingListenerSocket) \
  X(InvalidPort) \
  X(InvalidEnd) \
  X(Incomplete) \
  X(NonCanonical) \
  X(InvalidIp) \
  X(InvalidAddress) \
  X(InvalidPath) \
  X(InvalidListenerSocket) \
  X(InvalidUserSpec) \
  X(UsernameTooLong) \
  X(UserNotFound) \
  X(GroupNameTooLong) \
  X(GroupNotFound) \
  X(AddressFamilyNotSupported) \
  X(AddressInUse) \
  X(AddressNotAvailable) \
  X(ReadOnlyFileSystem) \
  X(EventNotFound) \
  X(AlreadyRunning) \
  X(RefusingToDropToRoot) \
  X(SetgroupsFailed) \
  X(SetgidFailed) \
  X(SetuidFailed) \
  X(PrivilegeDropNotEffective) \
  X(InvalidServerCount) \
  X(InvalidNameserver) \
  X(PacketTooLarge) \
  X(OutputQueueFull) \
  X(TermLimitExceeded) \
  X(MechanismRecordLimitExceeded) \
  X(VoidLookupLimitExceeded) \
  X(NoRecordAtTarget) \
  X(RecordSyntax) \
  X(DnsTransient) \
  X(Timeout) \
  X(UnknownMechanism) \
  X(MissingArgument) \
  X(UnexpectedArgument) \
  X(UnexpectedCidr) \
  X(InvalidCidr) \
  X(InvalidDomainSpec) \
  X(InvalidMacro) \
  X(DuplicateModifier) \
  X(EmptyLabel) \
  X(LabelTooLong) \
  X(TooManyLabels) \
  X(DnsNoHealthyServers) \
  X(DnsTimeout) \
  X(PacketTooShort) \
  X(InvalidPointer) \
  X(TooManyPointers) \
  X(IdMismatch) \
  X(DnsNameError) \
  X(DnsServerFailure) \
  X(ConnectionAborted) \
  X(SocketNotListening) \
  X(ProtocolFailure) \
  X(BlockedByFirewall) \
  X(WouldBlock) \
  X(Interrupted) \
  X(ConnectionRefused) \
  X(NetworkUnreachable) \
  X(NoSpaceLeft) \
  X(FileBusy) \
  X(NotSocket) \
  X(ConnectionTimedOut) \
  X(NotRegularFile)
// clang-format on

enum class ErrorCode : std::uint8_t {
#define TESSVANE_ERROR_ENUM(name) name,
  TESSVANE_ERROR_CODES(TESSVANE_ERROR_ENUM)
#undef TESSVANE_ERROR_ENUM
};

// The bare name ("DnsTimeout"). Log texts write it after "error.".
std::string_view error_name(ErrorCode code) noexcept;

// Platform errno values mapped to names in the same style; unknown ones are
// Unexpected.
ErrorCode error_from_errno(int err) noexcept;

template <typename T>
using Result = std::expected<T, ErrorCode>;
using Status = std::expected<void, ErrorCode>;

inline std::unexpected<ErrorCode> fail(ErrorCode code) noexcept {
  return std::unexpected<ErrorCode>(code);
}

}  // namespace tessvane
