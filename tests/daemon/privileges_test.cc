// The User setting: its syntax, the lookups, and the drop from root.

#include "daemon/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace tessvane {
namespace {

// A group of the system other than the user's primary group, or none.
std::optional<group> some_group_besides(gid_t primary) {
  for (const char* name : {"daemon", "bin", "nogroup", "users", "root"}) {
    const group* entry = ::getgrnam(name);
    if (entry != nullptr && entry->gr_gid != primary) return *entry;
  }
  return std::nullopt;
}

TEST(ParseUserSpec, SplitsAtTheFirstColon) {
  struct Case {
    std::string value;
    std::string user;
    std::string group;
    bool has_group;
  };
  const Case cases[] = {
      {"mailnull", "mailnull", "", false},
      {"mailnull:mail", "mailnull", "mail", true},
      {"a:b:c", "a", "b:c", true},
      {"x", "x", "", false},
      {std::string(255, 'u'), std::string(255, 'u'), "", false},
      {"u:" + std::string(255, 'g'), "u", std::string(255, 'g'), true},
  };
  for (const Case& c : cases) {
    auto spec = parse_user_spec(c.value);
    ASSERT_TRUE(spec) << c.value;
    EXPECT_EQ(spec->user, c.user) << c.value;
    EXPECT_EQ(spec->group, c.group) << c.value;
    EXPECT_EQ(spec->has_group, c.has_group) << c.value;
  }
}

TEST(ParseUserSpec, Errors) {
  const std::pair<std::string, ErrorCode> cases[] = {
      {"", ErrorCode::InvalidUserSpec},
      {":", ErrorCode::InvalidUserSpec},
      {":mail", ErrorCode::InvalidUserSpec},
      {"mailnull:", ErrorCode::InvalidUserSpec},
      {std::string(256, 'u'), ErrorCode::UsernameTooLong},
      {std::string(256, 'u') + ":mail", ErrorCode::UsernameTooLong},
      {"u:" + std::string(256, 'g'), ErrorCode::GroupNameTooLong},
      // The C lookup would stop at the NUL and find root or wheel.
      {std::string("root\0x", 6), ErrorCode::InvalidUserSpec},
      {std::string("mailnull:wheel\0x", 16), ErrorCode::InvalidUserSpec},
  };
  for (const auto& [value, error] : cases) {
    EXPECT_EQ(parse_user_spec(value), fail(error)) << value;
  }
}

TEST(ResolveUser, UserAloneTakesItsPrimaryGroup) {
  EXPECT_EQ(resolve_user("root"), (Owner{0, 0}));
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "no user nobody to resolve";
  EXPECT_EQ(resolve_user("nobody"), (Owner{user->uid, user->gid}));
}

TEST(ResolveUser, NamedGroupReplacesThePrimaryGroup) {
  const auto other = some_group_besides(0);
  if (!other) GTEST_SKIP() << "no group besides root's";
  EXPECT_EQ(resolve_user(std::string("root:") + other->gr_name), (Owner{0, other->gr_gid}));
}

TEST(ResolveUser, Errors) {
  const std::pair<std::string, ErrorCode> cases[] = {
      {"", ErrorCode::InvalidUserSpec},
      {"root:", ErrorCode::InvalidUserSpec},
      {std::string(256, 'u'), ErrorCode::UsernameTooLong},
      {"root:" + std::string(256, 'g'), ErrorCode::GroupNameTooLong},
      {"no-such-user-tessvane", ErrorCode::UserNotFound},
      {std::string(255, 'u'), ErrorCode::UserNotFound},
      {"no-such-user-tessvane:root", ErrorCode::UserNotFound},
      {"root:no-such-group-tessvane", ErrorCode::GroupNotFound},
      {"root:" + std::string(255, 'g'), ErrorCode::GroupNotFound},
      {"root:root:x", ErrorCode::GroupNotFound},
  };
  for (const auto& [value, error] : cases) {
    EXPECT_EQ(resolve_user(value), fail(error)) << value;
  }
}

// Refusals happen before any id changes, so they are safe to test in place.
TEST(DropPrivileges, RefusalsLeaveTheIdsAlone) {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  EXPECT_EQ(drop_privileges("root"), fail(ErrorCode::RefusingToDropToRoot));
  EXPECT_EQ(drop_privileges("root:root"), fail(ErrorCode::RefusingToDropToRoot));
  EXPECT_EQ(drop_privileges("no-such-user-tessvane"), fail(ErrorCode::UserNotFound));
  EXPECT_EQ(drop_privileges("nobody:no-such-group-tessvane"),
            ::getpwnam("nobody") ? fail(ErrorCode::GroupNotFound) : fail(ErrorCode::UserNotFound));
  EXPECT_EQ(drop_privileges(""), fail(ErrorCode::InvalidUserSpec));
  EXPECT_EQ(::getuid(), uid);
  EXPECT_EQ(::getgid(), gid);
}

// The checks after the drop, made in the child that dropped.
constexpr int kDropped = 0;
constexpr int kDropFailed = 1;
constexpr int kWrongIds = 2;

int ids_are(uid_t uid, gid_t gid) {
  const bool ids = ::getuid() == uid && ::geteuid() == uid && ::getgid() == gid &&
                   ::getegid() == gid && ::getgroups(0, nullptr) == 0;
  // The drop is one-way: root cannot be regained.
  return ids && ::setuid(0) != 0 ? kDropped : kWrongIds;
}

TEST(DropPrivileges, BecomesTheUserWithoutSupplementaryGroups) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to drop to";
  const auto status = testing::run_in_child([&] {
    const gid_t extra = 0;
    if (::setgroups(1, &extra) != 0) return kWrongIds;  // something to clear
    if (!drop_privileges("nobody")) return kDropFailed;
    return ids_are(user->uid, user->gid);
  });
  EXPECT_EQ(status, kDropped);
}

TEST(DropPrivileges, NamedGroupBecomesTheGroupId) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to drop to";
  const auto other = some_group_besides(user->gid);
  if (!other) GTEST_SKIP() << "no second group";
  const std::string value = std::string("nobody:") + other->gr_name;
  const gid_t gid = other->gr_gid;
  const auto status = testing::run_in_child([&] {
    if (!drop_privileges(value)) return kDropFailed;
    return ids_are(user->uid, gid);
  });
  EXPECT_EQ(status, kDropped);
}

// A process that is no longer root cannot clear its groups: the first step
// of the drop reports it.
TEST(DropPrivileges, WithoutPrivilegeSetgroupsFails) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to become";
  const auto status = testing::run_as_user(
      *user, [] { return drop_privileges("nobody") == fail(ErrorCode::SetgroupsFailed) ? 0 : 1; });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace tessvane
