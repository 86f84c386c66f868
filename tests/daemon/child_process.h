#pragma once
// Runs a piece of a test in a forked child and waits for it, bounded: the
// process set-up operations fork, exit, change ids and limits, none of which
// may touch the test program itself.

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <grp.h>
#include <pwd.h>

#include <optional>

namespace tessvane::testing {

inline constexpr int kChildWaitMs = 20000;
inline constexpr int kChildPollMs = 5;

// Waits for pid to end; its exit status, or none after kChildWaitMs (the
// child is then killed and reaped) or when it ended by a signal.
inline std::optional<int> wait_for_child(pid_t pid) {
  const timespec pause{0, kChildPollMs * 1'000'000L};
  for (int waited = 0; waited < kChildWaitMs; waited += kChildPollMs) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return std::nullopt;
    }
    if (done < 0) return std::nullopt;
    ::nanosleep(&pause, nullptr);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return std::nullopt;
}

// Runs body in a child that exits with body's return value (never returning
// into the test program); returns that exit status as wait_for_child does.
template <typename Body>
std::optional<int> run_in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) ::_exit(body());
  return wait_for_child(pid);
}

// An ordinary user a test running as root can become in a child.
struct OtherUser {
  uid_t uid;
  gid_t gid;
};

// "nobody", or none when the test cannot change its ids (not root) or the
// system has no such user.
inline std::optional<OtherUser> unprivileged_user() {
  if (::geteuid() != 0) return std::nullopt;
  const passwd* entry = ::getpwnam("nobody");
  if (entry == nullptr) return std::nullopt;
  return OtherUser{entry->pw_uid, entry->pw_gid};
}

// run_in_child, with the child first becoming user (no supplementary
// groups); exit status 125 when it cannot.
inline constexpr int kCannotBecomeUser = 125;
template <typename Body>
std::optional<int> run_as_user(const OtherUser& user, Body body) {
  return run_in_child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) {
      return kCannotBecomeUser;
    }
    return body();
  });
}

}  // namespace tessvane::testing
