// The FTP client's codecs and the download stage's small rules.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "apply/download.h"
#include "apply/partial_file.h"
#include "base/partial_file.h"
#include "net/ftp_client.h"
#include "net/ftp_reply.h"
#include "base/safe_path.h"
#include "base/errors.h"
#include "base/heartbeat.h"
#include "unit/failure_text.h"
#include "unit/fake_clock.h"
#include "unit/ftp_script.h"
#include "unit/held_file.h"
#include "unit/loopback.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

FtpReply ParseAll(const std::vector<std::string>& lines, size_t* used = nullptr) {
  FtpReplyParser parser;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (parser.Feed(lines[i])) {
      if (used) *used = i + 1;
      return parser.Take();
    }
  }
  ADD_FAILURE() << "reply not complete";
  return {};
}

TEST(FtpReply, SingleAndMultiLineReplies) {
  FtpReply r = ParseAll({"220 Service ready"});
  EXPECT_EQ(r.code, 220);
  EXPECT_EQ(r.Text(), "Service ready");
  size_t used = 0;
  r = ParseAll({"220-Welcome", "to the mirror", "220-still going", "220 ready", "ignored"}, &used);
  EXPECT_EQ(used, 4u);
  EXPECT_EQ(r.code, 220);
  EXPECT_EQ(r.Text(), "Welcome\r\nto the mirror\r\nstill going\r\nready");
  EXPECT_EQ(ParseAll({"550"}).Text(), "");
  // A line in the middle that starts with another code does not end it.
  EXPECT_EQ(ParseAll({"211-Features:", "211x", " UTF8", "211 End"}).lines.size(), 4u);
}

TEST(FtpReply, GarbageAndOversizedRepliesAreFtpFailures) {
  FtpReplyParser parser;
  EXPECT_THROW(parser.Feed("hello"), FtpError);
  FtpReplyParser big;
  big.Feed("220-start");
  std::string line(1000, 'x');
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) big.Feed(line);
      },
      FtpError);
  // Either failure leaves the parser ready for the next reply.
  for (FtpReplyParser* p : {&parser, &big}) {
    EXPECT_TRUE(p->Feed("220 ready"));
    EXPECT_EQ(p->Take().lines, std::vector<std::string>{"220 ready"});
  }
}

TEST(FtpPassive, AddressInsideParenthesesOrAfterTheLastBlank) {
  struct Case {
    std::string text, host;
    uint16_t port;
  } cases[] = {
      {"Entering Passive Mode (127,0,0,1,195,80).", "127.0.0.1", 50000},
      {"Entering Passive Mode 10,1,2,3,0,21", "10.1.2.3", 21},
      {"=(192,168,0,9,4,1)", "192.168.0.9", 1025},
  };
  for (const Case& c : cases) {
    std::string host;
    uint16_t port = 0;
    ParsePassiveReply(c.text, &host, &port);
    EXPECT_EQ(host, c.host) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
  }
  std::string host;
  uint16_t port;
  for (const char* bad : {"Entering Passive Mode (127,0,0,1,300,1)", "no numbers", "(1,2,3,4,5)"}) {
    EXPECT_THROW(ParsePassiveReply(bad, &host, &port), FtpError) << bad;
  }
}

TEST(Download, ServerEntriesAndPaths) {
  struct Case {
    std::string entry, host, base;
  } cases[] = {
      {"ftp1", "ftp1", "/"},
      {"ftp1/upd\\win", "ftp1", "/upd/win/"},
      {"ftp1/", "ftp1", "//"},
      {"10.0.0.5/a/b", "10.0.0.5", "/a/b/"},
  };
  for (const Case& c : cases) {
    std::string host, base;
    SplitServerEntry(c.entry, &host, &base);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(base, c.base);
  }
  EXPECT_EQ(ToFtpPath("a\\b\\x.dll"), "a/b/x.dll");
  EXPECT_EQ(ToFtpPath(""), "");
}

TEST(Download, ProgressRoundsHalvesToEven) {
  std::vector<int> eight, three;
  for (int i = 1; i <= 8; ++i) eight.push_back(StageProgress(i, 8));
  for (int i = 1; i <= 3; ++i) three.push_back(StageProgress(i, 3));
  EXPECT_EQ(eight, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));
  EXPECT_EQ(three, (std::vector<int>{33, 67, 100}));
}

