// The manifest of one release: a small UTF-8 text file, "manifest.txt",
// beside the release's reference tree. One entry per line; blank lines and
// lines starting with '#' are ignored. Entries:
//
//   ftp <host>[/<directory>]        an FTP mirror, in the order clients try them
//   client <path>                   where the update client lives in the tree
//                                   (default "UlmarUpdater.exe")
//   dsn system <name> | <database> | <server>
//   dsn user <name> | <database> | <server>
//   dsn paradox <name> | <directory>
//                                   a data source every client must have
//   delete <path>                   a file removed from every client
//   keep <pattern>                  local files that are not foreign ('*' any
//                                   run of characters, '?' one character)
//
// Paths are relative to the installation directory, with backslashes. Every
// text is converted to code page 1251, the wire's code page.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "wire/records.h"

namespace ulmar::server {

inline constexpr char kManifestName[] = "manifest.txt";
inline constexpr char kDefaultClientPath[] = "UlmarUpdater.exe";

struct Manifest {
  std::vector<std::string> ftp_servers;
  std::string client_path = kDefaultClientPath;
  std::vector<TDBAlias> data_sources;
  std::vector<std::string> deletions;
  std::vector<std::string> keep_patterns;
};

// A manifest that cannot be used; the message names the line.
class ManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Manifest ParseManifest(const std::string& utf8_text);

}  // namespace ulmar::server
