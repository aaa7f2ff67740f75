// A downloaded file on its way in: received into a partial file (in the
// installation's root, base/partial_file.h) and moved over the destination
// only when the transfer is complete, so a file the client replaces is never left half-written and a
// failed transfer leaves the old file as it was.
#pragma once

#include <string>
#include <string_view>

#include "base/heartbeat.h"
#include "net/ftp_client.h"
#include "platform/file.h"

namespace ulmar {

// How long a move into place is tried again while another program (a virus
// scanner reading the new file, say) holds one of the files.
inline constexpr int kHeldFilePatienceMs = 2000;

class PartialFile : public ByteSink {
 public:
  // Makes sure at once that the destination can be replaced (an existing
  // destination opens for writing, so one another program holds or the user
  // may not write is refused; a new one's folder takes a file), taking its
  // read-only attribute off for that, and creates the partial file: a
  // destination that cannot be written fails before the server is asked for
  // anything. Raises InOutError. The heartbeat, when given, is ticked while
  // Commit waits.
  PartialFile(std::string destination, std::string partial, Heartbeat* heartbeat = nullptr,
              int patience_ms = kHeldFilePatienceMs);
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  // Without a Commit the partial file is removed and the destination stays
  // as it was, its read-only attribute included.
  ~PartialFile() override;

  void Write(std::string_view bytes) override;
  // Writes the partial file through to the disk (so that a power cut after
  // the move cannot leave a destination without its data), closes it, and
  // moves it over the destination; a move refused because
  // another program holds a file is tried again for the patience given.
  // Raises InOutError.
  void Commit();
  // Commit's two steps: the data to disk and the file closed; then the move.
  void FinishWriting();
  void MoveIntoPlace();

 private:
  std::string destination_;
  Heartbeat* heartbeat_;
  int patience_ms_;
  std::string partial_;
  // An installed file may be read-only (copied from a CD, say): the server
  // named it for replacement, so it loses the attribute for the transfer.
  ReadOnlyLift lift_;
  File file_;
  bool committed_ = false;
};

}  // namespace ulmar
