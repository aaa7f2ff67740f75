#include "apply/partial_file.h"

#include "base/partial_file.h"

namespace ulmar {

PartialFile::PartialFile(std::string destination)
    : destination_(std::move(destination)),
      partial_(destination_ + kPartialSuffix),
      file_(File::CreateForWrite(partial_)) {}

PartialFile::~PartialFile() {
  if (committed_) return;
  try {
    file_.Close();
  } catch (...) {
    // The transfer failed already; the partial file goes either way.
  }
  DeleteFileAt(partial_);
}

void PartialFile::Write(std::string_view bytes) { file_.Write(bytes); }

void PartialFile::Commit() {
  file_.Close();
  // An installed file may be read-only (copied from a CD, say): the server
  // named it for replacement, so it loses the attribute first.
  ClearReadOnly(destination_);
  ReplaceFileWith(partial_, destination_);
  committed_ = true;
}

}  // namespace ulmar
