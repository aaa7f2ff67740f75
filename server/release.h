// Releases: one folder per client type (suite code) under the releases
// root, named after the suite code:
//
//   <root>/<SUITE>/manifest.txt    what the release hands out (manifest.h)
//   <root>/<SUITE>/files/          the reference tree, as the FTP mirrors
//                                  serve it
//
// The reference tree is read to the depth clients report: the files at its
// top and in its first-level folders. Names on disk are UTF-8 and become
// code page 1251. Each file's CRC-32 is computed once and kept until the
// file's size or modification time changes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "manifest.h"

namespace ulmar::server {

inline constexpr char kTreeFolder[] = "files";
inline constexpr char kStagedClientName[] = "UlmarUpdater.exe.new";

struct ReferenceFile {
  std::string path;  // code page 1251, relative, backslash between folder and name
  uint32_t crc = 0;
  // What the CRC was computed from: a file whose size, modification time,
  // inode or status-change time differs is read again (a copy that keeps
  // size and time, as `cp -p` or `rsync -t` make, still has another inode
  // or status-change time).
  uint64_t size = 0;
  int64_t modified_ns = 0;
  uint64_t inode = 0;
  int64_t changed_ns = 0;
};

// Names compared as Windows compares them: without regard to letter case,
// in code page 1251. Lookups take a string_view, so finding a received
// name costs no copy.
struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const;
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
using NoCaseIndex = std::unordered_map<std::string, size_t, NoCaseHash, NoCaseEqual>;
using NoCaseSet = std::unordered_set<std::string, NoCaseHash, NoCaseEqual>;

struct Release {
  std::string suite;  // code page 1251
  Manifest manifest;
  std::vector<ReferenceFile> files;  // sorted by path
  // Filled by IndexRelease:
  NoCaseIndex index;    // path -> position in files
  NoCaseSet deletions;  // the manifest's deletions
  std::string staged;   // the staged client's path
  size_t client_index = 0;  // the client's position in files; files.size() when the tree has none
  // Found while reading the tree: entries left out, and why (UTF-8).
  std::vector<std::string> warnings;
};

// Builds the lookups of a release from its files and manifest. Raises
// ManifestError when a deletion names a file of the release.
void IndexRelease(Release& release);

// Reads a release folder. CRCs of files unchanged since previous (when
// given) are taken over instead of read again. Raises ManifestError for a
// manifest that cannot be used or a tree that cannot be read.
std::shared_ptr<const Release> LoadRelease(const std::string& folder, const std::string& suite,
                                           const Release* previous);

// A fingerprint of everything a release is made of: the manifest and the
// names, sizes and modification times of the tree's entries. Cheap: it
// reads no file contents.
uint64_t ReleaseFingerprint(const std::string& folder);

// All releases under a root, refreshed on request; safe to read from any
// thread while a refresh runs.
class ReleaseStore {
 public:
  using Reporter = std::function<void(const std::string& utf8_line)>;
  // cache_path, when given, keeps every release file's checksum with what
  // it was computed from, so that a restart reads only files that changed
  // meanwhile (checked by the same change test) and serves at once.
  ReleaseStore(std::string root, Reporter report, std::string cache_path = "");

  // Looks at the root again: loads new and changed releases, drops the
  // ones whose folder is gone. A release that fails to load is reported
  // and its previous version (if any) stays in service.
  void Refresh();

  // The release of a suite code (code page 1251, any letter case), or null.
  std::shared_ptr<const Release> Find(const std::string& suite) const;

 private:
  struct Entry {
    uint64_t fingerprint = 0;
    std::shared_ptr<const Release> release;  // null when it never loaded
  };

  // The checksum cache: read once at the first refresh, written after every
  // refresh that changed something.
  void ReadCache();
  void WriteCache() const;

  std::string root_;
  Reporter report_;
  std::string cache_path_;
  std::map<std::string, std::shared_ptr<const Release>> cached_;  // by folder, from the cache file
  std::map<std::string, Entry> by_folder_;  // touched by Refresh only
  mutable std::mutex mutex_;
  using SuiteIndex = std::unordered_map<std::string, std::shared_ptr<const Release>, NoCaseHash, NoCaseEqual>;
  SuiteIndex by_suite_;
};

}  // namespace ulmar::server
