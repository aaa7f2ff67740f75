// A downloaded file on its way in: received into a partial file beside its
// destination and moved over the destination only when the transfer is
// complete, so a file the client replaces is never left half-written and a
// failed transfer leaves the old file as it was.
#pragma once

#include <string>
#include <string_view>

#include "net/ftp_client.h"
#include "platform/file.h"

namespace ulmar {

class PartialFile : public ByteSink {
 public:
  // Creates the partial file at once, so a folder that cannot be written
  // fails before anything is asked of the server. Raises InOutError.
  explicit PartialFile(std::string destination);
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  // Without a Commit the partial file is removed and the destination stays.
  ~PartialFile() override;

  void Write(std::string_view bytes) override;
  // Closes the partial file and moves it over the destination. Raises
  // InOutError.
  void Commit();

 private:
  std::string destination_;
  std::string partial_;
  File file_;
  bool committed_ = false;
};

}  // namespace ulmar
