// A conversation's reply against the budget of unsent reply bytes shared by
// all conversations.
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

}  // namespace
}  // namespace ulmar::server
