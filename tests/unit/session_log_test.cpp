#include <gtest/gtest.h>

#include "base/errors.h"
#include "log/session_log.h"
#include "unit/fake_clock.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

using testing::FakeClock;
using testing::ReadAll;
using testing::TempDir;

class SessionLogTest : public ::testing::Test {
 protected:
  TempDir dir;
  FakeClock clock;
  std::string path = dir.File("short.log");
};

TEST_F(SessionLogTest, NewFileStartsWithTheHeaderAndLaterRunsAppendWithoutIt) {
  {
    SessionLog log(clock);
    log.start_log(path);
    log.WriteLog("Приложение запущено из C:\\U\\");
    log.CloseLog();
  }
  clock.now = {2026, 12, 9, 0, 0, 0, 0};
  {
    SessionLog log(clock);
    log.start_log(path);
    log.WriteLog("второй");
    log.WriteLog("");
  }  // closed at destruction, as at program end
  EXPECT_EQ(ReadAll(path),
            "*** Журнал создан 08.12.2026 9:05:07\r\n"
            "08.12.2026 9:05:07 >>> Приложение запущено из C:\\U\\\r\n"
            "09.12.2026 >>> второй\r\n"
            "09.12.2026 >>> \r\n");
}

TEST_F(SessionLogTest, TextIsWrittenUnchangedLineBreaksIncluded) {
  SessionLog log(clock);
  log.start_log(path);
  log.WriteLog("a\r\nb\nc %s %d");
  log.CloseLog();
  EXPECT_EQ(ReadAll(path).substr(38), "08.12.2026 9:05:07 >>> a\r\nb\nc %s %d\r\n");
}

TEST_F(SessionLogTest, BufferReachesTheFileWhenFullAndAfterEveryTenthLine) {
  testing::WriteAll(path, "old\r\n");
  SessionLog log(clock);
  log.start_log(path);
  const std::string line = "08.12.2026 9:05:07 >>> 0123456789\r\n";  // 35 bytes
  std::string expected = "old\r\n";
  for (int i = 1; i <= 9; ++i) {
    log.WriteLog("0123456789");
    expected += line;
    // Only whole 128-byte buffers have been written so far.
    size_t written = (static_cast<size_t>(i) * line.size()) / 128 * 128;
    ASSERT_EQ(ReadAll(path), expected.substr(0, 5 + written)) << "after line " << i;
  }
  log.WriteLog("0123456789");
  expected += line;
  EXPECT_EQ(ReadAll(path), expected);  // ten lines on disk, log still open
  log.WriteLog("x");
  EXPECT_EQ(ReadAll(path), expected);  // the count starts again
  log.CloseLog();
  EXPECT_EQ(ReadAll(path), expected + "08.12.2026 9:05:07 >>> x\r\n");
}

TEST_F(SessionLogTest, SecondStartFailsWithTheOneCopyMessageAndTheFirstKeepsWorking) {
  SessionLog log(clock);
  log.start_log(path);
  try {
    log.start_log(dir.File("other.log"));
    FAIL() << "second start_log succeeded";
  } catch (const MException&) {
    FAIL() << "raised as MException";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "unServerLog.start_log: Одновременно можно открыть только одну копию журнала.");
  }
  EXPECT_EQ(log.LogFileName(), path);
  log.WriteLog("still here");
  log.CloseLog();
  EXPECT_NE(ReadAll(path).find(">>> still here\r\n"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.File("other.log")));
}

TEST_F(SessionLogTest, UncreatableFileRaisesTheCreateMessageAndLeavesTheLogClosed) {
  const std::string missing = dir.File("Logs") + "/short.log";
  SessionLog log(clock);
  try {
    log.start_log(missing);
    FAIL() << "start_log succeeded without its directory";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "unServerLog.start_log: Не удаётся создать журнала (" + missing + ").");
  }
  EXPECT_FALSE(log.IsOpen());
  EXPECT_THROW(log.WriteLog("x"), InOutError);
  log.CloseLog();
}

TEST_F(SessionLogTest, ADirectoryOfThatNameCountsAsNoFileAndCannotBeCreated) {
  std::filesystem::create_directory(path);
  SessionLog log(clock);
  EXPECT_THROW(log.start_log(path), Exception);
  EXPECT_FALSE(log.IsOpen());
}

TEST_F(SessionLogTest, CloseWithoutALogAndTwiceDoesNothing) {
  SessionLog log(clock);
  log.CloseLog();
  log.start_log(path);
  log.CloseLog();
  log.CloseLog();
  EXPECT_FALSE(log.IsOpen());
  EXPECT_THROW(log.WriteLog("after close"), InOutError);
  // A closed log can be opened again; the file keeps its single header.
  log.start_log(path);
  log.WriteLog("again");
  log.CloseLog();
  std::string text = ReadAll(path);
  EXPECT_EQ(text.find("*** Журнал создан"), 0u);
  EXPECT_EQ(text.find("*** Журнал создан", 1), std::string::npos);
}

TEST_F(SessionLogTest, AFailedWriteRaisesTheFilesErrorAndTheCloseStillCloses) {
#ifdef _WIN32
  GTEST_SKIP() << "a file whose every write fails is a device of the native system";
#else
  SessionLog log(clock);
  log.start_log("/dev/full");
  // Lines reach the file when the buffer is full (before the tenth line
  // forces it out): that write fails.
  int line = 1;
  try {
    for (; line <= 10; ++line) log.WriteLog("line " + std::to_string(line));
    ADD_FAILURE() << "ten lines written to a full device";
  } catch (const InOutError& e) {
    EXPECT_EQ(e.Message(), "No space left on device");
  }
  EXPECT_LT(line, 10);
  // The close fails on what is left, and the log is closed all the same.
  EXPECT_THROW(log.CloseLog(), InOutError);
  EXPECT_FALSE(log.IsOpen());
  log.CloseLog();
#endif
}

}  // namespace
}  // namespace ulmar
