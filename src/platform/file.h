// Files, portable: Win32 handles in the product, POSIX descriptors natively.
// Paths are code page 1251 bytes passed to the system unchanged. Failures
// raise InOutError carrying the system's text for the cause.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ulmar {

class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

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
  // Closes the file; raises when the system reports a failure. Closing a
  // file that is not open does nothing.
  void Close();

 private:
#ifdef _WIN32
 public:
  static File Adopt(void* handle) { return File(handle); }

 private:
  explicit File(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
#else
 public:
  static File Adopt(int fd) { return File(fd); }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
#endif
};

// One entry of a directory search.
struct DirEntry {
  std::string name;
  bool directory = false;
  bool hidden = false;  // hidden or system
};

// The entries of directory dir (which ends with a separator) matching mask
// ("*" or "*.*": every name), "." and ".." included, in the order of the
// platform's search. A search that cannot start gives no entries.
std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask);

// Moves from over to, replacing to when it exists; to is never left half
// written. Raises InOutError.
void ReplaceFileWith(const std::string& from, const std::string& to);
// Deletes a file; false when it could not be deleted (LastFileErrorText
// then says why).
bool DeleteFileAt(const std::string& path);
// The system's text for the last failed file operation of this thread.
std::string LastFileErrorText();
// Sets a file's attributes to exactly hidden and system (Windows; natively
// nothing is hidden). False when that failed.
bool SetHiddenSystem(const std::string& path);
// Creates a directory and every missing parent; false when it failed.
bool CreateDirectories(const std::string& path);

// True when path names an existing file (not a directory).
bool FileExists(const std::string& path);
// True when path names an existing directory.
bool DirectoryExists(const std::string& path);

}  // namespace ulmar
