#include "release.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "inventory/crc32.h"
#include "base/cp1251.h"
#include "text.h"

namespace ulmar::server {

namespace fs = std::filesystem;

namespace {

struct TreeEntry {
  std::string path;  // code page 1251, as clients spell it
  std::string full;  // on disk
  uint64_t size = 0;
  int64_t modified_ns = 0;
  uint64_t inode = 0;
  int64_t changed_ns = 0;
};

std::optional<struct stat> StatOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

int64_t ModifiedNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}
int64_t ChangedNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// A name for a log line, its control characters as \xNN.
std::string EscapedName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// The entries of one folder, sorted by name (UTF-8 bytes).
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  if (error) throw ManifestError("cannot read the folder " + folder + ": " + error.message());
  std::sort(names.begin(), names.end());
  return names;
}

// The two levels of the tree that clients report; what is left out is
// said in warnings.
std::vector<TreeEntry> ListTree(const std::string& tree, std::vector<std::string>* warnings) {
  std::vector<TreeEntry> entries;
  auto visit = [&](const std::string& utf8_relative, const std::string& full, bool top) -> std::optional<struct stat> {
    std::optional<struct stat> st = StatOf(full);
    if (!st) {
      warnings->push_back(utf8_relative + ": cannot be read, left out");
      return std::nullopt;
    }
    if (S_ISDIR(st->st_mode)) return st;
    if (!S_ISREG(st->st_mode)) {
      warnings->push_back(utf8_relative + ": not a file, left out");
      return std::nullopt;
    }
    std::optional<std::string> name = Utf8ToCp1251(utf8_relative);
    if (!name || name->find('\\') != (top ? std::string::npos : name->rfind('\\'))) {
      warnings->push_back(utf8_relative + ": the name cannot be spelled in code page 1251, left out");
      return std::nullopt;
    }
    // A line feed (or any control character) in a name would break the
    // reply's lines for every client of the suite.
    if (std::any_of(name->begin(), name->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
      warnings->push_back(EscapedName(utf8_relative) + ": a control character in the name, left out");
      return std::nullopt;
    }
    entries.push_back({*name, full, static_cast<uint64_t>(st->st_size), ModifiedNs(*st),
                       static_cast<uint64_t>(st->st_ino), ChangedNs(*st)});
    return std::nullopt;
  };
  for (const std::string& name : NamesIn(tree)) {
    std::string full = tree + "/" + name;
    std::optional<struct stat> dir = visit(name, full, true);
    if (!dir) continue;
    // Clients never report their top-level "Logs" folder.
    if (name == "Logs") {
      warnings->push_back(name + ": clients never report a top-level Logs folder, left out");
      continue;
    }
    for (const std::string& inner : NamesIn(full)) {
      std::string relative = name + "\\" + inner;
      if (visit(relative, full + "/" + inner, false)) {
        warnings->push_back(relative + ": a folder below the first level, which clients do not report, left out");
      }
    }
  }
  return entries;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ManifestError("cannot open " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t Mix(uint64_t hash, const void* data, size_t length) {
  // FNV-1a, 64 bits.
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

uint64_t Mix(uint64_t hash, const std::string& path, uint64_t size, int64_t modified_ns, uint64_t inode,
             int64_t changed_ns) {
  hash = Mix(hash, path.data(), path.size() + 1);
  const int64_t stamp[] = {static_cast<int64_t>(size), modified_ns, static_cast<int64_t>(inode), changed_ns};
  return Mix(hash, stamp, sizeof stamp);
}

}  // namespace

uint64_t ReleaseFingerprint(const std::string& folder) {
  uint64_t hash = 0xCBF29CE484222325ull;
  std::string manifest = folder + "/" + kManifestName;
  if (std::optional<struct stat> st = StatOf(manifest)) {
    hash = Mix(hash, manifest, static_cast<uint64_t>(st->st_size), ModifiedNs(*st), static_cast<uint64_t>(st->st_ino),
               ChangedNs(*st));
  }
  std::vector<std::string> ignored;
  try {
    for (const TreeEntry& e : ListTree(folder + "/" + kTreeFolder, &ignored)) {
      hash = Mix(hash, e.full, e.size, e.modified_ns, e.inode, e.changed_ns);
    }
    // Entries that are left out still count: a new deep folder changes the warnings.
    for (const std::string& w : ignored) hash = Mix(hash, w.data(), w.size());
  } catch (const ManifestError&) {
    hash = Mix(hash, "unreadable", 10);
  }
  return hash;
}

size_t NoCaseHash::operator()(std::string_view text) const {
  size_t hash = 0xCBF29CE484222325ull;
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(UpperCp1251(c))) * 0x100000001B3ull;
  return hash;
}

bool NoCaseEqual::operator()(std::string_view a, std::string_view b) const { return SameTextCp1251(a, b); }

void IndexRelease(Release& release) {
  release.index.clear();
  for (size_t i = 0; i < release.files.size(); ++i) release.index.emplace(release.files[i].path, i);
  release.deletions.clear();
  for (const std::string& path : release.manifest.deletions) {
    if (release.index.count(path)) throw ManifestError("delete " + Cp1251ToUtf8(path) + ": the file is part of the release");
    release.deletions.insert(path);
  }
  const std::string& client = release.manifest.client_path;
  size_t slash = client.rfind('\\');
  release.staged = client.substr(0, slash == std::string::npos ? 0 : slash + 1) + kStagedClientName;
  auto found = release.index.find(client);
  release.client_index = found == release.index.end() ? release.files.size() : found->second;
}

std::shared_ptr<const Release> LoadRelease(const std::string& folder, const std::string& suite,
                                           const Release* previous) {
  auto release = std::make_shared<Release>();
  release->suite = suite;
  release->manifest = ParseManifest(ReadText(folder + "/" + kManifestName));
  std::vector<TreeEntry> entries = ListTree(folder + "/" + kTreeFolder, &release->warnings);
  std::sort(entries.begin(), entries.end(), [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });

  NoCaseSet names;
  std::vector<char> buffer;
  for (const TreeEntry& e : entries) {
    if (!names.insert(e.path).second) {
      release->warnings.push_back(Cp1251ToUtf8(e.path) + ": differs from another name only in letter case, left out");
      continue;
    }
    ReferenceFile file{e.path, 0, e.size, e.modified_ns, e.inode, e.changed_ns};
    const ReferenceFile* known = nullptr;
    if (previous) {
      auto found = previous->index.find(e.path);
      if (found != previous->index.end()) known = &previous->files[found->second];
    }
    if (known && known->path == e.path && known->size == e.size && known->modified_ns == e.modified_ns &&
        known->inode == e.inode && known->changed_ns == e.changed_ns) {
      file.crc = known->crc;
    } else if (!FileCRC32(e.full, &file.crc, &buffer)) {
      throw ManifestError("cannot read " + e.full);
    }
    release->files.push_back(std::move(file));
  }
  IndexRelease(*release);
  if (release->client_index == release->files.size()) {
    release->warnings.push_back(Cp1251ToUtf8(release->manifest.client_path) +
                                ": no client build in the tree, clients are not updated");
  }
  return release;
}

ReleaseStore::ReleaseStore(std::string root, Reporter report, std::string cache_path)
    : root_(std::move(root)), report_(std::move(report)), cache_path_(std::move(cache_path)) {
  ReadCache();
}

// One line per file: folder, path (both as hexadecimal bytes), checksum,
// size, modification time, inode, status-change time. A line that does not
// read is passed over: the file is then read again.
void ReleaseStore::ReadCache() {
  if (cache_path_.empty()) return;
  std::ifstream in(cache_path_, std::ios::binary);
  if (!in) return;
  auto unhex = [](const std::string& hex, std::string* out) {
    if (hex.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
      unsigned value = 0;
      if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1) return false;
      out->push_back(static_cast<char>(value));
    }
    return true;
  };
  std::map<std::string, std::shared_ptr<Release>> read;
  std::string line;
  size_t files = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string folder_hex, path_hex, folder;
    ReferenceFile file;
    if (!(fields >> folder_hex >> path_hex >> file.crc >> file.size >> file.modified_ns >> file.inode >>
          file.changed_ns) ||
        !unhex(folder_hex, &folder) || !unhex(path_hex, &file.path)) {
      continue;
    }
    std::shared_ptr<Release>& release = read[folder];
    if (!release) release = std::make_shared<Release>();
    release->files.push_back(std::move(file));
    ++files;
  }
  for (auto& [folder, release] : read) {
    IndexRelease(*release);
    cached_[folder] = release;
  }
  if (files) report_("checksum cache: " + std::to_string(files) + " files of " + std::to_string(read.size()) + " releases");
}

