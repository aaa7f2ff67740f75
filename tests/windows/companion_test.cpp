// The companion's replacement of the client against Wine's file system,
// which refuses to overwrite a running program as Windows does.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "parent_process.h"
#include "pe_image.h"
#include "platform/file.h"
#include "replacement.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

std::string OwnPath() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

// This test program: a whole executable image.
std::string OwnImage() { return testing::ReadAll(OwnPath()); }

class CompanionTest : public ::testing::Test {
 public:
  // First, so that the paths below are made from a folder that exists.
  testing::TempDir dir;
  std::string folder = dir.Path().string() + "\\";
  std::string client = folder + kClientName;
  std::string staged = folder + kStagedName;
  std::vector<std::string> log;

  // Every line logged goes into log, and to also when given.
  int Install(const std::function<void(const std::string&)>& also = nullptr) {
    ReplacementTiming quick{.attempts = 6, .pause_ms = 20, .before_aside = 2};
    return InstallStagedClient(
        folder, nullptr,
        [&](const std::string& line) {
          log.push_back(line);
          if (also) also(line);
        },
        quick);
  }
  bool Logged(const std::string& start) {
    for (const auto& line : log) {
      if (line.rfind(start, 0) == 0) return true;
    }
    return false;
  }
  // Whether the file holds exactly this text. A failure names this
  // program's image rather than print it: the image holds the test
  // framework's own marker texts, which ctest would take for the verdict.
  ::testing::AssertionResult Holds(const std::string& path, const std::string& expected) {
    if (!FileExists(path)) return ::testing::AssertionFailure() << path << " is missing";
    const std::string content = testing::ReadAll(path);
    if (content == expected) return ::testing::AssertionSuccess();
    auto describe = [&](const std::string& text) {
      return text == image ? std::string("this program's image") : "\"" + text.substr(0, 40) + "\"";
    };
    return ::testing::AssertionFailure() << path << " holds " << describe(content) << ", not " << describe(expected);
  }

  const std::string image = OwnImage();
};

TEST(PeImage, OnlyAWholeImageCountsAsAProgram) {
  const std::string image = OwnImage();
  EXPECT_EQ(PeImageFault(image), std::nullopt);
  EXPECT_TRUE(PeImageFault(""));
  EXPECT_TRUE(PeImageFault(image.substr(0, 20000)));
  EXPECT_TRUE(PeImageFault(image.substr(0, image.size() - 1)));
  EXPECT_TRUE(PeImageFault(std::string(image.size(), 'x')));
  std::string wrong_machine = image;
  const size_t pe = static_cast<unsigned char>(image[0x3C]) | static_cast<unsigned char>(image[0x3D]) << 8;
  wrong_machine[pe + 4] = 0x64, wrong_machine[pe + 5] = static_cast<char>(0x86);  // x64
  EXPECT_TRUE(PeImageFault(wrong_machine));
}

TEST(ParentProcess, WhereTheNarrowQueryRightIsUnknownTheWiderOneIsAskedForAndUsed) {
  constexpr DWORD kNarrow = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
  constexpr DWORD kWide = SYNCHRONIZE | PROCESS_QUERY_INFORMATION;
  struct Case {
    const char* system;
    bool knows_narrow_right;
    std::vector<DWORD> asked;
  };
  for (const Case& c : {Case{"Windows XP", false, {kNarrow, kWide}}, Case{"Windows Vista and later", true, {kNarrow}}}) {
    std::vector<DWORD> asked;
    auto opener = [&](DWORD access, DWORD id) -> HANDLE {
      asked.push_back(access);
      if (!c.knows_narrow_right && (access & PROCESS_QUERY_LIMITED_INFORMATION)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
      return OpenProcess(access, FALSE, id);
    };
    HANDLE process = OpenForWaiting(GetCurrentProcessId(), opener);
    ASSERT_NE(process, nullptr) << c.system;
    EXPECT_EQ(asked, c.asked) << c.system;
    // Good for what the companion does with it: wait, and read the start.
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << c.system;
    FILETIME created, exited, kernel, user;
    EXPECT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user)) << c.system;
    CloseHandle(process);
  }
}

