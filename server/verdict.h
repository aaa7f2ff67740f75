// The server's verdict on one client: built while the client's inventory
// arrives, record by record, so no inventory is ever held whole.
//
//   files to update   release files the client lacks or has with another
//                     CRC-32 (remote path in the tree, local path on the
//                     client); the client's own executable is delivered
//                     beside it as "UlmarUpdater.exe.new"
//   foreign files     client files the release neither has, deletes nor keeps
//   data sources      manifest data sources the client lacks or has with
//                     other settings
//   forced deletions  the manifest's deletions that the client has
//
// Names compare as Windows compares them: without regard to letter case,
// in code page 1251. Where the client has a file, its own spelling is used.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datasources/db_alias.h"
#include "release.h"

namespace ulmar::server {

struct Verdict {
  std::vector<std::string> ftp_servers;
  std::vector<std::string> foreign_files;
  std::vector<std::string> files_to_update;  // remote path at 2i, local path at 2i + 1
  std::vector<TDBAlias> new_data_sources;
  std::vector<std::string> files_to_delete;
};

// The five lists in the protocol's wire form.
std::string EncodeVerdict(const Verdict& verdict);

class VerdictBuilder {
 public:
  explicit VerdictBuilder(std::shared_ptr<const Release> release);

  void AddFile(uint32_t crc, const std::string& name);
  void AddDataSource(const TDBAlias& source);
  Verdict Finish();

 private:
  bool Kept(const std::string& name) const;

  std::shared_ptr<const Release> release_;
  Verdict verdict_;
  std::vector<bool> seen_;
  NoCaseSet deleted_;  // each deletion sent once
  std::optional<uint32_t> client_crc_;
  std::string client_name_;
  std::optional<uint32_t> staged_crc_;
  std::vector<TDBAlias> sources_;
};

}  // namespace ulmar::server