void ReleaseStore::WriteCache() const {
  if (cache_path_.empty()) return;
  auto hex = [](const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
      std::snprintf(two, sizeof two, "%02x", c);
      out += two;
    }
    return out;
  };
  // Written beside and moved over, so a crash never leaves half a cache.
  const std::string partial = cache_path_ + ".new";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) {
      report_("checksum cache: cannot write " + partial);
      return;
    }
    for (const auto& [folder, entry] : by_folder_) {
      if (!entry.release) continue;
      for (const ReferenceFile& f : entry.release->files) {
        out << hex(folder) << ' ' << hex(f.path) << ' ' << f.crc << ' ' << f.size << ' ' << f.modified_ns << ' '
            << f.inode << ' ' << f.changed_ns << '\n';
      }
    }
    if (!out.flush()) {
      report_("checksum cache: cannot write " + partial);
      return;
    }
  }
  if (std::rename(partial.c_str(), cache_path_.c_str()) != 0) report_("checksum cache: cannot replace " + cache_path_);
}

void ReleaseStore::Refresh() {
  std::vector<std::string> folders;
  try {
    for (const std::string& name : NamesIn(root_)) {
      // An entry whose status cannot be read (a symlink loop, a name too
      // long, an I/O error) is left out, never the end of the server.
      std::error_code error;
      const bool folder = fs::is_directory(root_ + "/" + name, error);
      if (error) {
        report_("releases: " + EscapedName(name) + ": " + error.message() + ", left out");
      } else if (folder) {
        folders.push_back(name);
      }
    }
  } catch (const ManifestError& e) {
    report_(std::string("releases: ") + e.what());
    return;
  }
  bool changed = false;
  std::map<std::string, Entry> next;
  for (const std::string& name : folders) {
    std::string folder = root_ + "/" + name;
    uint64_t fingerprint = ReleaseFingerprint(folder);
    auto old = by_folder_.find(name);
    if (old != by_folder_.end() && old->second.fingerprint == fingerprint) {
      next[name] = old->second;
      continue;
    }
    changed = true;
    const Release* previous = old != by_folder_.end() ? old->second.release.get() : nullptr;
    Entry entry{fingerprint, previous ? old->second.release : nullptr};
    // At start, the checksums of the cache stand in for a previous version.
    const Release* known = previous;
    if (!known) {
      auto cached = cached_.find(name);
      if (cached != cached_.end()) known = cached->second.get();
    }
    std::optional<std::string> suite = Utf8ToCp1251(name);
    if (!suite) {
      report_("release " + name + ": the folder's name cannot be spelled in code page 1251; not served");
    } else {
      try {
        entry.release = LoadRelease(folder, *suite, known);
        for (const std::string& w : entry.release->warnings) report_("release " + name + ": " + w);
        report_("release " + name + ": " + std::to_string(entry.release->files.size()) + " files, " +
                std::to_string(entry.release->manifest.ftp_servers.size()) + " FTP servers, " +
                std::to_string(entry.release->manifest.data_sources.size()) + " data sources" +
                (previous ? ", reloaded" : ", loaded"));
      } catch (const ManifestError& e) {
        report_("release " + name + ": " + e.what() + (previous ? "; the previous version stays in service" : "; not served"));
      }
    }
    next[name] = entry;
  }
  for (const auto& [name, entry] : by_folder_) {
    if (!next.count(name)) {
      changed = true;
      report_("release " + name + ": the folder is gone; not served");
    }
  }
  by_folder_ = std::move(next);
  if (!changed) return;
  cached_.clear();  // served from memory from now on
  WriteCache();

  SuiteIndex by_suite;
  for (const auto& [name, entry] : by_folder_) {
    if (!entry.release) continue;
    auto [it, fresh] = by_suite.emplace(entry.release->suite, entry.release);
    if (!fresh) report_("release " + name + ": the same suite code as another folder; not served");
  }
  std::lock_guard lock(mutex_);
  by_suite_ = std::move(by_suite);
}

std::shared_ptr<const Release> ReleaseStore::Find(const std::string& suite) const {
  std::lock_guard lock(mutex_);
  auto found = by_suite_.find(suite);
  return found == by_suite_.end() ? nullptr : found->second;
}

}  // namespace ulmar::server