TEST_F(CompanionTest, NothingStagedChangesNothing) {
  testing::WriteAll(client, image);
  EXPECT_EQ(Install(), 0);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(Holds(client, image));
}

TEST_F(CompanionTest, AnEmptyOrCutStagedFileIsRemovedAndTheClientStays) {
  for (const std::string& broken : {std::string(), image.substr(0, 20000)}) {
    testing::WriteAll(client, image);
    testing::WriteAll(staged, broken);
    log.clear();
    EXPECT_EQ(Install(), 1);
    EXPECT_TRUE(Holds(client, image));
    EXPECT_FALSE(FileExists(staged));
    EXPECT_TRUE(Logged("Новая версия клиента не является целой программой")) << broken.size();
  }
}

TEST_F(CompanionTest, AWholeStagedClientReplacesAReadOnlyClient) {
  testing::WriteAll(client, "old client");
  SetFileAttributesA(client.c_str(), FILE_ATTRIBUTE_READONLY);
  testing::WriteAll(staged, image);
  EXPECT_EQ(Install(), 0);
  EXPECT_TRUE(Holds(client, image));
  EXPECT_FALSE(FileExists(staged));
  EXPECT_EQ(log.back(), "Клиент обновлён: " + client);
}

TEST_F(CompanionTest, ALockedStagedFileIsLeftForTheNextTime) {
  testing::WriteAll(client, "old client");
  testing::WriteAll(staged, image);
  HANDLE lock = CreateFileA(staged.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Install(), 1);
  CloseHandle(lock);
  EXPECT_TRUE(Holds(client, "old client"));
  EXPECT_TRUE(Holds(staged, image));
  EXPECT_TRUE(Logged("Новую версию клиента не удалось прочитать"));
}

TEST_F(CompanionTest, AFileAnotherProgramHoldsIsWaitedForNeverTakenForARunningCopy) {
  // A virus scanner reading one of the files. Sharing is checked handle by
  // handle, so a handle of this program refuses the moves as one of another
  // program would.
  struct Case {
    const char* held;
    DWORD sharing;
    std::string logged;
  };
  for (const Case& c : {
           Case{kStagedName, FILE_SHARE_READ, "Новую версию клиента держит открытой другая программа"},
           Case{kClientName, FILE_SHARE_READ, "Клиента держит открытым другая программа"},
           // Renamable, as a running program is, yet no copy runs.
           Case{kClientName, FILE_SHARE_READ | FILE_SHARE_DELETE, "Клиента держит открытым другая программа"},
       }) {
    const std::string what = std::string(c.held) + " sharing " + std::to_string(c.sharing);
    testing::WriteAll(client, "old client");
    ASSERT_TRUE(SetReadOnly(client)) << what;
    testing::WriteAll(staged, image);
    log.clear();
    HANDLE holder = CreateFileA((folder + c.held).c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE) << what;
    const int code = Install();
    CloseHandle(holder);
    EXPECT_EQ(code, 1) << what;
    EXPECT_TRUE(Holds(client, "old client")) << what;
    EXPECT_TRUE(Holds(staged, image)) << what;
    EXPECT_FALSE(FileExists(folder + kAsideName)) << what;
    EXPECT_FALSE(Logged("Клиент запущен в другом сеансе")) << what;
    EXPECT_TRUE(Logged(c.logged)) << what;
    // The client stays as it was, read-only attribute included.
    EXPECT_TRUE(IsReadOnly(client)) << what;
    ASSERT_TRUE(ClearReadOnly(client)) << what;
  }
}

