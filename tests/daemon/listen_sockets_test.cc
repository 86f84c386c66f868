// The workers' listening sockets: TCP with port reuse, UNIX-domain paths.

#include "daemon/listen_sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "child_process.h"
#include "base/file_read.h"
#include "net/address.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::TempDir;

ListenerSpec tcp(std::string address, std::uint16_t port) {
  return {std::move(address), port, false};
}

ListenerSpec unix_path(std::string path) {
  return {std::move(path), 0, true};
}

int socket_option(const UniqueFd& fd, int level, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(::getsockopt(fd.get(), level, option, &value, &length), 0);
  return value;
}

// A blocking client connected to address; invalid when the connection fails.
UniqueFd connect_to(const BoundAddress& address) {
  UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
      0) {
    fd.reset();
  }
  return fd;
}

// Accepts what is queued on a listening (non-blocking) socket, if anything.
bool accepts_a_connection(const ListeningSocket& listener) {
  UniqueFd accepted(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
  return accepted.valid();
}

bool ipv6_loopback_available() {
  auto probe = open_listener(tcp("::1", 0));
  return probe || (probe.error() != ErrorCode::AddressFamilyNotSupported &&
                   probe.error() != ErrorCode::AddressNotAvailable);
}

TEST(OpenListener, TcpPortZeroReportsTheKernelsPort) {
  auto listener = open_listener(tcp("127.0.0.1", 0));
  ASSERT_TRUE(listener) << error_name(listener.error());
  EXPECT_EQ(listener->address.family(), AF_INET);
  EXPECT_NE(listener->address.port(), 0);
  EXPECT_EQ(listener->address.unix_path(), "");
  EXPECT_TRUE(::fcntl(listener->fd.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(listener->fd.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(socket_option(listener->fd, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(socket_option(listener->fd, SOL_SOCKET, SO_REUSEPORT), 0);
  EXPECT_EQ(socket_option(listener->fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
  UniqueFd client = connect_to(listener->address);
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(accepts_a_connection(*listener));
}

// The workers share one socket; a second daemon on the same address must
// not get a share of the mail.
TEST(OpenListener, AnAddressServedAlreadyIsAddressInUse) {
  auto first = open_listener(tcp("127.0.0.1", 0));
  ASSERT_TRUE(first);
  const std::uint16_t port = first->address.port();
  EXPECT_EQ(open_listener(tcp("127.0.0.1", port)), fail(ErrorCode::AddressInUse));
}

// Connections closed by the daemon linger in TIME_WAIT; a restart on the same
// port still binds.
TEST(OpenListener, RestartBindsWhileClosedConnectionsLinger) {
  auto first = open_listener(tcp("127.0.0.1", 0));
  ASSERT_TRUE(first);
  const std::uint16_t port = first->address.port();
  UniqueFd client = connect_to(first->address);
  ASSERT_TRUE(client.valid());
  pollfd ready{first->fd.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 5000), 1);
  UniqueFd served(::accept(first->fd.get(), nullptr, nullptr));
  ASSERT_TRUE(served.valid());
  served.reset();  // the daemon's side closes first and lingers
  first->fd.reset();
  auto again = open_listener(tcp("127.0.0.1", port));
  EXPECT_TRUE(again) << error_name(again.error());
}

TEST(OpenListener, Ipv6LoopbackIsIpv6Only) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  auto listener = open_listener(tcp("::1", 0));
  ASSERT_TRUE(listener) << error_name(listener.error());
  EXPECT_EQ(listener->address.family(), AF_INET6);
  EXPECT_NE(listener->address.port(), 0);
  EXPECT_EQ(socket_option(listener->fd, IPPROTO_IPV6, IPV6_V6ONLY), 1);
  UniqueFd client = connect_to(listener->address);
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(accepts_a_connection(*listener));
}

// Another program listening on the port keeps it, whether or not it asked
// for port reuse.
TEST(OpenListener, PortTakenByAnotherProgramIsAddressInUse) {
  for (const bool reuse_port : {false, true}) {
    UniqueFd other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(other.valid());
    const int on = 1;
    if (reuse_port) {
      ASSERT_EQ(::setsockopt(other.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on), 0);
    }
    ASSERT_EQ(::setsockopt(other.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    auto loopback = parse_ip_port("127.0.0.1", 0);
    ASSERT_TRUE(loopback);
    ASSERT_EQ(::bind(other.get(), loopback->data(), loopback->length()), 0);
    ASSERT_EQ(::listen(other.get(), 1), 0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(other.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(open_listener(tcp("127.0.0.1", ntohs(bound.sin_port))),
              fail(ErrorCode::AddressInUse))
        << reuse_port;
  }
}

TEST(OpenListener, TcpErrors) {
  EXPECT_EQ(open_listener(tcp("localhost", 8890)), fail(ErrorCode::InvalidAddress));
  EXPECT_EQ(open_listener(tcp("", 8890)), fail(ErrorCode::InvalidAddress));
  // 192.0.2.1 (TEST-NET-1) is no address of this machine.
  EXPECT_EQ(open_listener(tcp("192.0.2.1", 0)), fail(ErrorCode::AddressNotAvailable));
}

// Listening sockets are created after the privilege drop.
TEST(OpenListener, PrivilegedPortIsRefusedToAnOrdinaryUser) {
  const auto user = testing::unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and a user nobody to become";
  const auto status = testing::run_as_user(*user, [] {
    return open_listener(tcp("127.0.0.1", 1)) == fail(ErrorCode::AccessDenied) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

class UnixListener : public ::testing::Test {
 protected:
  void SetUp() override { old_mask_ = ::umask(022); }
  void TearDown() override { ::umask(old_mask_); }

  mode_t mode_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
  }

  TempDir dir_;
  mode_t old_mask_ = 0;
};

// No explicit mode: the file-creation mask alone decides.
TEST_F(UnixListener, BindsThePathWithTheMasksPermissions) {
  const std::string path = dir_.file("milter.sock");
  auto listener = open_listener(unix_path(path));
  ASSERT_TRUE(listener) << error_name(listener.error());
  EXPECT_EQ(listener->address.family(), AF_UNIX);
  EXPECT_EQ(listener->address.unix_path(), path);
  EXPECT_EQ(listener->address.port(), 0);
  EXPECT_EQ(mode_of(path), S_IFSOCK | 0755);
  EXPECT_TRUE(::fcntl(listener->fd.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(listener->fd.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(socket_option(listener->fd, SOL_SOCKET, SO_REUSEADDR), 1);
  UniqueFd client = connect_to(listener->address);
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(accepts_a_connection(*listener));
}

TEST_F(UnixListener, ReplacesAStaleSocket) {
  const std::string path = dir_.file("stale.sock");
  {
    UniqueFd old(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(old.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }  // closed: the file stays behind with nobody listening
  ASSERT_TRUE(S_ISSOCK(mode_of(path)));
  auto listener = open_listener(unix_path(path));
  ASSERT_TRUE(listener) << error_name(listener.error());
  UniqueFd client = connect_to(listener->address);
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(accepts_a_connection(*listener));
}

// Each worker binds the path anew; the path then reaches the last one only.
TEST_F(UnixListener, SecondWorkerTakesThePathOver) {
  const std::string path = dir_.file("shared.sock");
  auto first = open_listener(unix_path(path));
  auto second = open_listener(unix_path(path));
  ASSERT_TRUE(first);
  ASSERT_TRUE(second) << error_name(second.error());
  UniqueFd client = connect_to(second->address);
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(accepts_a_connection(*second));
  EXPECT_FALSE(accepts_a_connection(*first));
}

// Only a socket file is ever removed: a mistyped path must not cost a file.
TEST_F(UnixListener, LeavesOtherFilesInPlace) {
  const std::string file = dir_.write("precious", "keep me\n");
  EXPECT_EQ(open_listener(unix_path(file)), fail(ErrorCode::AddressInUse));
  EXPECT_EQ(read_whole_file(file, 64), "keep me\n");
  const std::string link = dir_.file("link.sock");
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  EXPECT_EQ(open_listener(unix_path(link)), fail(ErrorCode::AddressInUse));
  EXPECT_TRUE(S_ISLNK(mode_of(link)));
  EXPECT_EQ(read_whole_file(file, 64), "keep me\n");
}

TEST_F(UnixListener, PathLengthLimit) {
  const std::string base = dir_.path() + "/";
  ASSERT_LT(base.size(), kUnixPathMax);
  const std::string longest = base + std::string(kUnixPathMax - base.size(), 'p');
  auto listener = open_listener(unix_path(longest));
  ASSERT_TRUE(listener) << error_name(listener.error());
  EXPECT_EQ(listener->address.unix_path(), longest);
  EXPECT_EQ(open_listener(unix_path(longest + "q")), fail(ErrorCode::NameTooLong));
}

TEST_F(UnixListener, PathErrors) {
  EXPECT_EQ(open_listener(unix_path("")), fail(ErrorCode::InvalidPath));
  EXPECT_EQ(open_listener(unix_path(dir_.file("a") + std::string(1, '\0') + "b")),
            fail(ErrorCode::InvalidPath));
  EXPECT_EQ(open_listener(unix_path(dir_.file("missing/m.sock"))), fail(ErrorCode::FileNotFound));
  EXPECT_EQ(open_listener(unix_path(dir_.write("plain", "") + "/m.sock")), fail(ErrorCode::NotDir));
}

}  // namespace
}  // namespace tessvane
