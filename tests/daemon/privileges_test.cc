// Resolving the User setting and dropping root privileges.

#include "daemon/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "child_process.h"

namespace tessvane {
namespace {

struct Account {
  std::string name;
  uid_t uid;
  gid_t gid;
};

// An unprivileged account of this system, or none.
std::optional<Account> unprivileged_account() {
  for (const char* name : {"nobody", "daemon"}) {
    const passwd* entry = ::getpwnam(name);
    if (entry != nullptr && entry->pw_uid != 0) return Account{name, entry->pw_uid, entry->pw_gid};
  }
  return std::nullopt;
}

std::optional<std::string> group_name_of(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  if (entry == nullptr) return std::nullopt;
  return std::string(entry->gr_name);
}

TEST(ParseUserSpec, SplitsAtTheFirstColonAndChecksLengths) {
  struct Case {
    std::string value;
    Result<UserSpec> expected;
  };
  const std::string user255(255, 'u');
  const std::string group255(255, 'g');
  const Case cases[] = {
      {"mail", UserSpec{"mail", "", false}},
      {"mail:mail", UserSpec{"mail", "mail", true}},
      {"mail:a:b", UserSpec{"mail", "a:b", true}},
      {user255, UserSpec{user255, "", false}},
      {"u:" + group255, UserSpec{"u", group255, true}},
      {"", fail(ErrorCode::InvalidUserSpec)},
      {":mail", fail(ErrorCode::InvalidUserSpec)},
      {"mail:", fail(ErrorCode::InvalidUserSpec)},
      {std::string("root\0x", 6), fail(ErrorCode::InvalidUserSpec)},
      {std::string("mail:wheel\0x", 12), fail(ErrorCode::InvalidUserSpec)},
      {std::string(256, 'u'), fail(ErrorCode::UsernameTooLong)},
      {std::string(256, 'u') + ":", fail(ErrorCode::UsernameTooLong)},
      {"u:" + std::string(256, 'g'), fail(ErrorCode::GroupNameTooLong)},
  };
  for (const Case& c : cases) {
    const auto got = parse_user_spec(c.value);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.value;
    if (!got) {
      EXPECT_EQ(got.error(), c.expected.error()) << c.value;
      continue;
    }
    EXPECT_EQ(got->user, c.expected->user) << c.value;
    EXPECT_EQ(got->group, c.expected->group) << c.value;
    EXPECT_EQ(got->has_group, c.expected->has_group) << c.value;
  }
}

TEST(ResolveUser, UserAloneTakesItsPrimaryGroup) {
  const auto account = unprivileged_account();
  if (!account) GTEST_SKIP() << "no unprivileged account on this system";
  EXPECT_EQ(resolve_user(account->name), (Owner{account->uid, account->gid}));
  EXPECT_EQ(resolve_user("root"), (Owner{0, 0}));
}

TEST(ResolveUser, NamedGroupReplacesThePrimaryGroup) {
  const auto account = unprivileged_account();
  const auto root_group = group_name_of(0);
  if (!account || !root_group) GTEST_SKIP() << "no unprivileged account or group 0";
  EXPECT_EQ(resolve_user(account->name + ":" + *root_group), (Owner{account->uid, 0}));
}

TEST(ResolveUser, UnknownNamesFail) {
  EXPECT_EQ(resolve_user("tessvane-no-such-user"), fail(ErrorCode::UserNotFound));
  EXPECT_EQ(resolve_user("tessvane-no-such-user:root"), fail(ErrorCode::UserNotFound));
  EXPECT_EQ(resolve_user("root:tessvane-no-such-group"), fail(ErrorCode::GroupNotFound));
  EXPECT_EQ(resolve_user("root:"), fail(ErrorCode::InvalidUserSpec));
}

// Refusals happen before any id changes, so they can run in the test process.
TEST(DropPrivileges, RefusalsLeaveTheIdsAlone) {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  EXPECT_EQ(drop_privileges("root"), fail(ErrorCode::RefusingToDropToRoot));
  const auto account = unprivileged_account();
  if (account) {
    EXPECT_EQ(drop_privileges("root:" + std::to_string(account->gid) + "x"),
              fail(ErrorCode::GroupNotFound));
  }
  if (const auto root_group = group_name_of(0)) {
    EXPECT_EQ(drop_privileges("root:" + *root_group), fail(ErrorCode::RefusingToDropToRoot));
  }
  EXPECT_EQ(drop_privileges("tessvane-no-such-user"), fail(ErrorCode::UserNotFound));
  EXPECT_EQ(drop_privileges(""), fail(ErrorCode::InvalidUserSpec));
  EXPECT_EQ(::getuid(), uid);
  EXPECT_EQ(::getgid(), gid);
}

// The real drop, in a child: afterwards every id is the account's, there are
// no supplementary groups, and root cannot be regained.
TEST(DropPrivileges, DropsToTheAccountForGood) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  const auto account = unprivileged_account();
  if (!account) GTEST_SKIP() << "no unprivileged account on this system";
  const auto status = testing::run_in_child([&] {
    if (!drop_privileges(account->name)) return 1;
    uid_t r, e, s;
    gid_t rg, eg, sg;
    if (::getresuid(&r, &e, &s) != 0 || r != account->uid || e != account->uid ||
        s != account->uid) {
      return 2;
    }
    if (::getresgid(&rg, &eg, &sg) != 0 || rg != account->gid || eg != account->gid ||
        sg != account->gid) {
      return 3;
    }
    if (::getgroups(0, nullptr) != 0) return 4;
    if (::setuid(0) == 0) return 5;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

// Without root the drop is refused at the first step that needs it.
TEST(DropPrivileges, UnprivilegedProcessCannotChangeGroups) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become unprivileged first";
  const auto account = unprivileged_account();
  const auto root_group = group_name_of(0);
  if (!account || !root_group) GTEST_SKIP() << "no unprivileged account or group 0";
  const auto status = testing::run_in_child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(account->gid) != 0 ||
        ::setuid(account->uid) != 0) {
      return 10;
    }
    const Status dropped = drop_privileges(account->name + ":" + *root_group);
    return dropped == fail(ErrorCode::SetgroupsFailed) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace tessvane
