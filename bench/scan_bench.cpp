// The working-tree scan against a plain read-only walk of the same files
// (same directory search, same block size, no checksum), warm cache, in the
// same run. Usage: scan_bench ROOT  (ROOT ends with a separator; make the
// tree with scripts/bench.sh).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "inventory/crc32.h"
#include "inventory/scan.h"
#include "platform/file.h"

namespace {

// Reads every file the scan would read, and nothing else.
size_t ReadOnlyWalk(const std::string& root, size_t* files) {
  const std::vector<std::string> dirs = ulmar::ScannedDirectories(root);
  std::vector<char> block(ulmar::kCrcReadBlock);
  size_t bytes = 0;
  *files = 0;
  for (const auto& d : dirs) {
    for (const auto& e : ulmar::ListDirectory(root + d, "*.*")) {
      if (e.directory) continue;
      ulmar::File f = ulmar::File::OpenForRead(root + d + e.name);
      for (size_t n; (n = f.Read(block.data(), block.size())) > 0;) bytes += n;
      ++*files;
    }
  }
  return bytes;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scan_bench ROOT\n");
    return 2;
  }
  std::string root = argv[1];
  size_t files = 0;
  size_t bytes = ReadOnlyWalk(root, &files);  // warms the cache
  double walk = 1e9, scan = 1e9;
  size_t scanned = 0;
  for (int round = 0; round < 3; ++round) {
    auto start = std::chrono::steady_clock::now();
    ReadOnlyWalk(root, &files);
    walk = std::min(walk, Seconds(start));
    start = std::chrono::steady_clock::now();
    scanned = ulmar::ScanDir(root).size();
    scan = std::min(scan, Seconds(start));
  }
  std::printf("tree                   %zu files, %.1f MiB\n", files, bytes / 1048576.0);
  std::printf("read-only walk         %7.3f s  %6.2f GB/s\n", walk, bytes / walk / 1e9);
  std::printf("ScanDir                %7.3f s  %6.2f GB/s  (%zu files)\n", scan, bytes / scan / 1e9, scanned);
  std::printf("ScanDir / walk         %7.2f x\n", scan / walk);
  return scanned == files ? 0 : 1;
}
