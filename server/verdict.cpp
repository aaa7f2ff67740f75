#include "verdict.h"

#include "base/partial_file.h"
#include "base/text.h"
#include "base/cp1251.h"
#include "text.h"

namespace ulmar::server {

VerdictBuilder::VerdictBuilder(std::shared_ptr<const Release> release)
    : release_(std::move(release)), seen_(release_->files.size(), false) {
  lists_.FtpServers = release_->manifest.ftp_servers;
}

bool VerdictBuilder::Kept(const std::string& name) const {
  for (const std::string& pattern : release_->manifest.keep_patterns) {
    if (WildcardMatch(pattern, name)) return true;
  }
  return false;
}

void VerdictBuilder::AddFile(uint32_t crc, const std::string& name) {
  if (SameTextCp1251(name, release_->staged)) {
    staged_crc_ = crc;
    return;
  }
  // A download the client is still making, or one cut off.
  if (EndsWithNoCase(name, kPartialSuffix)) return;
  auto found = release_->index.find(std::string_view(name));
  if (found != release_->index.end()) {
    size_t i = found->second;
    if (seen_[i]) return;
    seen_[i] = true;
    if (i == release_->client_index) {
      client_crc_ = crc;
      client_name_ = name;
    } else if (release_->files[i].crc != crc) {
      if (drifted_.size() < kMaxRecordedNames) drifted_.push_back(release_->files[i].path);
      lists_.FilesToUpdate.push_back(release_->files[i].path);
      lists_.FilesToUpdate.push_back(name);
    }
    return;
  }
  if (release_->deletions.count(std::string_view(name))) {
    if (deleted_.insert(name).second) lists_.FilesToDelete.push_back(name);
    return;
  }
  if (!Kept(name)) lists_.ForeignFiles.push_back(name);
}

void VerdictBuilder::AddDataSource(const TDBAlias& source) { sources_.push_back(source); }

ServerLists VerdictBuilder::Finish() {
  const std::vector<ReferenceFile>& files = release_->files;
  size_t client_index = release_->client_index;
  for (size_t i = 0; i < files.size(); ++i) {
    // A client that does not live in the installation directory is not
    // in its inventory and is left alone.
    if (seen_[i] || i == client_index) continue;
    if (missing_.size() < kMaxRecordedNames) missing_.push_back(files[i].path);
    lists_.FilesToUpdate.push_back(files[i].path);
    lists_.FilesToUpdate.push_back(files[i].path);
  }
  if (client_crc_ && client_index < files.size()) {
    uint32_t wanted = files[client_index].crc;
    // A build already staged and not yet swapped in needs no new copy.
    if (*client_crc_ != wanted && staged_crc_ != wanted) {
      size_t slash = client_name_.rfind('\\');
      lists_.FilesToUpdate.push_back(files[client_index].path);
      lists_.FilesToUpdate.push_back(client_name_.substr(0, slash == std::string::npos ? 0 : slash + 1) +
                                         kStagedClientName);
    }
  }
  for (const TDBAlias& wanted : release_->manifest.data_sources) {
    bool present = false;
    for (const TDBAlias& have : sources_) {
      if (have.Kind == wanted.Kind && SameTextCp1251(have.Name, wanted.Name) &&
          SameTextCp1251(have.Database, wanted.Database) && SameTextCp1251(have.Server, wanted.Server)) {
        present = true;
        break;
      }
    }
    if (!present) lists_.NewDataSources.push_back(wanted);
  }
  lists_.UpdateCount = static_cast<int32_t>(lists_.FilesToUpdate.size() / 2);
  return std::move(lists_);
}

}  // namespace ulmar::server
