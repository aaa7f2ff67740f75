#include "apply/download.h"

#include <cmath>
#include <optional>

#include "apply/partial_file.h"
#include "net/ftp_client.h"
#include "base/safe_path.h"
#include "inventory/scan.h"
#include "inventory/settings.h"
#include "base/partial_file.h"
#include "base/errors.h"
#include "platform/file.h"

namespace ulmar {

std::string ToFtpPath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

void SplitServerEntry(const std::string& entry, std::string* host, std::string* base) {
  size_t slash = entry.find('/');
  if (slash == std::string::npos) {
    *host = entry;
    *base = "/";
  } else {
    *host = entry.substr(0, slash);
    *base = "/" + ToFtpPath(entry.substr(slash + 1)) + "/";
  }
}

int StageProgress(int done, int count) {
  return static_cast<int>(std::nearbyint(static_cast<double>(done) * 100.0 / count));
}

namespace {

// A failure that ended the loop: which kind, its text, and the file.
struct Interruption {
  bool ftp = false;
  std::string text;
  int index = 0;
};

Interruption Classify(const std::exception& e, int index) {
  return {dynamic_cast<const FtpError*>(&e) != nullptr, e.what(), index};
}

// Partial files left by a transfer that was cut off (power loss, killed
// process), in the two levels the scan covers.
void RemoveStalePartials(const std::string& root, Heartbeat& heartbeat) {
  for (const std::string& d : ScannedDirectories(root)) {
    heartbeat.Tick();
    for (const DirEntry& e : ListDirectory(root + d, "*.*")) {
      if (!e.directory && e.spelled && IsPartialFile(e.name)) DeleteFileAt(root + d + e.name);
    }
  }
}

void FetchOne(const std::string& install_dir, FtpClient& ftp, const std::string& base, const std::string& remote,
              const std::string& local, Heartbeat& heartbeat) {
  if (std::optional<std::string> reason = UnsafePathReason(local)) throw InOutError(*reason);
  // The destination's folder is made first and the server's directory
  // changed whatever came of it; a folder that is still missing then fails
  // the file, with the reason its creation gave, before the transfer begins.
  std::optional<std::string> folder_failure;
  size_t slash = local.rfind('\\');
  if (slash != std::string::npos) {
    std::string dir = install_dir + local.substr(0, slash);
    if (!DirectoryExists(dir) && !CreateDirectories(dir)) folder_failure = LastFileErrorText();
  }
  size_t remote_slash = remote.rfind('\\');
  const bool at_top = remote_slash == std::string::npos;
  ftp.ChangeDirectory(at_top ? base : base + ToFtpPath(remote.substr(0, remote_slash)));
  if (folder_failure) throw InOutError(*folder_failure);
  const std::string name = at_top ? remote : remote.substr(remote_slash + 1);
  PartialFile file(install_dir + local, install_dir + kPartialName, &heartbeat);
  ftp.Retrieve(name, file);
  file.Commit();
}

}  // namespace

std::optional<Downloaded> DownloadFiles(Reporter& r, Machine& m, Network& n, const ServerLists& lists) {
  r.display.SetStageProgress(100);
  r.display.SetOverallProgress(50);
  r.display.SetStageProgress(0);
  Downloaded done{InstallationSettings(m.registry, m.clock).GetLocalDir()};
  const std::string& install_dir = done.install_dir;
  if (lists.UpdateCount < 1) return done;
  r.display.ShowStatus("Получили информацию, начинаем скачивать");
  RemoveStalePartials(install_dir, r.heartbeat);

  FtpClient ftp(&r.heartbeat, &n.ftp_log, n.limits);
  if (n.ftp_port != 0) ftp.UsePort(n.ftp_port);
  std::string base;
  bool connected = false;
  for (const std::string& entry : lists.FtpServers) {
    std::string host;
    SplitServerEntry(entry, &host, &base);
    ftp.SetLogin(host, kFtpUser, kFtpPassword);
    try {
      ftp.Connect();
    } catch (const FtpError& e) {
      r.log.WriteLog("Нет соединения с сервером FTP " + host);
      r.log.WriteLog(e.Message());
    }
    if (ftp.Connected()) {
      connected = true;
      break;
    }
  }
  if (!connected) {
    r.display.ReportFailure("Нет доступных FTP серверов");
    r.log.WriteLog(" Доступных серверов больше нет");
    return std::nullopt;
  }

  std::optional<Interruption> failure;
  const int count = lists.UpdateCount;
  for (int i = 0; i < count; ++i) {
    const std::string& remote = lists.FilesToUpdate.at(2 * i);
    const std::string& local = lists.FilesToUpdate.at(2 * i + 1);
    try {
      FetchOne(install_dir, ftp, base, remote, local, r.heartbeat);
    } catch (const std::exception& e) {
      failure = Classify(e, i);
      break;
    }
    r.display.SetStageProgress(StageProgress(i + 1, count));
    r.display.ShowStatus("      принят файл: " + local);
    ++done.fetched;
  }

  bool show_total = true;
  try {
    ftp.Disconnect();
  } catch (const std::exception& e) {
    if (done.fetched < count) {
      failure = Classify(e, done.fetched);
      show_total = false;
    } else {
      r.display.ShowStatus("   (файлы скачаны, но разъединение сервером выполнено некорректно)");
      r.log.WriteLog("файлы скачаны, но разъединение сервером выполнено некорректно: " + std::string(e.what()));
    }
  }
  if (show_total) r.display.ShowStatus("   всего cкачано файлов: " + std::to_string(done.fetched));
  if (!failure) return done;

  if (failure->ftp) {
    r.log.WriteLog("Ошибка при скачивании с FTP " + lists.FilesToUpdate.at(2 * failure->index));
    r.log.WriteLog(failure->text);
    r.display.ReportFailure("Ошибка при скачивании с FTP");
  } else {
    r.log.WriteLog("Ошибка при записи файла на диск " + lists.FilesToUpdate.at(2 * failure->index + 1));
    r.log.WriteLog(failure->text);
    r.display.ReportFailure("Ошибка при записи файла на диск");
  }
  return std::nullopt;
}

}  // namespace ulmar
