// The page's files, built into the server (page/*): it loads nothing from
// anywhere else.
#pragma once

#include <cstddef>

namespace ulmar::server::fleet {

struct PageAsset {
  const char* path;  // "/app.js"
  const char* type;  // "text/javascript; charset=utf-8"
  const unsigned char* data;
  size_t size;
};

extern const PageAsset kPageAssets[];
extern const size_t kPageAssetCount;

}  // namespace ulmar::server::fleet
