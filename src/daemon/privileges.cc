#include "daemon/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace tessvane {
namespace {

// The reentrant lookups need a scratch buffer for the entry's strings; it is
// grown on ERANGE up to this bound (a group with many members can be large).
constexpr std::size_t kLookupBufferStart = 1024;
constexpr std::size_t kLookupBufferMax = std::size_t{1} << 20;

// A name with its terminating NUL; the length was checked by parse_user_spec.
template <std::size_t Max>
std::array<char, Max> terminated(std::string_view name) noexcept {
  std::array<char, Max> out{};
  std::memcpy(out.data(), name.data(), name.size());
  return out;
}

// Runs lookup(name, entry, buffer, size, &found) with a growing buffer.
// Returns the id read by get_id from the entry, or not_found when there is
// no such entry or the lookup keeps failing (the name service is down).
template <typename Entry, typename Lookup, typename GetId>
auto look_up(const char* name, Lookup lookup, GetId get_id, ErrorCode not_found)
    -> Result<decltype(get_id(std::declval<const Entry&>()))> {
  try {
    std::vector<char> buffer(kLookupBufferStart);
    for (;;) {
      Entry entry{};
      Entry* found = nullptr;
      const int rc = lookup(name, &entry, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE && buffer.size() < kLookupBufferMax) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (rc == EINTR) continue;
      if (rc != 0 || found == nullptr) return fail(not_found);
      return get_id(*found);
    }
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

bool holds_nul(std::string_view name) noexcept {
  return name.find('\0') != std::string_view::npos;
}

// The real and effective ids are the wanted ones, and the drop cannot be
// undone: a saved set-user-id of 0 would let the process become root again.
Status ids_are(const Owner& owner) noexcept {
  if (::getuid() != owner.uid || ::geteuid() != owner.uid || ::getgid() != owner.gid ||
      ::getegid() != owner.gid) {
    return fail(ErrorCode::PrivilegeDropNotEffective);
  }
  if (::setuid(0) == 0) return fail(ErrorCode::PrivilegeDropNotEffective);
  return {};
}

}  // namespace

// A NUL byte inside a name would make the C lookup see a shorter, different
// name ("root\0x" is root): such a value is refused as InvalidUserSpec.
Result<UserSpec> parse_user_spec(std::string_view value) {
  UserSpec spec;
  const std::size_t colon = value.find(':');
  spec.user = value.substr(0, colon);
  if (spec.user.empty() || holds_nul(spec.user)) return fail(ErrorCode::InvalidUserSpec);
  if (spec.user.size() >= kUserNameMax) return fail(ErrorCode::UsernameTooLong);
  if (colon == std::string_view::npos) return spec;
  spec.has_group = true;
  spec.group = value.substr(colon + 1);
  if (spec.group.empty() || holds_nul(spec.group)) return fail(ErrorCode::InvalidUserSpec);
  if (spec.group.size() >= kGroupNameMax) return fail(ErrorCode::GroupNameTooLong);
  return spec;
}

Result<Owner> resolve_user(std::string_view value) {
  auto spec = parse_user_spec(value);
  if (!spec) return fail(spec.error());
  const auto user_name = terminated<kUserNameMax>(spec->user);
  auto user = look_up<passwd>(
      user_name.data(), ::getpwnam_r,
      [](const passwd& entry) {
        return Owner{entry.pw_uid, entry.pw_gid};
      },
      ErrorCode::UserNotFound);
  if (!user || !spec->has_group) return user;
  const auto group_name = terminated<kGroupNameMax>(spec->group);
  auto gid = look_up<group>(
      group_name.data(), ::getgrnam_r, [](const group& entry) { return entry.gr_gid; },
      ErrorCode::GroupNotFound);
  if (!gid) return fail(gid.error());
  return Owner{user->uid, *gid};
}

Status drop_privileges(std::string_view value) {
  auto owner = resolve_user(value);
  if (!owner) return fail(owner.error());
  if (owner->uid == 0) return fail(ErrorCode::RefusingToDropToRoot);
  if (::setgroups(0, nullptr) != 0) return fail(ErrorCode::SetgroupsFailed);
  if (::setgid(owner->gid) != 0) return fail(ErrorCode::SetgidFailed);
  if (::setuid(owner->uid) != 0) return fail(ErrorCode::SetuidFailed);
  return ids_are(*owner);
}

}  // namespace tessvane
