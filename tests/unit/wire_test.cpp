// The wire elements, the cursor over received bytes and the reply's reader.
#include <gtest/gtest.h>

#include "wire/cursor.h"
#include "wire/elements.h"
#include "wire/server_lists.h"

namespace ulmar::wire {
namespace {

TEST(Wire, IntegersAreFourBytesMostSignificantFirst) {
  EXPECT_EQ(EncodeInt32(1), std::string("\0\0\0\1", 4));
  EXPECT_EQ(EncodeInt32(-5), "\xFF\xFF\xFF\xFB");
  EXPECT_EQ(EncodeUInt32(0xCBF43926u), "\xCB\xF4\x39\x26");
  EXPECT_EQ(DecodeInt32("\xFF\xFF\xFF\xFB"), -5);
  EXPECT_EQ(DecodeInt32("\x00\x00\x01\x02"), 258);
  EXPECT_EQ(DecodeInt32("\x7F\xFF\xFF\xFF"), 2147483647);
}

TEST(Wire, LinesEndWithCrLfWhenSent) {
  EXPECT_EQ(EncodeLine("repl.client-server.v.0.2"), "repl.client-server.v.0.2\r\n");
  EXPECT_EQ(EncodeLine(""), "\r\n");
}

TEST(Cursor, ReceivedLinesEndAtTheFirstLfWithOneCrDropped) {
  struct Case {
    std::string data, line;
    size_t consumed;
  } cases[] = {
      {"abc\r\n", "abc", 5},       {"abc\n", "abc", 4},          {"abc\r\r\n", "abc\r", 6},
      {"\r\n", "", 2},             {"\n", "", 1},                {"a\nb\n", "a", 2},
      {"\r\r\n", "\r", 3},         {"ab\rc\n", "ab\rc", 5},      {"\xCA\xEE\r\n", "\xCA\xEE", 4},
  };
  for (const Case& c : cases) {
    Cursor in(c.data);
    std::string line;
    ASSERT_TRUE(in.Line(&line)) << c.data;
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(in.consumed(), c.consumed);
  }
}

TEST(Cursor, LineLengthLimitIsStickyAndRefusesBeforeTheLf) {
  std::string line;
  const std::string longest = std::string(kMaxLineLength, 'x') + "\n";
  Cursor exact(longest);
  EXPECT_TRUE(exact.Line(&line));
  EXPECT_EQ(line.size(), kMaxLineLength);
  // Refused as soon as more than the limit arrived without an LF.
  const std::string no_lf(kMaxLineLength, 'x');
  Cursor waiting(no_lf);
  EXPECT_FALSE(waiting.Line(&line));
  EXPECT_EQ(waiting.status(), Cursor::Status::NeedMore);
  const std::string too_long = std::string(kMaxLineLength + 1, 'x') + "\n" + EncodeInt32(7);
  Cursor refused(too_long);
  EXPECT_FALSE(refused.Line(&line));
  EXPECT_TRUE(refused.failed());
  int32_t value = 0;
  EXPECT_FALSE(refused.Int32(&value));  // sticky: nothing more is read
  EXPECT_EQ(refused.consumed(), 0u);
}

TEST(Cursor, AnElementCutOffTakesNothing) {
  const std::string bytes = EncodeInt32(-5) + "ab";
  Cursor in(std::string_view(bytes).substr(0, 3));
  int32_t value = 0;
  EXPECT_FALSE(in.Int32(&value));
  EXPECT_EQ(in.status(), Cursor::Status::NeedMore);
  Cursor whole(bytes);
  ASSERT_TRUE(whole.Int32(&value));
  EXPECT_EQ(value, -5);
  std::string line;
  EXPECT_FALSE(whole.Line(&line));
  EXPECT_EQ(whole.consumed(), kIntegerSize);
  EXPECT_EQ(whole.rest(), "ab");
}

// Every element the reader hands over, in order.
class RecordingSink : public ReplySink {
 public:
  std::vector<std::string> events;
  void OnCount(ReplyList list, int32_t count) override {
    events.push_back("count " + std::to_string(static_cast<int>(list)) + " " + std::to_string(count));
  }
  void OnFtpServer(std::string e) override { events.push_back("ftp " + e); }
  void OnForeignFile(std::string p) override { events.push_back("foreign " + p); }
  void OnFileToUpdate(std::string r, std::string l) override { events.push_back("update " + r + " " + l); }
  void OnNewDataSource(TDBAlias s) override {
    events.push_back("source " + std::to_string(s.Kind) + " " + s.Name + "|" + s.Database + "|" + s.Server);
  }
  void OnFileToDelete(std::string p) override { events.push_back("delete " + p); }
  void OnListEnd(ReplyList list) override { events.push_back("end " + std::to_string(static_cast<int>(list))); }
};

TEST(ReplyReader, AReplySplitAtEveryOffsetReadsTheSameAndIgnoresWhatFollows) {
  const std::string reply = EncodeInt32(1) + "ftp1/base\r\n" + EncodeInt32(-5) + EncodeInt32(1) + "Bin\\x.dll\r\n" +
                            "x.dll\n" + EncodeInt32(1) + EncodeInt32(258) + "N\r\nD\r\r\nS\r\n" + EncodeInt32(2) +
                            "a\r\nb\r\n";
  const std::vector<std::string> expected = {
      "count 0 1", "ftp ftp1/base", "end 0", "count 1 -5", "end 1", "count 2 1", "update Bin\\x.dll x.dll", "end 2",
      "count 3 1", "source 2 N|D\r|S", "end 3", "count 4 2", "delete a", "delete b", "end 4"};
  for (size_t split = 0; split <= reply.size(); ++split) {
    RecordingSink sink;
    ReplyReader reader(sink);
    ReplyReader::Result first = reader.Feed(std::string_view(reply).substr(0, split));
    ASSERT_EQ(first, split == reply.size() ? ReplyReader::Result::Done : ReplyReader::Result::NeedMore) << split;
    EXPECT_EQ(reader.Feed(reply.substr(split) + "trailing"), ReplyReader::Result::Done);
    ASSERT_EQ(sink.events, expected) << "split at " << split;
  }
}

TEST(ReplyReader, CollectedListsAndAnOverlongLine) {
  ServerLists lists;
  ListCollector collector(lists);
  ReplyReader reader(collector);
  ServerLists sent;
  sent.FtpServers = {"a", "b/c"};
  sent.FilesToUpdate = {"r1", "l1", "r2", "l2"};
  sent.NewDataSources = {{"Main", "uchet", "db1", SystemDsn}};
  sent.FilesToDelete = {"old.txt"};
  ASSERT_EQ(reader.Feed(EncodeServerLists(sent)), ReplyReader::Result::Done);
  EXPECT_EQ(lists.FtpServers, sent.FtpServers);
  EXPECT_EQ(lists.FilesToUpdate, sent.FilesToUpdate);
  EXPECT_EQ(lists.UpdateCount, 2);
  ASSERT_EQ(lists.NewDataSources.size(), 1u);
  EXPECT_EQ(lists.NewDataSources[0].Server, "db1");
  EXPECT_EQ(lists.FilesToDelete, sent.FilesToDelete);

  ListCollector other(lists);
  ReplyReader refusing(other);
  EXPECT_EQ(refusing.Feed(EncodeInt32(1) + std::string(kMaxLineLength + 1, 'x')), ReplyReader::Result::LineTooLong);
  EXPECT_EQ(refusing.Feed("\r\n"), ReplyReader::Result::LineTooLong);
}

TEST(ReplyReader, EndlessEmptyLinesStopAtTheBoundOfWhatTheListsHold) {
  // 2^31-1 foreign files announced, then nothing but line feeds: each costs
  // an element's keeping, not just its byte.
  ServerLists lists;
  ListCollector collector(lists);
  const size_t bound = 1 << 20;
  ReplyReader reader(collector, bound);
  ASSERT_EQ(reader.Feed(EncodeInt32(0) + EncodeInt32(0x7FFFFFFF)), ReplyReader::Result::NeedMore);
  const std::string feeds(4096, '\n');
  ReplyReader::Result result = ReplyReader::Result::NeedMore;
  size_t fed = 0;
  while (result == ReplyReader::Result::NeedMore && fed < 4 * bound) {
    result = reader.Feed(feeds);
    fed += feeds.size();
  }
  EXPECT_EQ(result, ReplyReader::Result::TooLarge);
  EXPECT_LE(lists.ForeignFiles.size(), bound / ReplyReader::kElementCost);
  EXPECT_GE(lists.ForeignFiles.size(), bound / ReplyReader::kElementCost - 1);
  EXPECT_EQ(reader.Feed("\n"), ReplyReader::Result::TooLarge);
}

}  // namespace
}  // namespace ulmar::wire
