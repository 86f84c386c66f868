#pragma once
// The `User` setting ("user" or "user:group") resolved to ids, and the
// one-way drop from root to those ids.

#include <sys/types.h>

#include <string_view>

#include "base/error_code.h"

namespace tessvane {

// Names of this many bytes or more are refused before any lookup.
inline constexpr std::size_t kUserNameMax = 256;
inline constexpr std::size_t kGroupNameMax = 256;

struct Owner {
  uid_t uid = 0;
  gid_t gid = 0;
  friend bool operator==(const Owner&, const Owner&) = default;
};

// The user part and the optional group part of a `User` value, split at the
// first ':' and length-checked, without any lookup. Errors: InvalidUserSpec
// (empty user, or empty group after ':'), UsernameTooLong, GroupNameTooLong.
struct UserSpec {
  std::string_view user;
  std::string_view group;  // empty: the user's primary group
  bool has_group = false;
};
Result<UserSpec> parse_user_spec(std::string_view value);

// parse_user_spec, then the lookups: the user's uid with the group's gid, or
// with the user's primary gid when no group is named. Errors: those of
// parse_user_spec, UserNotFound, GroupNotFound.
Result<Owner> resolve_user(std::string_view value);

// resolve_user, then: RefusingToDropToRoot for uid 0; clears the
// supplementary groups (SetgroupsFailed), sets the gid (SetgidFailed), then
// the uid (SetuidFailed); finally checks that the real and effective ids are
// the resolved ones (PrivilegeDropNotEffective). Irreversible on success.
Status drop_privileges(std::string_view value);

}  // namespace tessvane
