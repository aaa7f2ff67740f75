// Helpers of the update server's tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "release.h"

namespace ulmar::server::testing {

// Sources are compiled for code page 1251; u8 literals stay UTF-8.
inline std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// A release made in memory: files as (path, CRC) in code page 1251.
inline std::shared_ptr<const Release> MakeRelease(std::vector<std::pair<std::string, uint32_t>> files,
                                                  Manifest manifest = {}) {
  auto release = std::make_shared<Release>();
  release->suite = "STUDENT";
  release->manifest = std::move(manifest);
  for (auto& [path, crc] : files) release->files.push_back({path, crc, 0, 0});
  IndexRelease(*release);
  return release;
}

}  // namespace ulmar::server::testing
