// A conversation's reply against the budget of unsent reply bytes shared by
// all conversations, and the record it leaves for the fleet's store.
#include "client_conversation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "unit/temp_dir.h"
#include "wire/elements.h"

namespace ulmar::server {
namespace {

using wire::EncodeInt32;
using wire::EncodeLine;
using wire::EncodeUInt32;

// An inventory of many files the release does not have: a reply of about
// 20 bytes for each.
std::string InventoryOfForeignFiles(int count) {
  std::string bytes = EncodeInt32(1) + EncodeLine(wire::kProtocolId) + EncodeLine("STUDENT") + EncodeLine("ivanov") +
                      EncodeInt32(count);
  for (int i = 0; i < count; ++i) bytes += EncodeUInt32(1) + EncodeLine("foreign_" + std::to_string(100000 + i));
  return bytes + EncodeInt32(0);
}

TEST(ReplyBudget, TakesOnlyWhatFitsAndGivesBack) {
  ReplyBudget budget(100);
  EXPECT_TRUE(budget.Take(60));
  EXPECT_FALSE(budget.Take(41));
  EXPECT_TRUE(budget.Take(40));
  EXPECT_FALSE(budget.Take(1));
  budget.Give(60);
  EXPECT_TRUE(budget.Take(60));
  EXPECT_FALSE(budget.Take(static_cast<size_t>(-1)));
  EXPECT_EQ(budget.used(), 100u);
}

TEST(ReplyBudget, AReplyHeldUnsentKeepsTheNextOutUntilItIsSent) {
  ulmar::testing::TempDir dir;
  std::filesystem::create_directories(dir.Path() / "STUDENT" / "files");
  ulmar::testing::WriteAll(dir.File("STUDENT/manifest.txt"), "ftp 127.0.0.1/student\n");
  ReleaseStore releases(dir.Path().string(), [](const std::string&) {});
  releases.Refresh();
  const std::string inventory = InventoryOfForeignFiles(1000);  // a reply of some 20,000 bytes
  ReplyBudget budget(30000);

  ClientConversation first("a:1", releases, {}, &budget);
  ASSERT_TRUE(first.Receive(inventory));
  EXPECT_EQ(first.phase(), ClientConversation::Phase::Answering);
  const size_t held = budget.used();
  EXPECT_GT(held, 15000u);

  {
    ClientConversation second("b:1", releases, {}, &budget);
    EXPECT_FALSE(second.Receive(inventory));
    EXPECT_EQ(second.failure(), "the server holds too many unsent replies");
    EXPECT_EQ(budget.used(), held);
  }
  // Half sent: still held. All sent: given back.
  first.Sent(first.Outgoing().size() / 2);
  EXPECT_EQ(budget.used(), held);
  first.Sent(first.Outgoing().size());
  EXPECT_EQ(first.phase(), ClientConversation::Phase::Waiting);
  EXPECT_EQ(budget.used(), 0u);

  {
    ClientConversation third("c:1", releases, {}, &budget);
    EXPECT_TRUE(third.Receive(inventory));
    EXPECT_EQ(budget.used(), held);
  }
  // A conversation that ends with its reply unsent gives it back too.
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_NE(first.LogLine(kServed).find(" foreign=1000 "), std::string::npos) << first.LogLine(kServed);
}

TEST(ConversationRecord, KeepsWhoTheClientWasTheVerdictsCountsAndABoundedShareOfItsNames) {
  ulmar::testing::TempDir dir;
  std::filesystem::create_directories(dir.Path() / "STUDENT" / "files" / "Bin");
  ulmar::testing::WriteAll(dir.File("STUDENT/manifest.txt"), "ftp 127.0.0.1/student\n");
  ulmar::testing::WriteAll(dir.File("STUDENT/files/Bin/lib.dll"), "library");
  ulmar::testing::WriteAll(dir.File("STUDENT/files/readme.txt"), "read me");
  ReleaseStore releases(dir.Path().string(), [](const std::string&) {});
  releases.Refresh();

  // The client's spelling of the suite, a drifted file, the missing
  // readme, and more foreign names than a record keeps.
  std::string inventory = EncodeInt32(1) + EncodeLine(wire::kProtocolId) + EncodeLine("student") +
                          EncodeLine("ivanov") + EncodeInt32(1 + 3000) + EncodeUInt32(7) + EncodeLine("bin\\LIB.dll");
  for (int i = 0; i < 3000; ++i) inventory += EncodeUInt32(1) + EncodeLine("foreign_" + std::to_string(100000 + i));
  inventory += EncodeInt32(0);

  ClientConversation kept("10.4.7.31:46232", releases, {}, nullptr, true);
  ASSERT_TRUE(kept.Receive(inventory));
  SessionRecord r = kept.Record(kServed);
  EXPECT_EQ(r.suite, "STUDENT");
  EXPECT_EQ(r.user, "ivanov");
  EXPECT_EQ(r.address, "10.4.7.31");
  EXPECT_EQ(r.files, 3001);
  EXPECT_TRUE(r.has_verdict && r.ok);
  EXPECT_EQ(r.update, 2);
  EXPECT_EQ(r.foreign, 3000u);
  EXPECT_EQ(r.drifted, std::vector<std::string>{"Bin\\lib.dll"});
  EXPECT_EQ(r.missing, std::vector<std::string>{"readme.txt"});
  EXPECT_EQ(r.update_names, (std::vector<std::string>{"bin\\LIB.dll", "readme.txt"}));
  EXPECT_EQ(r.foreign_names.size(), kMaxRecordedNames);
  EXPECT_EQ(r.foreign_names.front(), "foreign_100000");

  // Long names: the bytes kept are bounded too.
  std::string long_names = EncodeInt32(1) + EncodeLine(wire::kProtocolId) + EncodeLine("STUDENT") +
                           EncodeLine("petrov") + EncodeInt32(100);
  for (int i = 0; i < 100; ++i) long_names += EncodeUInt32(1) + EncodeLine(std::string(4000, 'a' + i % 26) + std::to_string(i));
  long_names += EncodeInt32(0);
  ClientConversation bounded("10.4.7.32:1", releases, {}, nullptr, true);
  ASSERT_TRUE(bounded.Receive(long_names));
  SessionRecord b = bounded.Record(kServed);
  size_t bytes = 0;
  for (const std::string& name : b.foreign_names) bytes += name.size();
  EXPECT_LE(bytes, kMaxRecordedNameBytes);
  EXPECT_GE(b.foreign_names.size(), 15u);
  EXPECT_EQ(b.foreign, 100u);

  // Without keep_names only the counts; a failure keeps what came before it.
  ClientConversation counted("10.4.7.33:1", releases, {}, nullptr, false);
  ASSERT_TRUE(counted.Receive(inventory));
  EXPECT_TRUE(counted.Record(kServed).foreign_names.empty());
  ClientConversation refused("10.4.7.34:1", releases, {}, nullptr, true);
  EXPECT_FALSE(refused.Receive(EncodeInt32(1) + EncodeLine(wire::kProtocolId) + EncodeLine("NOSUCH")));
  SessionRecord f = refused.Record(Failed(refused.failure()));
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.reason, "unknown suite code");
  EXPECT_EQ(f.suite, "NOSUCH");
  EXPECT_FALSE(f.user.has_value());
  EXPECT_FALSE(f.has_verdict);
}

TEST(ConversationRecord, APeerNamedByABalancersHeaderIsTheOneLoggedAndRecorded) {
  ulmar::testing::TempDir dir;
  std::filesystem::create_directories(dir.Path() / "STUDENT" / "files");
  ulmar::testing::WriteAll(dir.File("STUDENT/manifest.txt"), "ftp 127.0.0.1/student\n");
  ReleaseStore releases(dir.Path().string(), [](const std::string&) {});
  releases.Refresh();
  for (const auto& [peer, address] : {std::pair{"10.4.7.31:46232", "10.4.7.31"}, {"[2001:db8::7]:443", "2001:db8::7"}}) {
    ClientConversation relayed("10.1.2.10:51234", releases, {});
    relayed.SetPeer(peer);
    ASSERT_TRUE(relayed.Receive(InventoryOfForeignFiles(1)));
    SessionRecord r = relayed.Record(kServed);
    EXPECT_EQ(r.peer, peer);
    EXPECT_EQ(r.address, address);
    EXPECT_NE(relayed.LogLine(kServed).find(std::string(" peer=") + peer + " suite="), std::string::npos);
  }
}

}  // namespace
}  // namespace ulmar::server
