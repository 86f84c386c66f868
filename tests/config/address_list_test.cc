// Whitelist and trusted-relays files: parsing of entries, the loader's file
// rules and warnings, and the membership test.

#include "config/address_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tessvane {
namespace {

using testing::LogCapture;
using testing::TempDir;

constexpr std::size_t kMiB = 1048576;

Ip4Addr ip4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return Ip4Addr{{a, b, c, d}};
}
Ip6Addr ip6(std::string_view text) {
  auto parsed = parse_ip6(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Ip6Addr{});
}

AddressList list_of(const TempDir& dir, std::string_view content) {
  auto list = load_address_list(dir.write("list", content));
  EXPECT_TRUE(list.has_value());
  return list.value_or(AddressList{});
}

TEST(AddressList, LoadsEntriesInFileOrderSkippingCommentsAndBlankLines) {
  TempDir dir;
  LogCapture log;
  const auto list = load_address_list(dir.write("whitelist",
                                                "# trusted networks\n"
                                                "\n"
                                                "192.0.2.1\n"
                                                "198.51.100.0/24\n"
                                                "2001:db8::1\n"
                                                "2001:db8:1::/64\n"));
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->entries, (std::vector<ListEntry>{
                               ip4(192, 0, 2, 1),
                               Ip4Network{ip4(198, 51, 100, 0), 24},
                               ip6("2001:db8::1"),
                               Ip6Network{ip6("2001:db8:1::"), 64},
                           }));
  EXPECT_EQ(list->entries[1].index(), 1u);  // the tag of an IPv4 network
  EXPECT_EQ(list->entries[3].index(), 3u);  // the tag of an IPv6 network
  EXPECT_TRUE(log.take_texts().empty());
}

struct EntryCase {
  std::string_view text;
  std::optional<ListEntry> expected;
};

TEST(AddressList, ParsesOneEntryPerLine) {
  const EntryCase cases[] = {
      {"10.0.0.1", ip4(10, 0, 0, 1)},
      {"10.0.0.0/8", Ip4Network{ip4(10, 0, 0, 0), 8}},
      {"10.0.0.0/008", Ip4Network{ip4(10, 0, 0, 0), 8}},
      {"10.0.0.0/0", Ip4Network{ip4(10, 0, 0, 0), 0}},
      {"10.0.0.0/40", Ip4Network{ip4(10, 0, 0, 0), 40}},  // kept, never matches
      {"10.0.0.0/255", Ip4Network{ip4(10, 0, 0, 0), 255}},
      {"10.1.2.3/8", Ip4Network{ip4(10, 1, 2, 3), 8}},  // host bits kept as written
      {"::1", ip6("::1")},
      {"::/0", Ip6Network{ip6("::"), 0}},
      {"2001:db8::/128", Ip6Network{ip6("2001:db8::"), 128}},
      {"2001:db8::/0128", Ip6Network{ip6("2001:db8::"), 128}},
      {"::ffff:192.0.2.1", ip6("::ffff:192.0.2.1")},
      {"192.0.2.01", std::nullopt},  // leading zero in an octet
      {"192.0.2", std::nullopt},
      {"192.0.2.1 # office", std::nullopt},
      {"mail.example.org", std::nullopt},
      {"10.0.0.0/", std::nullopt},
      {"10.0.0.0/x", std::nullopt},
      {"10.0.0.0/256", std::nullopt},
      {"10.0.0.0/+8", std::nullopt},
      {"10.0.0.0/ 8", std::nullopt},
      {"10.0.0.0/8/8", std::nullopt},
      {"/8", std::nullopt},
      {"2001:db8::/129", std::nullopt},
      {"2001:db8::/", std::nullopt},
      {"2001:db8::/-1", std::nullopt},
      {"192.0.2.1:25", std::nullopt},  // a ':' makes it an IPv6 entry
      {"10.0.0.0/8:1", std::nullopt},
      {"[::1]", std::nullopt},
      {"fe80::1%em0", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_list_entry(c.text), c.expected) << c.text;
  }
}

TEST(AddressList, LeavesOutUnparseableLinesWithAWarning) {
  TempDir dir;
  LogCapture log;
  const auto list = load_address_list(dir.write("relays",
                                                "192.0.2.01\n"
                                                "10.0.0.1\n"
                                                "  2001:db8::/129 \r\n"
                                                "192.0.2.1 # office\n"
                                                "\t# indented comment\n"
                                                "mail.example.org\n"
                                                "10.0.0.0/40\n"
                                                "not # a comment"));
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->entries,
            (std::vector<ListEntry>{ip4(10, 0, 0, 1), Ip4Network{ip4(10, 0, 0, 0), 40}}));
  EXPECT_EQ(log.take_texts(), (std::vector<std::string>{
                                  "whitelist: ignoring unparseable entry 192.0.2.01",
                                  "whitelist: ignoring unparseable entry 2001:db8::/129",
                                  "whitelist: ignoring unparseable entry 192.0.2.1 # office",
                                  "whitelist: ignoring unparseable entry mail.example.org",
                                  "whitelist: ignoring unparseable entry not # a comment",
                              }));
}

TEST(AddressList, WarningsFollowTheLogLevel) {
  TempDir dir;
  LogCapture log(Severity::Err);
  const auto list = load_address_list(dir.write("list", "bogus\n10.0.0.1\n"));
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->entries.size(), 1u);
  EXPECT_TRUE(log.take_texts().empty());
}

