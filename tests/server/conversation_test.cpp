#include "conversation.h"

#include <gtest/gtest.h>

#include "wire/elements.h"

namespace ulmar::server {
namespace {

using wire::EncodeInt32;
using wire::EncodeLine;
using wire::EncodeUInt32;

// Writes down every element the reader hands over.
class RecordingSink : public InventorySink {
 public:
  void OnOpening(const std::string& id) override { events.push_back("opening " + id); }
  std::string OnSuite(const std::string& suite) override {
    events.push_back("suite " + suite);
    return suite == "UNKNOWN" ? "unknown suite code" : "";
  }
  void OnUser(const std::string& user) override { events.push_back("user " + user); }
  void OnFileCount(int32_t n) override { events.push_back("files " + std::to_string(n)); }
  void OnFile(uint32_t crc, const std::string& name) override {
    events.push_back("file " + std::to_string(crc) + " " + name);
  }
  void OnDataSourceCount(int32_t n) override { events.push_back("sources " + std::to_string(n)); }
  void OnDataSource(const TDBAlias& s) override {
    events.push_back("source " + std::to_string(s.Kind) + " " + s.Name + "|" + s.Database + "|" + s.Server);
  }
  std::vector<std::string> events;
};

std::string Opening(const std::string& suite = "STUDENT") {
  return EncodeInt32(1) + EncodeLine("repl.client-server.v.0.2") + EncodeLine(suite) + EncodeLine("ivanov");
}

const std::string kInventory = Opening() + EncodeInt32(2) + EncodeUInt32(0xFFFFFFFEu) + EncodeLine("readme.txt") +
                               EncodeUInt32(7) + "Bin\\lib.dll\n" + EncodeInt32(1) + EncodeInt32(2) +
                               EncodeLine("STAFF") + EncodeLine("C:\\STAFF") + EncodeLine("");

const std::vector<std::string> kEvents = {
    "opening repl.client-server.v.0.2", "suite STUDENT", "user ivanov", "files 2",
    "file 4294967294 readme.txt", "file 7 Bin\\lib.dll", "sources 1", "source 2 STAFF|C:\\STAFF|"};

TEST(ServerConversation, AnInventorySplitAtEveryOffsetReadsTheSame) {
  for (size_t split = 0; split <= kInventory.size(); ++split) {
    RecordingSink sink;
    InventoryReader reader(sink, {});
    InventoryReader::Result first = reader.Feed(std::string_view(kInventory).substr(0, split));
    EXPECT_EQ(first, split == kInventory.size() ? InventoryReader::Result::Done : InventoryReader::Result::NeedMore);
    EXPECT_EQ(reader.Feed(kInventory.substr(split) + "ignored"),
              InventoryReader::Result::Done);
    EXPECT_EQ(sink.events, kEvents) << split;
  }
}

TEST(ServerConversation, ByteByByteReadsTheSame) {
  RecordingSink sink;
  InventoryReader reader(sink, {});
  for (char c : kInventory) reader.Feed(std::string_view(&c, 1));
  EXPECT_EQ(sink.events, kEvents);
}

TEST(ServerConversation, CountsOfZeroOrLessCarryNothing) {
  RecordingSink sink;
  InventoryReader reader(sink, {});
  EXPECT_EQ(reader.Feed(Opening() + EncodeInt32(-5) + EncodeInt32(0)), InventoryReader::Result::Done);
  EXPECT_EQ(sink.events.back(), "sources 0");
}

TEST(ServerConversation, BrokenInventoriesFailWithAReason) {
  std::string long_line(wire::kMaxLineLength + 1, 'x');
  struct Case {
    std::string bytes;
    std::string reason;
  } cases[] = {
      {EncodeInt32(2), "the opening is 2, not 1"},
      {EncodeInt32(1) + long_line, "a line longer than 16384 bytes"},
      {Opening() + EncodeInt32(1) + EncodeUInt32(1) + long_line + "\n", "a line longer than 16384 bytes"},
      {Opening() + EncodeInt32(2147483647), "a file count of 2147483647, above the limit of 200000"},
      {Opening() + EncodeInt32(0) + EncodeInt32(10001), "a data-source count of 10001, above the limit of 10000"},
      {Opening() + EncodeInt32(0) + EncodeInt32(1) + EncodeInt32(258), "a data-source kind of 258, none of 0, 1, 2"},
      {Opening("UNKNOWN"), "unknown suite code"},
  };
  for (const Case& c : cases) {
    RecordingSink sink;
    InventoryReader reader(sink, {});
    EXPECT_EQ(reader.Feed(c.bytes), InventoryReader::Result::Failed) << c.reason;
    EXPECT_EQ(reader.failure(), c.reason);
    // A failed conversation stays failed.
    EXPECT_EQ(reader.Feed(EncodeInt32(0)), InventoryReader::Result::Failed);
  }
}

TEST(ServerConversation, AnInventoryAboveTheByteLimitFails) {
  RecordingSink sink;
  ConversationLimits limits;
  limits.max_bytes = 100;
  InventoryReader reader(sink, limits);
  std::string record = EncodeUInt32(1) + EncodeLine(std::string(40, 'f'));
  EXPECT_EQ(reader.Feed(Opening() + EncodeInt32(9) + record), InventoryReader::Result::NeedMore);
  EXPECT_EQ(reader.Feed(record), InventoryReader::Result::Failed);
  EXPECT_EQ(reader.failure(), "an inventory of more than 100 bytes");
}

TEST(ServerConversation, ALineOfExactlyTheLimitIsAccepted) {
  RecordingSink sink;
  InventoryReader reader(sink, {});
  std::string name(wire::kMaxLineLength, 'n');
  EXPECT_EQ(reader.Feed(Opening() + EncodeInt32(1) + EncodeUInt32(1) + name + "\n" + EncodeInt32(0)),
            InventoryReader::Result::Done);
}

}  // namespace
}  // namespace ulmar::server
