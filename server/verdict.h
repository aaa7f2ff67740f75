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

#include "wire/records.h"
#include "wire/server_lists.h"
#include "release.h"
#include "session_record.h"

namespace ulmar::server {

using wire::ServerLists;

class VerdictBuilder {
 public:
  explicit VerdictBuilder(std::shared_ptr<const Release> release);

  void AddFile(uint32_t crc, const std::string& name);
  void AddDataSource(const TDBAlias& source);
  ServerLists Finish();

  // Of the files to update, the release paths the client has with another
  // checksum (drift) and those it lacks; at most a few each (the
  // fleet's records keep no more), filled by Finish.
  const std::vector<std::string>& drifted() const { return drifted_; }
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  bool Kept(const std::string& name) const;

  std::shared_ptr<const Release> release_;
  ServerLists lists_;
  std::vector<bool> seen_;
  NoCaseSet deleted_;  // each deletion sent once
  std::optional<uint32_t> client_crc_;
  std::string client_name_;
  std::optional<uint32_t> staged_crc_;
  std::vector<TDBAlias> sources_;
  std::vector<std::string> drifted_, missing_;
};

}  // namespace ulmar::server