TEST(AddressList, EmptyOrCommentOnlyFilesGiveAnEmptyList) {
  TempDir dir;
  for (std::string_view content : {"", "\n\n", "# nothing here\n  \n; not a comment\n"}) {
    LogCapture log;
    const auto list = list_of(dir, content);
    // ';' starts no comment in list files: that line is an unparseable entry.
    const bool has_semicolon_line = std::string_view(content).find(';') != std::string::npos;
    EXPECT_TRUE(list.entries.empty()) << content;
    EXPECT_EQ(log.take_texts().size(), has_semicolon_line ? 1u : 0u) << content;
    EXPECT_FALSE(address_list_contains(list, "192.0.2.1"));
    EXPECT_FALSE(address_list_contains(list, "::1"));
  }
}

struct FileErrorCase {
  std::string what;
  std::string path;
  ErrorCode error;
};

TEST(AddressList, FileErrorsGoToTheCaller) {
  TempDir dir;
  const std::string line = "192.0.2.1\n";
  std::string exact;
  while (exact.size() + line.size() <= kMiB) exact += line;
  exact += std::string(kMiB - exact.size(), '\n');
  const std::string exact_path = dir.write("exact", exact);
  const auto loaded = load_address_list(exact_path);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->entries.size(), kMiB / line.size());

  // A FIFO with a writer holding it open would block a blocking read; one
  // without would read as an empty list. Neither is a list.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string link_to_fifo = dir.file("link-to-fifo");
  ASSERT_EQ(::symlink(fifo.c_str(), link_to_fifo.c_str()), 0);
  const FileErrorCase cases[] = {
      {"1 MiB and one byte", dir.write("big", exact + "\n"), ErrorCode::FileTooBig},
      {"missing", dir.file("absent"), ErrorCode::FileNotFound},
      {"a directory", dir.path(), ErrorCode::IsDir},
      {"a FIFO", fifo, ErrorCode::NotRegularFile},
      {"a link to a FIFO", link_to_fifo, ErrorCode::NotRegularFile},
      {"a character device", "/dev/null", ErrorCode::NotRegularFile},
      {"1024-byte path", "/" + std::string(1023, 'a'), ErrorCode::NameTooLong},
  };
  LogCapture log;
  for (const auto& c : cases) {
    EXPECT_EQ(load_address_list(c.path).error(), c.error) << c.what;
  }
  EXPECT_TRUE(log.take_texts().empty());
}

TEST(AddressList, RelativePathsAreTakenFromTheWorkingDirectory) {
  TempDir dir;
  dir.write("local-list", "192.0.2.9\n");
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const auto list = load_address_list("local-list");
  ASSERT_EQ(chdir(saved), 0);
  ASSERT_TRUE(list.has_value());
  EXPECT_TRUE(address_list_contains(*list, "192.0.2.9"));
}

struct MatchCase {
  std::string_view client;
  bool expected;
};

TEST(AddressList, MatchesClientsAgainstAddressesAndNetworks) {
  TempDir dir;
  const auto list = list_of(dir,
                            "192.0.2.1\n"
                            "10.1.2.3/8\n"
                            "172.16.0.0/12\n"
                            "198.51.100.0/40\n"
                            "2001:db8:0:0:0:0:0:1\n"
                            "2001:db8:1::/64\n"
                            "2001:db8:ff::/48\n");
  const MatchCase cases[] = {
      {"192.0.2.1", true},
      {"192.0.2.2", false},
      {"10.0.0.1", true},  // host bits of the entry are ignored
      {"10.255.255.255", true},
      {"11.0.0.1", false},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"198.51.100.1", false},  // prefix above 32 never matches
      {"2001:db8::1", true},    // equal bytes, whatever the text form
      {"2001:DB8::1", true},
      {"2001:db8::2", false},
      {"2001:db8:1::abcd", true},
      {"2001:db8:1:0:ffff:ffff:ffff:ffff", true},
      {"2001:db8:1:1::", false},
      {"2001:db8:ff:ffff::1", true},
      {"2001:db8:100::", false},
      // IPv4-mapped texts meet IPv6 entries only.
      {"::ffff:192.0.2.1", false},
      {"::ffff:10.0.0.1", false},
      // Texts that are not addresses never match.
      {"", false},
      {"localhost", false},
      {"192.0.2.1 ", false},
      {"192.0.2.01", false},
      {"192.0.2.1/32", false},
      {"[2001:db8::1]", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(address_list_contains(list, c.client), c.expected) << c.client;
  }
}

TEST(AddressList, PrefixZeroMatchesEveryAddressOfItsFamilyOnly) {
  TempDir dir;
  const auto v4 = list_of(dir, "203.0.113.7/0\n");
  EXPECT_TRUE(address_list_contains(v4, "0.0.0.0"));
  EXPECT_TRUE(address_list_contains(v4, "255.255.255.255"));
  EXPECT_FALSE(address_list_contains(v4, "::1"));
  EXPECT_FALSE(address_list_contains(v4, "::ffff:192.0.2.1"));

  const auto v6 = list_of(dir, "2001:db8::/0\n");
  EXPECT_TRUE(address_list_contains(v6, "::"));
  EXPECT_TRUE(address_list_contains(v6, "ffff::1"));
  EXPECT_TRUE(address_list_contains(v6, "::ffff:192.0.2.1"));
  EXPECT_FALSE(address_list_contains(v6, "192.0.2.1"));
}

TEST(AddressList, MappedEntriesMatchMappedClients) {
  TempDir dir;
  const auto list = list_of(dir, "::ffff:192.0.2.1\n");
  EXPECT_TRUE(address_list_contains(list, "::ffff:192.0.2.1"));
  EXPECT_FALSE(address_list_contains(list, "192.0.2.1"));
}

}  // namespace
}  // namespace tessvane
