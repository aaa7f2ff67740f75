// The release manifest: any text is a manifest or a ManifestError naming a
// line; the paths it accepts for deletion pass the client's own path rules.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/safe_path.h"
#include "manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    ulmar::server::Manifest manifest = ulmar::server::ParseManifest(text);
    for (const std::string& path : manifest.deletions) {
      if (ulmar::UnsafePathReason(path)) std::abort();
    }
  } catch (const ulmar::server::ManifestError&) {
  }
  return 0;
}
