// Helpers of the update server's tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/cp1251.h"
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
  for (auto& [path, crc] : files) {
    release->index.emplace(UpperCp1251(path), release->files.size());
    release->files.push_back({path, crc, 0, 0});
  }
  for (const std::string& d : release->manifest.deletions) release->deletions.insert(UpperCp1251(d));
  release->client = UpperCp1251(release->manifest.client_path);
  size_t slash = release->client.rfind('\\');
  release->staged = UpperCp1251(release->client.substr(0, slash == std::string::npos ? 0 : slash + 1) + kStagedClientName);
  return release;
}

}  // namespace ulmar::server::testing
