#include <gtest/gtest.h>

#include "session/protocol.h"

namespace ulmar::protocol {
namespace {

TEST(Protocol, IntegersAreFourBytesMostSignificantFirst) {
  EXPECT_EQ(EncodeInt32(1), std::string("\0\0\0\1", 4));
  EXPECT_EQ(EncodeInt32(-5), "\xFF\xFF\xFF\xFB");
  EXPECT_EQ(EncodeUInt32(0xCBF43926u), "\xCB\xF4\x39\x26");
  EXPECT_EQ(DecodeInt32("\xFF\xFF\xFF\xFB"), -5);
  EXPECT_EQ(DecodeInt32("\x00\x00\x01\x02"), 258);
  EXPECT_EQ(DecodeInt32("\x7F\xFF\xFF\xFF"), 2147483647);
}

TEST(Protocol, LinesEndWithCrLfWhenSent) {
  EXPECT_EQ(EncodeLine("repl.client-server.v.0.2"), "repl.client-server.v.0.2\r\n");
  EXPECT_EQ(EncodeLine(""), "\r\n");
}

TEST(Protocol, ReceivedLinesEndAtTheFirstLfWithOneCrDropped) {
  struct Case {
    std::string data, line;
    size_t consumed;
  } cases[] = {
      {"abc\r\n", "abc", 5},       {"abc\n", "abc", 4},          {"abc\r\r\n", "abc\r", 6},
      {"\r\n", "", 2},             {"\n", "", 1},                {"a\nb\n", "a", 2},
      {"\r\r\n", "\r", 3},         {"ab\rc\n", "ab\rc", 5},      {"\xCA\xEE\r\n", "\xCA\xEE", 4},
  };
  for (const Case& c : cases) {
    std::string line;
    size_t consumed = 0;
    ASSERT_EQ(TakeLine(c.data, kMaxLineLength, &line, &consumed), LineStatus::Complete) << c.data;
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(consumed, c.consumed);
  }
}

TEST(Protocol, LineLengthLimit) {
  std::string line;
  size_t consumed;
  EXPECT_EQ(TakeLine(std::string(16384, 'x') + "\n", kMaxLineLength, &line, &consumed), LineStatus::Complete);
  EXPECT_EQ(line.size(), 16384u);
  EXPECT_EQ(TakeLine(std::string(16385, 'x') + "\n", kMaxLineLength, &line, &consumed), LineStatus::TooLong);
  // Refused as soon as more than the limit arrived without an LF.
  EXPECT_EQ(TakeLine(std::string(16384, 'x'), kMaxLineLength, &line, &consumed), LineStatus::NeedMore);
  EXPECT_EQ(TakeLine(std::string(16385, 'x'), kMaxLineLength, &line, &consumed), LineStatus::TooLong);
  EXPECT_EQ(TakeLine("", kMaxLineLength, &line, &consumed), LineStatus::NeedMore);
}

}  // namespace
}  // namespace ulmar::protocol