// A copy of the inspector started as the client, as a copy running in
// another session would be; it holds a file until its standard input
// closes, and is running once it says so ("held" on its standard output).
class RunningClient {
 public:
  RunningClient(const std::string& folder, const std::string& client) {
    const std::string tests = OwnPath().substr(0, OwnPath().find_last_of('\\') + 1);
    const std::string held = folder + "held.txt";
    if (!CopyFileA((tests + "..\\bin\\inspector.exe").c_str(), client.c_str(), FALSE)) return;
    testing::WriteAll(held, "x");
    std::string command = "\"" + client + "\" hold \"" + held + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input_read, output_read, output_write;
    if (!CreatePipe(&input_read, &write_end_, &inherit, 0)) return;
    if (!CreatePipe(&output_read, &output_write, &inherit, 0)) {
      CloseHandle(input_read);
      return;
    }
    SetHandleInformation(write_end_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_read;
    startup.hStdOutput = output_write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                                        &startup, &process_);
    CloseHandle(input_read);
    CloseHandle(output_write);
    // Its first line, or the end of its output when it ends without one.
    std::string said;
    char c;
    DWORD got;
    while (started && said.find('\n') == std::string::npos && ReadFile(output_read, &c, 1, &got, nullptr) && got == 1) {
      said += c;
    }
    CloseHandle(output_read);
    running_ = said.rfind("held", 0) == 0 && said.back() == '\n';
  }
  ~RunningClient() { End(); }
  bool Running() const { return running_; }
  // Closes its standard input and waits for it to end; one that does not
  // within a minute is ended, so that no test waits for ever.
  void End() {
    if (write_end_) CloseHandle(write_end_);
    write_end_ = nullptr;
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the running copy did not end when its input closed";
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, INFINITE);
      }
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    process_ = {};
    running_ = false;
  }

 private:
  HANDLE write_end_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool running_ = false;
};

TEST_F(CompanionTest, AClientStillRunningIsMovedAsideAndRemovedTheNextTime) {
  RunningClient running(folder, client);
  ASSERT_TRUE(running.Running());
  testing::WriteAll(staged, image);

  EXPECT_EQ(Install(), 0);
  EXPECT_TRUE(Holds(client, image));
  EXPECT_TRUE(FileExists(folder + kAsideName));
  EXPECT_TRUE(Logged("Клиент запущен в другом сеансе"));

  running.End();
  log.clear();
  EXPECT_EQ(Install(), 0);
  EXPECT_FALSE(FileExists(folder + kAsideName));
  EXPECT_TRUE(Logged("Удалена прежняя версия клиента"));
}

TEST_F(CompanionTest, WhenNeitherVersionCanBeMovedInACopyTakesTheClientsPlace) {
  // Right after the running client is moved aside, another program (a
  // virus scanner) takes hold of the new version and of the old one, so
  // that neither can be renamed; how it shares the old one decides whether
  // the old one can still be copied.
  struct Case {
    DWORD old_sharing;
    bool old_copied;
  };
  for (const Case& c : {Case{FILE_SHARE_READ, true}, Case{0, false}}) {
    const std::string what = "old version shared as " + std::to_string(c.old_sharing);
    RunningClient running(folder, client);
    ASSERT_TRUE(running.Running()) << what;
    const std::string old_client = testing::ReadAll(client);
    testing::WriteAll(staged, image);
    log.clear();
    std::vector<HANDLE> holders;
    const int code = Install([&](const std::string& line) {
      if (line.rfind("Клиент запущен в другом сеансе", 0) != 0) return;
      holders.push_back(CreateFileA(staged.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      holders.push_back(CreateFileA((folder + kAsideName).c_str(), GENERIC_READ, c.old_sharing, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    });
    ASSERT_EQ(holders.size(), 2u) << what;
    for (HANDLE holder : holders) {
      EXPECT_NE(holder, INVALID_HANDLE_VALUE) << what;
      CloseHandle(holder);
    }
    EXPECT_EQ(code, c.old_copied ? 1 : 0) << what;
    EXPECT_TRUE(Holds(client, c.old_copied ? old_client : image)) << what;
    EXPECT_TRUE(Holds(staged, image)) << what;
    EXPECT_TRUE(Logged("Новую версию поставить не удалось")) << what;
    const std::string copied = c.old_copied ? "клиент скопирован из прежней версии" : "клиент скопирован из новой версии";
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(copied) != std::string::npos;
    })) << what;
    running.End();
    DeleteFileA((folder + kAsideName).c_str());
  }
}

}  // namespace
}  // namespace ulmar
