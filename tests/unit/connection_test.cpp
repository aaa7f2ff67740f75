// The network layer against a scripted peer on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "base/errors.h"
#include "net/connection.h"
#include "unit/failure_text.h"
#include "unit/fake_clock.h"
#include "unit/loopback.h"
#include "unit/stepping_clock.h"
#include "unit/temp_dir.h"
#include "unit/wire_sizes.h"

namespace ulmar {
namespace {

using testing::ReadAll;
using testing::ScriptedPeer;

using testing::ShortLimits;

std::string TransportMessage(const std::function<void()>& action) {
  return testing::FailureText<TransportError>(action);
}


// The product's own time limits. The tests shorten them through
// NetworkLimits, so their values are held here: a changed limit fails.
TEST(Limits, TheProductsTimeLimitsKeepTheirValues) {
  const NetworkLimits product;
  EXPECT_EQ(product.connect_timeout_ms, 2000);
  EXPECT_EQ(product.connect_slice_ms, 125);
  EXPECT_EQ(product.wait_slice_ms, 250);
  EXPECT_EQ(product.inactivity_limit_ms, 120000);
  EXPECT_EQ(product.transfer_floor_window_ms, 60000);
  EXPECT_EQ(product.transfer_floor_bytes, 60 * 1024);
  EXPECT_EQ(limits::kFtpReplyTimeoutMs, 60000);
  EXPECT_EQ(limits::kFtpConnectTimeoutMs, 5000);
  EXPECT_EQ(limits::kFtpQuitAnswerMs, 10);
  EXPECT_EQ(kHeartbeatDueMs, 25);
  EXPECT_EQ(kLongestHeartbeatGapMs, 50);
}

TEST(Connection, RefusedConnectRaisesTheRefusedText) {
  Connection c(nullptr, ShortLimits());
  EXPECT_EQ(TransportMessage([&] { c.Connect("127.0.0.1", testing::ClosedPort()); }), "Connection refused.");
  EXPECT_FALSE(c.Connected());
}

TEST(Connection, ConnectThatNeverCompletesTimesOutServingTheWindowMeanwhile) {
  // A listener with a backlog of 0 whose queue one other connection fills:
  // further handshakes are never answered.
  uint16_t port = 0;
  testing::RawSocket listener = testing::ListenLoopback(&port, 0);
  Connection filler(nullptr, ShortLimits());
  filler.Connect("127.0.0.1", port);
  int idle_calls = 0;
  Heartbeat heartbeat([&] { ++idle_calls; });
  Connection c(&heartbeat, ShortLimits());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TransportMessage([&] { c.Connect("127.0.0.1", port); }), "Connect timed out.");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(550));
  EXPECT_GE(idle_calls, 5);
  EXPECT_FALSE(c.Connected());
  testing::CloseRaw(listener);
}

TEST(Connection, ReadsLinesAndIntegersSplitAcrossChunks) {
  ScriptedPeer peer({ScriptedPeer::Send("repl.cli"), ScriptedPeer::UntilClientWaits(),
                     ScriptedPeer::Send(std::string("ent\r\n\0\0", 7)), ScriptedPeer::UntilClientWaits(),
                     ScriptedPeer::Send(std::string("\0\3abc\nx\r\r\n", 11)), ScriptedPeer::Close()});
  Heartbeat heartbeat([&] { peer.ClientWaits(); });
  Connection c(&heartbeat, ShortLimits());
  c.Connect("127.0.0.1", peer.Port());
  EXPECT_EQ(c.ReadLine(16384), "repl.client");
  // Four bytes that arrive in two chunks.
  std::string integer;
  char byte;
  while (integer.size() < 4 && c.ReadSome(&byte, 1) == 1) integer += byte;
  EXPECT_EQ(integer, std::string("\0\0\0\3", 4));
  EXPECT_EQ(c.ReadLine(16384), "abc");
  EXPECT_EQ(c.ReadLine(16384), "x\r");
  EXPECT_EQ(TransportMessage([&] { c.ReadLine(16384); }), "Connection Closed Gracefully.");
  EXPECT_FALSE(c.Connected());
}

TEST(Connection, LongLineIsRefusedAsSoonAsTheLimitIsPassed) {
  // The peer sends more than the limit and then waits for the client to go:
  // the refusal must not wait for an LF (a client that did would end in
  // "Read timed out." instead).
  ScriptedPeer peer({ScriptedPeer::Send(std::string(16385, 'x')), ScriptedPeer::ReceiveAll()});
  Connection c(nullptr, ShortLimits());
  c.Connect("127.0.0.1", peer.Port());
  EXPECT_EQ(TransportMessage([&] { c.ReadLine(16384); }), "Max line length exceeded.");
}

TEST(Connection, StalledPeerEndsTheReadAfterTheInactivityLimit) {
  // The peer sends two bytes and then nothing until the client gives up.
  ScriptedPeer peer({ScriptedPeer::Send("ab"), ScriptedPeer::ReceiveAll()});
  int idle_calls = 0;
  Heartbeat heartbeat([&] { ++idle_calls; });
  Connection c(&heartbeat, ShortLimits());
  c.Connect("127.0.0.1", peer.Port());
  EXPECT_EQ(TransportMessage([&] { c.ReadLine(16384); }), "Read timed out.");
  EXPECT_GE(idle_calls, 4);
}