TEST(PartialFile, TheDestinationChangesOnlyOnCommit) {
  testing::TempDir dir;
  const std::string destination = dir.File("x.dll");
  const std::string partial = dir.File(kPartialName);
  testing::WriteAll(destination, "old");
  {
    PartialFile abandoned(destination, partial);
    abandoned.Write("new, but cut off");
  }
  EXPECT_EQ(testing::ReadAll(destination), "old");
  EXPECT_FALSE(std::filesystem::exists(partial));
  PartialFile complete(destination, partial);
  complete.Write("new ");
  complete.Write("file");
  EXPECT_EQ(testing::ReadAll(destination), "old");
  complete.Commit();
  EXPECT_EQ(testing::ReadAll(destination), "new file");
  EXPECT_FALSE(std::filesystem::exists(partial));
  // A read-only installed file (copied from a CD, say) is replaced too.
  std::filesystem::permissions(destination, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
  PartialFile over_read_only(destination, partial);
  over_read_only.Write("newer");
  over_read_only.Commit();
  EXPECT_EQ(testing::ReadAll(destination), "newer");
  // A folder that is not there fails before anything is asked of a server.
  EXPECT_THROW(PartialFile(dir.File("x.dll"), dir.File("missing") + "/x.dll"), InOutError);
}

using testing::Holder;

TEST(PartialFile, AMoveRefusedWhileAScannerHoldsTheNewFileIsTriedAgain) {
  testing::TempDir dir;
  const std::string destination = dir.File("x.dll");
  const std::string partial = dir.File(kPartialName);
  testing::WriteAll(destination, "old");
  // The scanner opens the new file once it is written, and lets go while
  // the client waits: at the first beat after a refused move.
  std::unique_ptr<Holder> scanner;
  int beats = 0;
  Heartbeat heartbeat(
      [&] {
        ++beats;
        if (scanner) scanner->Release();
      },
      [] { return int64_t{0}; }, 0);
  PartialFile file(destination, partial, &heartbeat);
  file.Write("new");
  file.FinishWriting();
  scanner = std::make_unique<Holder>(partial);
  beats = 0;
  file.MoveIntoPlace();
  EXPECT_EQ(testing::ReadAll(destination), "new");
  EXPECT_EQ(beats, 1);
}

TEST(PartialFile, AFileHeldLongerThanThePatienceFailsAndLeavesTheOldFile) {
  testing::TempDir dir;
  const std::string destination = dir.File("x.dll");
  const std::string partial = dir.File(kPartialName);
  testing::WriteAll(destination, "old");
  std::optional<Holder> scanner;
  {
    PartialFile file(destination, partial, nullptr, 50);
    file.Write("new");
    scanner.emplace(destination);  // a scanner takes the old file meanwhile
    EXPECT_THROW(file.Commit(), InOutError);
  }
  scanner.reset();
  EXPECT_EQ(testing::ReadAll(destination), "old");
  EXPECT_FALSE(std::filesystem::exists(partial));
}

TEST(SafePath, ServerPathsStayInsideTheInstallation) {
  // Every path is put after the installation folder, which ends with a
  // backslash: Windows folds the doubled separators of "\\server" or
  // "\\?\" there into one, so they name folders inside; a trailing dot or
  // blank of a name is dropped, or stays part of a folder's name.
  for (const char* ok : {"x.dll", "Bin\\x.dll", "\\Bin\\x.dll", "a/b/c.txt", "console\\x", "COM0.txt", "Справка.txt",
                         "...\\x", "a..b", "CONIN", "conout.txt", "CONIN$x", "\\\\server\\share\\x", "//server/share/x",
                         "\\\\?\\x", "\\\\.\\x", "a.", "a ", "dir.\\x", "dir \\x", "Bin\\x.dll. "}) {
    EXPECT_FALSE(UnsafePathReason(ok)) << ok;
  }
  for (const char* bad : {"..\\outside.txt", "a\\..\\..\\x", "a/../x", "C:\\windows\\win.ini", "x.txt:stream",
                          "CON", "con.d\\x", "bin\\nul.txt", "LPT1", "com9.log", "a\\\x01.txt", "..", ".. \\x.dll", "Bin\\..   ",
                          "CONIN$", "conout$", "CONIN$.txt", "Bin\\CONOUT$.log", "conin$ ", "CON.", "nul \\x",
                          "\\\\server\\share\\..\\..\\x", "\\\\?\\C:\\x", "\\\\.\\COM1", "\\\\.\\CONOUT$"}) {
    EXPECT_TRUE(UnsafePathReason(bad)) << bad;
  }
}

}  // namespace
}  // namespace ulmar

