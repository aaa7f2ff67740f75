// File helpers built on the platform's file operations.
#include "platform/file.h"

namespace ulmar {

std::string ReadWholeFile(const std::string& path) {
  File file = File::OpenForRead(path);
  std::string text;
  char block[65536];
  for (;;) {
    size_t n = file.Read(block, sizeof block);
    if (n == 0) break;
    text.append(block, n);
  }
  return text;
}

}  // namespace ulmar
