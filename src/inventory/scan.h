// The working-tree scan: every file of the installation directory and of
// its first-level subdirectories, with its CRC-32, in the order of the
// platform's directory search (root files first, then per subdirectory).
#pragma once

#include <string>
#include <vector>

#include "base/heartbeat.h"
#include "wire/records.h"

namespace ulmar {

class InstallationSettings;

// The directories the scan reads, relative to root ("" for root itself,
// then "Sub\" for each first-level subdirectory that is neither hidden nor
// system nor the client's "Logs"), in the search's order. A subdirectory
// whose name code page 1251 cannot spell is left out, and named (with '?'
// for what cannot be spelled) in left_out when given.
std::vector<std::string> ScannedDirectories(const std::string& root, std::vector<std::string>* left_out = nullptr);

// root ends with a backslash. Raises MException naming the file when a
// checksum cannot be computed; nothing of the partial list is returned.
// The heartbeat, when given, is ticked after every file and every block read.
// Files and folders whose names code page 1251 cannot spell are left out
// (the server could never be told their names) and named in left_out.
std::vector<TLocalFileInfo> ScanDir(const std::string& root, Heartbeat* heartbeat = nullptr,
                                    std::vector<std::string>* left_out = nullptr);

// ScanDir of the installation directory. Raises MException.
std::vector<TLocalFileInfo> CollectLocalFiles(InstallationSettings& settings, Heartbeat* heartbeat,
                                              std::vector<std::string>* left_out = nullptr);

}  // namespace ulmar