namespace ulmar {
namespace {

using testing::LoginScript;
using testing::PasvReply;
using testing::ScriptedPeer;
using testing::Then;

using testing::ShortLimits;

// The text of the FtpError that action raises.
std::string FtpFailure(const std::function<void()>& action) { return testing::FailureText<FtpError>(action); }

// What a retrieval hands over.
struct Collect : ByteSink {
  std::string bytes;
  void Write(std::string_view b) override { bytes += b; }
};

TEST(FtpClientTest, AServerThatNeverAnswersFailsTheConnectAndClosesIt) {
  // Accepts, then never says a word until the client gives up.
  ScriptedPeer peer({ScriptedPeer::ReceiveAll()});
  FtpClient ftp(nullptr, nullptr, ShortLimits());
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(peer.Port());
  EXPECT_EQ(FtpFailure([&] { ftp.Connect(); }), "Read timed out.");
  EXPECT_FALSE(ftp.Connected());
}

TEST(FtpClientTest, TheDataConnectionGoesToTheControlConnectionsHostWhateverPasvNames) {
  using P = ScriptedPeer;
  P data({P::Send("the file"), P::Close()});
  P control(Then(LoginScript(), {P::ReceiveLines(1), P::Send(PasvReply(127, 0, 0, 2, data.Port())), P::ReceiveLines(1),
                                 P::Send("150 Opening\r\n"), P::UntilClientWaits(), P::Send("226 Done\r\n"),
                                 P::ReceiveAll()}));
  Collect sink;
  Heartbeat waits([&] { control.ClientWaits(); });
  FtpClient ftp(&waits, nullptr, ShortLimits());
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(control.Port());
  ftp.Connect();
  ftp.Retrieve("x.dll", sink);  // nothing listens on 127.0.0.2
  EXPECT_EQ(sink.bytes, "the file");
  ftp.Disconnect();
}

TEST(FtpClientTest, AMirrorWithAnOversizedGreetingDoesNotSpoilTheNext) {
  using P = ScriptedPeer;
  std::string endless = "220-hello\r\n";
  while (endless.size() < FtpReplyParser::kMaxReplySize + 100) endless += "220-more of the greeting\r\n";
  P bad({P::Send(endless), P::ReceiveAll()});
  P good(Then(LoginScript(), {P::ReceiveAll()}));
  FtpClient ftp(nullptr, nullptr, ShortLimits());
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(bad.Port());
  EXPECT_EQ(FtpFailure([&] { ftp.Connect(); }), "Reply too long.");
  ftp.UsePort(good.Port());
  ftp.Connect();
  EXPECT_TRUE(ftp.Connected());
  ftp.Disconnect();
  EXPECT_EQ(good.Received(), "USER repl\r\nFEAT\r\nTYPE I\r\nSYST\r\nQUIT\r\n");
}

TEST(FtpClientTest, QuitsAnswerOnceBegunHasTheWholeReplyLimitOfEveryReply) {
  // The answer's first line is there before QUIT goes out (so the 10 ms look
  // finds it whatever the machine's speed); its last line follows more than
  // three seconds later, well within the reply limit.
  using P = ScriptedPeer;
  std::vector<P::Step> script = LoginScript();
  script.back().bytes += "221-Goodbye\r\n";
  P control(Then(script, {P::ReceiveLines(1), P::Pause(3500), P::Send("221 Bye\r\n"), P::ReceiveAll()}));
  NetworkLimits limits = ShortLimits();
  limits.inactivity_limit_ms = 20000;
  FtpClient ftp(nullptr, nullptr, limits);
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(control.Port());
  ftp.Connect();
  EXPECT_NO_THROW(ftp.Disconnect());
  EXPECT_FALSE(ftp.Connected());
}

TEST(FtpClientTest, AReplyTrickledByteByByteIsBoundByOneLimitForTheWholeReply) {
  // The greeting arrives a byte at a time, each as soon as the client waits
  // for more: every wait sees data, so only a limit for the whole reply ends
  // it (here 400 ms; 2,000 bytes would take the peer far longer).
  using P = ScriptedPeer;
  std::vector<P::Step> script{P::Send("2")};
  for (int i = 0; i < 2000; ++i) {
    script.push_back(P::UntilClientWaits());
    script.push_back(P::Send("2"));
  }
  script.push_back(P::ReceiveAll());
  P trickle(script);
  testing::TempDir dir;
  testing::FakeClock clock;
  TrafficLog log(clock);
  log.Activate(dir.File("ftp.log"));
  Heartbeat waits([&] { trickle.ClientWaits(); });
  FtpClient ftp(&waits, &log, ShortLimits());
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(trickle.Port());
  EXPECT_EQ(FtpFailure([&] { ftp.Connect(); }), "Read timed out.");
  const std::string traffic = testing::ReadAll(dir.File("ftp.log"));
  size_t chunks = 0;
  for (size_t at = traffic.find("Recv"); at != std::string::npos; at = traffic.find("Recv", at + 1)) ++chunks;
  EXPECT_GT(chunks, 1u);
  EXPECT_LT(chunks, 1000u);
}

TEST(FtpClientTest, ATransferThatOnlyTricklesFailsAsBroken) {
  // The data connection brings a byte each time the client waits for more:
  // never idle, never done. Below the floor (here 1 KiB in 300 ms) it fails.
  using P = ScriptedPeer;
  std::vector<P::Step> trickle;
  for (int i = 0; i < 2000; ++i) {
    trickle.push_back(P::Send("d"));
    trickle.push_back(P::UntilClientWaits());
  }
  P data(trickle);
  P control(Then(LoginScript(), {P::ReceiveLines(1), P::Send(PasvReply(127, 0, 0, 1, data.Port())), P::ReceiveLines(1),
                                 P::Send("150 Opening\r\n"), P::ReceiveAll()}));
  Collect sink;
  Heartbeat waits([&] { data.ClientWaits(); });
  NetworkLimits limits = ShortLimits();
  limits.transfer_floor_window_ms = 300;
  limits.transfer_floor_bytes = 1024;
  FtpClient ftp(&waits, nullptr, limits);
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(control.Port());
  ftp.Connect();
  EXPECT_EQ(FtpFailure([&] { ftp.Retrieve("x.dll", sink); }), "Transfer too slow.");
  EXPECT_TRUE(sink.bytes.empty());  // nothing of it reached the file
}

TEST(FtpClientTest, LoggedInAtUserNeedsNoPasswordAndARefusedLoginClosesTheConnection) {
  using P = ScriptedPeer;
  ScriptedPeer at_user({P::Send("220-hello\r\n220 ready\r\n"), P::ReceiveLines(1), P::Send("230 in\r\n"),
                        P::ReceiveLines(1), P::Send("211 no features\r\n"), P::ReceiveLines(1),
                        P::Send("200 Type set\r\n"), P::ReceiveLines(1), P::Send("215 UNIX\r\n"), P::ReceiveAll()});
  FtpClient ftp(nullptr, nullptr, ShortLimits());
  ftp.SetLogin("127.0.0.1", "repl", "kestrel");
  ftp.UsePort(at_user.Port());
  ftp.Connect();
  EXPECT_TRUE(ftp.Connected());
  ftp.Disconnect();
  EXPECT_FALSE(ftp.Connected());
  EXPECT_EQ(at_user.Received(), "USER repl\r\nFEAT\r\nTYPE I\r\nSYST\r\nQUIT\r\n");

  ScriptedPeer refusing({ScriptedPeer::Send("220 ready\r\n"), ScriptedPeer::ReceiveLines(1),
                         ScriptedPeer::Send("331 password\r\n"), ScriptedPeer::ReceiveLines(1),
                         ScriptedPeer::Send("530 Login incorrect.\r\n"), ScriptedPeer::ReceiveAll()});
  ftp.UsePort(refusing.Port());
  EXPECT_EQ(FtpFailure([&] { ftp.Connect(); }), "Login incorrect.");
  EXPECT_FALSE(ftp.Connected());
}

}  // namespace
}  // namespace ulmar
