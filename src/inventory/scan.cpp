#include "inventory/scan.h"

#include "base/partial_file.h"

#include "inventory/crc32.h"
#include "inventory/settings.h"
#include "base/errors.h"
#include "platform/file.h"

namespace ulmar {

std::vector<std::string> ScannedDirectories(const std::string& root, std::vector<std::string>* left_out) {
  // The root, then its subdirectories as the search returns them. Hidden or
  // system folders are passed over, and so is the client's own "Logs"
  // (exactly that spelling).
  std::vector<std::string> relative_dirs{""};
  for (const DirEntry& entry : ListDirectory(root, "*")) {
    if (entry.hidden || entry.name == "." || entry.name == ".." || entry.name == "Logs") continue;
    if (!entry.spelled) {
      if (entry.directory && left_out) left_out->push_back(entry.name + "\\");
      continue;
    }
    if (DirectoryExists(root + entry.name)) relative_dirs.push_back(entry.name + "\\");
  }
  return relative_dirs;
}

std::vector<TLocalFileInfo> ScanDir(const std::string& root, Heartbeat* heartbeat, std::vector<std::string>* left_out) {
  std::vector<TLocalFileInfo> files;
  std::vector<char> buffer;
  for (const std::string& dir : ScannedDirectories(root, left_out)) {
    for (const DirEntry& entry : ListDirectory(root + dir, "*.*")) {
      if (entry.directory || IsPartialFile(entry.name)) continue;
      if (!entry.spelled) {
        if (left_out) left_out->push_back(dir + entry.name);
        continue;
      }
      std::string relative = dir + entry.name;
      std::string full = root + relative;
      // Gone since the search, or not a file after all.
      if (!FileExists(full)) continue;
      uint32_t crc = 0;
      if (!FileCRC32(full, &crc, &buffer, heartbeat)) {
        throw MException("Не удалось обработать файл \"" + full + "\"",
                         "Не удалось подсчитать контрольную сумму для файла \"" + full + "\".");
      }
      files.emplace_back(relative, crc);
      Tick(heartbeat);
    }
  }
  return files;
}

std::vector<TLocalFileInfo> CollectLocalFiles(InstallationSettings& settings, Heartbeat* heartbeat,
                                              std::vector<std::string>* left_out) {
  return ScanDir(settings.GetLocalDir(), heartbeat, left_out);
}

}  // namespace ulmar
