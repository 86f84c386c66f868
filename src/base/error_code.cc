#include "base/error_code.h"

#include <array>
#include <cerrno>

namespace tessvane {
namespace {

constexpr std::array kErrorNames = {
#define TESSVANE_ERROR_NAME(name) std::string_view(#name),
    TESSVANE_ERROR_CODES(TESSVANE_ERROR_NAME)
#undef TESSVANE_ERROR_NAME
};

}  // namespace

std::string_view error_name(ErrorCode code) noexcept {
  const auto index = static_cast<std::size_t>(code);
  return index < kErrorNames.size() ? kErrorNames[index] : "Unexpected";
}

ErrorCode error_from_errno(int err) noexcept {
  switch (err) {
    case EINVAL: return ErrorCode::InvalidArgument;
    case ENOENT: return ErrorCode::FileNotFound;
    case EACCES:
    case EPERM: return ErrorCode::AccessDenied;
    case ENAMETOOLONG: return ErrorCode::NameTooLong;
    case ESRCH: return ErrorCode::ProcessNotFound;
    case ELOOP: return ErrorCode::SymLinkLoop;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case ENOBUFS: return ErrorCode::SystemResources;
    case ENOMEM: return ErrorCode::OutOfMemory;
    case EFBIG: return ErrorCode::FileTooBig;
    case EISDIR: return ErrorCode::IsDir;
    case ENOTDIR: return ErrorCode::NotDir;
    case EPIPE: return ErrorCode::BrokenPipe;
    case ECONNRESET: return ErrorCode::ConnectionResetByPeer;
    case EAFNOSUPPORT: return ErrorCode::AddressFamilyNotSupported;
    case EADDRINUSE: return ErrorCode::AddressInUse;
    case EADDRNOTAVAIL: return ErrorCode::AddressNotAvailable;
    case EROFS: return ErrorCode::ReadOnlyFileSystem;
    case ECONNABORTED: return ErrorCode::ConnectionAborted;
    case EPROTO: return ErrorCode::ProtocolFailure;
    case EAGAIN: return ErrorCode::WouldBlock;
    case EINTR: return ErrorCode::Interrupted;
    case ECONNREFUSED: return ErrorCode::ConnectionRefused;
    case ENETUNREACH:
    case EHOSTUNREACH: return ErrorCode::NetworkUnreachable;
    case ENOSPC: return ErrorCode::NoSpaceLeft;
    case EBUSY: return ErrorCode::FileBusy;
    case ENOTSOCK: return ErrorCode::NotSocket;
    case ETIMEDOUT: return ErrorCode::ConnectionTimedOut;
    default: return ErrorCode::Unexpected;
  }
}

}  // namespace tessvane
