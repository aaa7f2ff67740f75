// Files through POSIX descriptors, for the native build.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/errors.h"
#include "platform/file.h"
#include "platform/system_error.h"

namespace ulmar {
namespace {

// The program builds its paths with backslashes; natively they are slashes.
std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

// Windows refuses to replace or delete a file with the read-only attribute,
// whoever asks; the tests run as root, whom POSIX lets do both. A file
// without its owner's write permission stands for a read-only one.
bool IsReadOnlyFile(const std::string& native) {
  struct stat st;
  return ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

// Windows refuses to move a file another program has open without sharing
// it for deletion; POSIX never does. Natively, a file on which another open
// holds an exclusive flock() stands for such a file.
bool IsHeld(const std::string& native) {
  int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);  // also drops the shared lock taken just now
  return held;
}

// Windows refuses to add a file to a folder the user may not write; root,
// whom the tests run as, may write anywhere. A folder without its owner's
// write permission stands for such a folder.
bool IsUnwritableFolderOf(const std::string& native) {
  const size_t slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash + 1);
  struct stat st;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR);
}

// Whether Windows would refuse to open path for writing (errno then says
// why): a held or read-only file, or a new one in a folder the user may not
// write (when the open may create it).
bool RefusedForWriting(const std::string& native, bool creates) {
  struct stat st;
  if (::stat(native.c_str(), &st) != 0) {
    if (!creates || errno != ENOENT || !IsUnwritableFolderOf(native)) return false;
    errno = EACCES;
    return true;
  }
  if (IsHeld(native)) {
    errno = EBUSY;
    return true;
  }
  if (IsReadOnlyFile(native)) {
    errno = EACCES;
    return true;
  }
  return false;
}

}  // namespace

void CloseFileHandle(FileHandle handle) { ::close(static_cast<int>(handle)); }

File File::CreateForWrite(const std::string& path) {
  if (RefusedForWriting(NativePath(path), true)) throw InOutError(SystemErrorText(errno));
  int fd = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw InOutError(SystemErrorText(errno));
  return Adopt(fd);
}

namespace {

File OpenAtEnd(const std::string& path, int flags) {
  if (RefusedForWriting(NativePath(path), (flags & O_CREAT) != 0)) throw InOutError(SystemErrorText(errno));
  int fd = ::open(NativePath(path).c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) throw InOutError(SystemErrorText(errno));
  File file = File::Adopt(fd);
  if (::lseek(fd, 0, SEEK_END) < 0) throw InOutError(SystemErrorText(errno));
  return file;
}

File OpenAtStart(const std::string& path) {
  int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw InOutError(SystemErrorText(errno));
  return File::Adopt(fd);
}

}  // namespace

File File::OpenForAppend(const std::string& path) { return OpenAtEnd(path, O_RDWR); }

File File::OpenOrCreateForAppend(const std::string& path) { return OpenAtEnd(path, O_WRONLY | O_CREAT); }

File File::OpenForRead(const std::string& path) { return OpenAtStart(path); }

bool File::IsOpen() const { return static_cast<bool>(handle_); }

size_t File::Read(char* data, size_t size) {
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_.Get()), data, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw InOutError(SystemErrorText(errno));
  }
}

void File::Write(std::string_view data) {
  if (!handle_) throw InOutError(SystemErrorText(EBADF));
  while (!data.empty()) {
    ssize_t n = ::write(static_cast<int>(handle_.Get()), data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw InOutError(SystemErrorText(errno));
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void File::Flush() {
  if (::fsync(static_cast<int>(handle_.Get())) != 0) throw InOutError(SystemErrorText(errno));
}

void File::Close() {
  if (!handle_) return;
  int fd = static_cast<int>(handle_.Release());
  if (::close(fd) != 0) throw InOutError(SystemErrorText(errno));
}

// Natively nothing is hidden or system, and the entries come sorted without
// regard to case, as Wine's directory search returns them.
std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask) {
  (void)mask;  // "*" and "*.*" both match every name
  std::vector<DirEntry> entries;
  std::string native = NativePath(dir);
  DIR* d = ::opendir(native.c_str());
  if (!d) return entries;
  while (dirent* e = ::readdir(d)) {
    DirEntry entry;
    entry.name = e->d_name;
    struct stat st{};
    entry.directory = ::stat((native + entry.name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries.push_back(std::move(entry));
  }
  ::closedir(d);
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return strcasecmp(a.name.c_str(), b.name.c_str()) < 0; });
  return entries;
}

bool TryReplaceFile(const std::string& from, const std::string& to, bool* busy) {
  *busy = false;
  if (IsHeld(NativePath(from)) || IsHeld(NativePath(to))) {
    *busy = true;
    errno = EBUSY;
    return false;
  }
  if (IsReadOnlyFile(NativePath(to)) || IsUnwritableFolderOf(NativePath(to))) {
    errno = EACCES;
    return false;
  }
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

void ReplaceFileWith(const std::string& from, const std::string& to) {
  bool busy = false;
  if (!TryReplaceFile(from, to, &busy)) throw InOutError(SystemErrorText(errno));
}

bool DeleteFileAt(const std::string& path) {
  if (IsReadOnlyFile(NativePath(path))) {
    errno = EACCES;
    return false;
  }
  // Windows refuses to delete a file another program holds open.
  if (IsHeld(NativePath(path))) {
    errno = EBUSY;
    return false;
  }
  return ::unlink(NativePath(path).c_str()) == 0;
}

bool IsReadOnly(const std::string& path) { return IsReadOnlyFile(NativePath(path)); }

bool SetReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0) return false;
  return ::chmod(NativePath(path).c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool ClearReadOnly(const std::string& path) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0) return errno == ENOENT;
  if (st.st_mode & S_IWUSR) return true;
  return ::chmod(NativePath(path).c_str(), st.st_mode | S_IWUSR) == 0;
}

std::string LastFileErrorText() { return SystemErrorText(errno); }

bool SetHiddenSystem(const std::string& path) { return FileExists(path); }

bool CreateDirectories(const std::string& path) {
  std::string native = NativePath(path);
  for (size_t i = 1; i <= native.size(); ++i) {
    if (i != native.size() && native[i] != '/') continue;
    const std::string level = native.substr(0, i);
    if (::mkdir(level.c_str(), 0777) == 0) continue;
    // The first level that cannot be made says why (a file in the way gives
    // "file exists"); the look at it must not replace that.
    const int error = errno;
    struct stat st{};
    if (::stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    errno = error;
    return false;
  }
  return DirectoryExists(path);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st{};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace ulmar
