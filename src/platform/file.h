// Files, portable: Win32 handles in the product, POSIX descriptors natively.
// Paths are code page 1251 bytes passed to the system unchanged. Failures
// raise InOutError carrying the system's text for the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/owned_handle.h"

namespace ulmar {

// The system's handle of an open file: a HANDLE in the product, a
// descriptor natively; -1 for none.
using FileHandle = intptr_t;
// Closes it without a word (the platform's own call).
void CloseFileHandle(FileHandle handle);

class File {
 public:
  File() = default;
  static File Adopt(FileHandle handle) {
    File file;
    file.handle_.Reset(handle);
    return file;
  }

  // Create or truncate for writing; other processes may read meanwhile.
  static File CreateForWrite(const std::string& path);
  // Open an existing file for reading and writing, positioned at its end;
  // other processes may open it for reading only.
  static File OpenForAppend(const std::string& path);
  // Open for writing at the end, creating the file when missing; other
  // processes may open it for reading only.
  static File OpenOrCreateForAppend(const std::string& path);

  // Open an existing file for reading; other processes may read it but not
  // write it meanwhile (fails when one holds it open for writing).
  static File OpenForRead(const std::string& path);

  bool IsOpen() const;
  // Reads up to size bytes; 0 at the end of the file. Raises InOutError.
  size_t Read(char* data, size_t size);
  // Writes all of data or raises.
  void Write(std::string_view data);
  // Returns once everything written has reached the disk. Raises InOutError.
  void Flush();
  // Closes the file; raises when the system reports a failure. Closing a
  // file that is not open does nothing.
  void Close();

 private:
  OwnedHandle<FileHandle, -1, &CloseFileHandle> handle_;
};

// One entry of a directory search.
struct DirEntry {
  std::string name;
  bool directory = false;
  bool hidden = false;  // hidden or system
  // False when the name has characters code page 1251 cannot spell (a name
  // made on another system): name then holds '?' for each of them, and no
  // file operation can reach the entry by it.
  bool spelled = true;
};

// The entries of directory dir (which ends with a separator) matching mask
// ("*" or "*.*": every name), "." and ".." included, in the order of the
// platform's search. A search that cannot start gives no entries.
std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask);

// Moves from over to, replacing to when it exists; to is never left half
// written. Raises InOutError. Like Windows, refuses a read-only to.
void ReplaceFileWith(const std::string& from, const std::string& to);
// The same without raising: false when it failed (LastFileErrorText then
// says why), with *busy telling whether the system refused because another
// program holds one of the files (a sharing or lock violation, or access
// denied, as Windows answers while a virus scanner reads a new file).
bool TryReplaceFile(const std::string& from, const std::string& to, bool* busy);
// Deletes a file; false when it could not be deleted (LastFileErrorText
// then says why). Like Windows, refuses a read-only file.
bool DeleteFileAt(const std::string& path);
// Takes the read-only attribute off a file that has it, so that it can be
// replaced or deleted. True when the file is writable now (or is missing).
bool ClearReadOnly(const std::string& path);
// Whether path names a file with the read-only attribute.
bool IsReadOnly(const std::string& path);
// Gives a file the read-only attribute (and keeps its others). False when
// that failed.
bool SetReadOnly(const std::string& path);
// The system's text for the last failed file operation of this thread.
std::string LastFileErrorText();
// Sets a file's attributes to exactly hidden and system (Windows; natively
// nothing is hidden). False when that failed.
bool SetHiddenSystem(const std::string& path);
// Creates a directory and every missing parent; false when it failed, and
// then LastFileErrorText says why the first creation that failed did.
bool CreateDirectories(const std::string& path);

// True when path names an existing file (not a directory).
bool FileExists(const std::string& path);
// True when path names an existing directory.
bool DirectoryExists(const std::string& path);

// Takes a file's read-only attribute off for a replacement or a deletion
// that the server or the operator asked for, and gives it back unless Keep
// says the step went through: a step that fails leaves the file as it was.
class ReadOnlyLift {
 public:
  explicit ReadOnlyLift(std::string path) : path_(std::move(path)), lifted_(IsReadOnly(path_)) {
    if (lifted_) ClearReadOnly(path_);
  }
  ReadOnlyLift(const ReadOnlyLift&) = delete;
  ReadOnlyLift& operator=(const ReadOnlyLift&) = delete;
  ~ReadOnlyLift() {
    if (lifted_ && FileExists(path_)) SetReadOnly(path_);
  }
  // The file was replaced or deleted: its attribute stays off.
  void Keep() { lifted_ = false; }

 private:
  std::string path_;
  bool lifted_;
};

}  // namespace ulmar