TEST(Connection, ResetByThePeerIsATransportErrorAndConnectedNeverRaises) {
  ScriptedPeer peer({ScriptedPeer::Receive(3), ScriptedPeer::Reset()});
  Connection c(nullptr, ShortLimits());
  c.Connect("127.0.0.1", peer.Port());
  c.Write("abc");
  std::string message = TransportMessage([&] { c.ReadLine(16384); });
  EXPECT_TRUE(message == "Connection reset by peer." || message == "Connection Closed Gracefully.") << message;
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(TransportMessage([&] { c.Write("x"); }), "Not connected.");
}

TEST(Connection, ASteadyStreamStillBeatsAfterEveryChunk) {
  // Data that is always there never makes a wait time out: the window must
  // be served from the data path too. Each step here counts as 30 ms, more
  // than a beat's due time, so every chunk taken is followed by a beat.
  const size_t total = 4 << 20;
  ScriptedPeer peer({ScriptedPeer::Send(std::string(total, 'd')), ScriptedPeer::Close()});
  testing::SteppingClock clock(30);
  size_t received = 0, at_last_beat = 0, longest_run = 0;
  Heartbeat heartbeat(
      [&] {
        longest_run = std::max(longest_run, received - at_last_beat);
        at_last_beat = received;
      },
      clock.AsClock());
  Connection c(&heartbeat, ShortLimits());
  c.Connect("127.0.0.1", peer.Port());
  std::vector<char> block(64 * 1024);
  for (size_t n; (n = c.ReadSome(block.data(), block.size())) > 0;) received += n;
  EXPECT_EQ(received, total);
  EXPECT_LE(std::max(longest_run, received - at_last_beat), block.size());
}

TEST(Connection, AskingWhetherAFloodingPeerIsConnectedReadsOneChunkAtMost) {
  testing::TempDir dir;
  testing::FakeClock clock;
  TrafficLog log(clock);
  log.Activate(dir.File("tcp.log"));
  // A correct line, then more than the socket buffers hold, without end for
  // the client's purposes.
  ScriptedPeer peer({ScriptedPeer::Send("ok\r\n" + std::string(64 << 20, 'f')), ScriptedPeer::Close()});
  {
    Connection c(nullptr, ShortLimits());
    c.AttachLog(&log);
    c.Connect("127.0.0.1", peer.Port());
    EXPECT_EQ(c.ReadLine(16384), "ok");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(c.Connected());
    c.Disconnect();
  }
  // Three questions, three chunks at most.
  EXPECT_LT(std::filesystem::file_size(dir.File("tcp.log")), 4 * Connection::kReceiveBlock + 1000);
}

TEST(Connection, TrafficLogShowsEachWriteEachChunkAndTheCloses) {
  testing::TempDir dir;
  testing::FakeClock clock;
  TrafficLog log(clock);
  log.Activate(dir.File("tcp.log"));
  ScriptedPeer peer({ScriptedPeer::Receive(testing::kOpening.size()), ScriptedPeer::Send("ok\r\n"), ScriptedPeer::Receive(1),
                     ScriptedPeer::Close()});
  {
    Connection c(nullptr, ShortLimits());
    c.AttachLog(&log);
    c.Connect("127.0.0.1", peer.Port());
    c.Write(std::string("\0\0\0\1", 4));
    c.Write("repl.client-server.v.0.2\r\n");
    EXPECT_EQ(c.ReadLine(16384), "ok");
    c.Write("z");
    // The peer closes after the last byte: the question notices it and
    // closes our side, without raising. (The close may take a moment to
    // reach the socket under Wine: ask again until it has, within bounds.)
    peer.WaitUntilClosed();
    for (int i = 0; i < 100 && c.Connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(c.Connected());
    c.Disconnect();
  }
  EXPECT_EQ(peer.Received(), std::string("\0\0\0\1", 4) + "repl.client-server.v.0.2\r\nz");
  const std::string one("\0\0\0\1", 4);
  EXPECT_EQ(ReadAll(dir.File("tcp.log")), "Stat Connected.\r\n"
                                          "Sent 08.12.2026 9:05:07: " + one + "\r\n"
                                              "Sent 08.12.2026 9:05:07: repl.client-server.v.0.2<EOL>\r\n"
                                              "Recv 08.12.2026 9:05:07: ok<EOL>\r\n"
                                              "Sent 08.12.2026 9:05:07: z\r\n"
                                              "Stat Disconnected.\r\n");
}

TEST(TrafficLog, EscapesLineBreaksAndKeepsEveryOtherByte) {
  EXPECT_EQ(EscapeTraffic("a\r\nb\rc\nd\n\r"), "a<EOL>b<CR>c<LF>d<LF><CR>");
  EXPECT_EQ(EscapeTraffic(std::string("\0\xFF\r\r\n", 5)), std::string("\0\xFF<CR><EOL>", 11));
}

TEST(TrafficLog, AppendsToAnExistingFile) {
  testing::TempDir dir;
  testing::FakeClock clock;
  testing::WriteAll(dir.File("t.log"), "earlier\r\n");
  TrafficLog log(clock);
  log.Disconnected();  // not active yet: nothing happens
  log.Activate(dir.File("t.log"));
  clock.now = {2026, 12, 8, 0, 0, 0, 0};
  log.Received("x");
  EXPECT_EQ(ReadAll(dir.File("t.log")), "earlier\r\nRecv 08.12.2026: x\r\n");
}

}  // namespace
}  // namespace ulmar
