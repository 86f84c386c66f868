#include "dns/message.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "dns/wire.h"

namespace tessvane {
namespace {

using namespace wire;

// The bytes after the QNAME: QTYPE, QCLASS and the OPT record.
std::string query_tail(unsigned type) {
  return u16(type) + u16(1) + u8(0) + u16(41) + u16(1232) + u32(0) + u16(0);
}

std::string repeat(char c, std::size_t count) {
  return std::string(count, c);
}

// n one-byte labels "a.a.a...".
std::string one_byte_labels(std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += i == 0 ? "a" : ".a";
  return text;
}

TEST(EncodeQuery, WritesHeaderNameAndOptRecordFieldByField) {
  const auto query = encode_query(0xBEEF, "Mail.Example.ORG", 16);
  ASSERT_TRUE(query);
  const std::string expected = u16(0xBEEF) + u16(0x0100) + u16(1) + u16(0) + u16(0) + u16(1) +
                               u8(4) + "Mail" + u8(7) + "Example" + u8(3) + "ORG" + u8(0) +
                               query_tail(16);
  EXPECT_EQ(*query, expected);
  EXPECT_EQ(query->size(), 27u + 18u);
}

struct NameCase {
  std::string name;
  std::optional<std::string> wire_name;  // nullopt: the error is expected
  ErrorCode error = ErrorCode::Unexpected;
};

class EncodeQueryName : public ::testing::TestWithParam<NameCase> {};

TEST_P(EncodeQueryName, EncodesOrRefuses) {
  const NameCase& c = GetParam();
  const auto query = encode_query(7, c.name, 1);
  if (c.wire_name) {
    ASSERT_TRUE(query) << error_name(query.error());
    EXPECT_EQ(*query, header(7, 0x0100, 1, 0, 0, 1) + *c.wire_name + query_tail(1));
  } else {
    ASSERT_FALSE(query);
    EXPECT_EQ(query.error(), c.error);
  }
}

const std::string k253 =
    repeat('a', 63) + "." + repeat('b', 63) + "." + repeat('c', 63) + "." + repeat('d', 61);

INSTANTIATE_TEST_SUITE_P(
    Table, EncodeQueryName,
    ::testing::Values(NameCase{"", u8(0)}, NameCase{".", u8(0)}, NameCase{"..", u8(0)},
                      NameCase{"example.com", name("example.com")},
                      NameCase{"example.com.", name("example.com")},
                      NameCase{".example.com", name("example.com")},
                      NameCase{".example.com.", name("example.com")},
                      NameCase{"example..com", std::nullopt, ErrorCode::EmptyLabel},
                      NameCase{"example.com..", std::nullopt, ErrorCode::EmptyLabel},
                      NameCase{"..example.com", std::nullopt, ErrorCode::EmptyLabel},
                      NameCase{"...", std::nullopt, ErrorCode::EmptyLabel},
                      NameCase{"UPPER.Case", name("UPPER.Case")},
                      // No escape convention: every byte but '.' is label content.
                      NameCase{"a b\\.\xff\x01", u8(4) + "a b\\" + u8(2) + "\xff\x01" + u8(0)},
                      NameCase{repeat('x', 63) + ".com", name(repeat('x', 63) + ".com")},
                      NameCase{repeat('x', 64) + ".com", std::nullopt, ErrorCode::LabelTooLong},
                      NameCase{k253, name(k253)},
                      NameCase{k253 + ".", std::nullopt, ErrorCode::NameTooLong},
                      NameCase{k253 + "e", std::nullopt, ErrorCode::NameTooLong},
                      NameCase{one_byte_labels(127), name(one_byte_labels(127))}));

TEST(EncodeQuery, AFullLengthNameGivesTheLongestQuery) {
  const auto query = encode_query(1, k253, 28);
  ASSERT_TRUE(query);
  EXPECT_EQ(query->size(), kMaxQuerySize);
}

Result<ParsedResponse> decode(const std::string& message) {
  return decode_response(as_bytes(message));
}

TEST(DecodeResponse, HeaderFacts) {
  EXPECT_EQ(decode(repeat('\0', 11)).error(), ErrorCode::PacketTooShort);

  const auto empty = decode(header(0x1234, 0, 0, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->id, 0x1234);
  EXPECT_EQ(empty->rcode, 0);
  EXPECT_FALSE(empty->truncated);
  EXPECT_TRUE(empty->records.empty());

  // QR, opcode, AA, RA and Z are not looked at; TC and RCODE are.
  const auto flagged = decode(header(1, 0xFFFF, 0, 0));
  ASSERT_TRUE(flagged);
  EXPECT_EQ(flagged->rcode, 15);
  EXPECT_TRUE(flagged->truncated);
  const auto refused = decode(header(1, 0x8185, 0, 0));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rcode, 5);
  EXPECT_FALSE(refused->truncated);
}

TEST(DecodeResponse, SkipsQuestionsAndReadsAnswersInOrder) {
  const std::string message =
      header(9, 0x8180, 2, 3) + question("example.com", 16) + question("other.test", 1) +
      record(pointer(12), 5, 300, name("alias.example.com")) +
      record(name("alias.example.com"), 1, 0x80000000u, "\xc0\x00\x02\x01") +
      record(pointer(12), 28, 60, repeat('\x20', 16));
  const auto response = decode(message);
  ASSERT_TRUE(response) << error_name(response.error());
  ASSERT_EQ(response->records.size(), 3u);
  EXPECT_EQ(response->records[0],
            (ResourceRecord{"example.com", "alias.example.com", 300, kTypeCname}));
  EXPECT_EQ(response->records[1],
            (ResourceRecord{"alias.example.com", "\xc0\x00\x02\x01", 0x80000000u, kTypeA}));
  EXPECT_EQ(response->records[2], (ResourceRecord{"example.com", repeat(' ', 16), 60, kTypeAaaa}));
}

TEST(DecodeResponse, QuestionRunningPastTheEndIsTooShort) {
  // The QTYPE/QCLASS of the only question is cut by one byte.
  const std::string question_bytes = question("example.com", 16);
  const std::string message =
      header(1, 0, 1, 0) + question_bytes.substr(0, question_bytes.size() - 1);
  EXPECT_EQ(decode(message).error(), ErrorCode::PacketTooShort);
  // More questions claimed than present.
  EXPECT_EQ(decode(header(1, 0, 2, 0) + question_bytes).error(), ErrorCode::PacketTooShort);
}

TEST(DecodeResponse, RecordsCutByTheEndEndDecodingWithoutError) {
  const std::string first = record(name("a.test"), 1, 60, "\x01\x02\x03\x04");
  const std::string second = record(name("b.test"), 1, 60, "\x05\x06\x07\x08");
  const std::string base = header(1, 0x8180, 0, 3) + first + second;
  // ANCOUNT says 3 but two records follow.
  const auto two = decode(base);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->records.size(), 2u);

  const std::string third = record(name("c.test"), 1, 60, "\x09\x0a\x0b\x0c");
  const std::size_t owner = name("c.test").size();
  // Cut inside the fixed fields, then inside the RDATA.
  for (std::size_t keep : {owner, owner + 9, owner + 10, owner + 13}) {
    const auto cut = decode(base + third.substr(0, keep));
    ASSERT_TRUE(cut) << keep;
    EXPECT_EQ(cut->records.size(), 2u) << keep;
  }
}

TEST(DecodeResponse, OwnerNameWithoutTerminatorFailsTheDecode) {
  const std::string message = header(1, 0, 0, 1) + u8(3) + "abc";
  EXPECT_EQ(read_name(as_bytes(message), 12).value(), "abc");
  EXPECT_EQ(skip_name(as_bytes(message), 12).error(), ErrorCode::PacketTooShort);
  EXPECT_EQ(decode(message).error(), ErrorCode::PacketTooShort);
}

TEST(DecodeResponse, AnswerCountStopsDecodingBeforeTheOtherSections) {
  const std::string message = header(1, 0, 0, 1, 1) + record(name("a.test"), 1, 5, "\x01") +
                              record(name("ns.test"), 2, 5, "\xff");
  const auto response = decode(message);
  ASSERT_TRUE(response);
  ASSERT_EQ(response->records.size(), 1u);
  EXPECT_EQ(response->records[0].name, "a.test");
}

struct DataCase {
  const char* label;
  unsigned type;
  std::string rdata;
  std::optional<std::string> data;  // nullopt: the error is expected
  ErrorCode error = ErrorCode::Unexpected;
};

class DecodeRecordData : public ::testing::TestWithParam<DataCase> {};

TEST_P(DecodeRecordData, FormOfData) {
  const DataCase& c = GetParam();
  // The question holds "example.com" at offset 12, for pointers in RDATA.
  const std::string message = header(1, 0x8180, 1, 1) + question("example.com", c.type) +
                              record(pointer(12), c.type, 60, c.rdata);
  const auto response = decode(message);
  if (c.data) {
    ASSERT_TRUE(response) << error_name(response.error());
    ASSERT_EQ(response->records.size(), 1u);
    EXPECT_EQ(response->records[0].data, *c.data);
    EXPECT_EQ(response->records[0].rr_type, c.type);
  } else {
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeRecordData,
    ::testing::Values(
        DataCase{"TxtJoinsStrings", 16,
                 character_string("v=spf1 ip4:192.0.2.0/24 ") + character_string("-all"),
                 "v=spf1 ip4:192.0.2.0/24 -all"},
        DataCase{"TxtOverlongSecondString", 16, character_string("first") + u8(20) + "short",
                 "first"},
        DataCase{"TxtEmptyRdata", 16, "", ""},
        DataCase{"TxtEmptyStrings", 16, u8(0) + u8(0) + character_string("x"), "x"},
        DataCase{"MxDropsPreference", 15, u16(10) + u8(2) + "mx" + pointer(12), "mx.example.com"},
        DataCase{"MxTooShort", 15, u16(10), std::nullopt, ErrorCode::PacketTooShort},
        DataCase{"MxRootExchange", 15, u16(0) + u8(0), ""},
        DataCase{"PtrCompressed", 12, u8(4) + "host" + pointer(12), "host.example.com"},
        DataCase{"CnameBadPointer", 5, pointer(0x3FFF), std::nullopt, ErrorCode::InvalidPointer},
        DataCase{"ALengthNotCompared", 1, "\x01\x02\x03\x04\x05\x06", "\x01\x02\x03\x04\x05\x06"},
        DataCase{"UnknownTypeVerbatim", 99, std::string("\x00\xff\x00", 3),
                 std::string("\x00\xff\x00", 3)}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(DecodeResponse, NameInRdataIsReadAgainstTheWholeMessage) {
  // The CNAME's RDATA claims 1 byte but its name continues beyond it.
  const std::string message =
      header(1, 0, 0, 1) + record(name("a.test"), 5, 60, u8(6)) + "target" + u8(0);
  const auto response = decode(message);
  ASSERT_TRUE(response);
  ASSERT_EQ(response->records.size(), 1u);
  EXPECT_EQ(response->records[0].data, "target");
}

TEST(DecodeResponse, AFailureAfterGoodRecordsReturnsNoRecords) {
  const std::string message =
      header(1, 0, 0, 2) + record(name("a.test"), 1, 60, "\x01\x02\x03\x04") + u8(0x40) + "x";
  EXPECT_EQ(decode(message).error(), ErrorCode::LabelTooLong);
}

struct NameReadCase {
  const char* label;
  std::string message;  // the name starts at offset 12
  std::optional<std::string> text;
  ErrorCode error = ErrorCode::Unexpected;
};

class ReadName : public ::testing::TestWithParam<NameReadCase> {};

TEST_P(ReadName, FollowsPointersWithinLimits) {
  const NameReadCase& c = GetParam();
  const auto text = read_name(as_bytes(c.message), 12);
  if (c.text) {
    ASSERT_TRUE(text) << error_name(text.error());
    EXPECT_EQ(*text, *c.text);
  } else {
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error(), c.error);
  }
}

const std::string kHeader = header(0, 0, 0, 0);

// A chain of n pointers at offsets 12, 14, ... each pointing at the next, the
// last at "end.test".
std::string pointer_chain(unsigned n) {
  std::string message = kHeader;
  for (unsigned i = 0; i < n; ++i) message += pointer(12 + 2 * (i + 1));
  return message + name("end.test");
}

// 63-byte labels chained so that the name grows to the given number of labels.
std::string long_name(unsigned labels, unsigned last_length) {
  std::string message = kHeader;
  for (unsigned i = 0; i + 1 < labels; ++i) message += u8(63) + repeat('x', 63);
  return message + u8(last_length) + repeat('y', last_length) + u8(0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadName,
    ::testing::Values(
        NameReadCase{"Root", kHeader + u8(0), ""}, NameReadCase{"PastTheEnd", kHeader, ""},
        NameReadCase{"Plain", kHeader + name("www.Example.com"), "www.Example.com"},
        NameReadCase{"DotInsideLabel", kHeader + u8(3) + "a.b" + u8(0), "a.b"},
        NameReadCase{"RunsOffTheEnd", kHeader + u8(3) + "abc" + u8(2) + "de", "abc.de"},
        NameReadCase{"LabelCutByTheEnd", kHeader + u8(5) + "abc", std::nullopt,
                     ErrorCode::PacketTooShort},
        NameReadCase{"ForwardPointer", kHeader + pointer(16) + "zz" + name("fwd.test"), "fwd.test"},
        NameReadCase{"LabelThenPointer",
                     kHeader + u8(3) + "www" + pointer(18) + name("example.com"),
                     "www.example.com"},
        NameReadCase{"PointerToItself", kHeader + pointer(12), std::nullopt,
                     ErrorCode::TooManyPointers},
        NameReadCase{"TenPointers", pointer_chain(10), "end.test"},
        NameReadCase{"ElevenPointers", pointer_chain(11), std::nullopt, ErrorCode::TooManyPointers},
        NameReadCase{"PointerPastTheEnd", kHeader + pointer(14), std::nullopt,
                     ErrorCode::InvalidPointer},
        NameReadCase{"PointerToLastByte", kHeader + pointer(14) + u8(0), ""},
        NameReadCase{"PointerCut", kHeader + u8(0xC0), std::nullopt, ErrorCode::PacketTooShort},
        NameReadCase{"Reserved40", kHeader + u8(0x40) + "x", std::nullopt, ErrorCode::LabelTooLong},
        NameReadCase{"ReservedBF", kHeader + u8(0xBF) + "x", std::nullopt, ErrorCode::LabelTooLong},
        NameReadCase{"Max253", long_name(4, 61),
                     repeat('x', 63) + "." + repeat('x', 63) + "." + repeat('x', 63) + "." +
                         repeat('y', 61)},
        NameReadCase{"Reaches254", long_name(4, 62), std::nullopt, ErrorCode::NameTooLong},
        NameReadCase{"Labels127", kHeader + name(one_byte_labels(127)), one_byte_labels(127)},
        NameReadCase{"Labels128", kHeader + name(one_byte_labels(128)), std::nullopt,
                     ErrorCode::TooManyLabels}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

struct SkipCase {
  const char* label;
  std::string message;  // the name starts at offset 12
  std::optional<std::size_t> end;
  ErrorCode error = ErrorCode::Unexpected;
};

class SkipName : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipName, FindsTheEndOfTheStoredName) {
  const SkipCase& c = GetParam();
  const auto end = skip_name(as_bytes(c.message), 12);
  if (c.end) {
    ASSERT_TRUE(end) << error_name(end.error());
    EXPECT_EQ(*end, *c.end);
  } else {
    ASSERT_FALSE(end);
    EXPECT_EQ(end.error(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SkipName,
    ::testing::Values(
        SkipCase{"Root", kHeader + u8(0), 13},
        SkipCase{"Plain", kHeader + name("a.bc") + "rest", 18},
        // The pointer ends the stored name and is not followed, even to nowhere.
        SkipCase{"LabelThenPointer", kHeader + u8(1) + "a" + pointer(0x3FFF), 16},
        SkipCase{"PointerCut", kHeader + u8(0xC0), std::nullopt, ErrorCode::PacketTooShort},
        SkipCase{"PastTheEnd", kHeader, std::nullopt, ErrorCode::PacketTooShort},
        SkipCase{"NoTerminator", kHeader + u8(2) + "ab", std::nullopt, ErrorCode::PacketTooShort},
        SkipCase{"LabelCut", kHeader + u8(9) + "ab", std::nullopt, ErrorCode::PacketTooShort},
        SkipCase{"Reserved80", kHeader + u8(0x80), std::nullopt, ErrorCode::LabelTooLong},
        SkipCase{"Labels127", kHeader + name(one_byte_labels(127)), 12 + 255},
        SkipCase{"Labels128", kHeader + name(one_byte_labels(128)), std::nullopt,
                 ErrorCode::TooManyLabels}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(RcodeName, NamedCodesAndNumberedRest) {
  const std::vector<std::pair<std::uint8_t, std::string_view>> table = {
      {0, "no_error"},   {1, "format_error"},    {2, "server_failure"},
      {3, "name_error"}, {4, "not_implemented"}, {5, "refused"},
      {6, "rcode6"},     {15, "rcode15"},        {0x12, "server_failure"}};
  for (const auto& [code, text] : table) EXPECT_EQ(rcode_name(code), text) << int(code);
}

}  // namespace
}  // namespace tessvane
