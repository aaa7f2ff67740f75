// FTP replies (RFC 959), free of I/O: lines go in, whole replies come out.
// A reply is a three-digit code and text; a multi-line reply starts with
// "ddd-" and ends with the line that starts with the same code and a blank.
#pragma once

#include <string>
#include <vector>

namespace ulmar {

struct FtpReply {
  int code = 0;
  std::vector<std::string> lines;  // as received, code included
  // The reply's text: every line without its code and separator, joined
  // by CR LF; what a failure on a negative reply says.
  std::string Text() const;
};

class FtpReplyParser {
 public:
  // A reply may not grow beyond this many bytes.
  static constexpr size_t kMaxReplySize = 64 * 1024;

  // Takes one line (without its line end). Returns true when it completed a
  // reply, which Take() then hands out. Raises FtpError for a line that
  // cannot start a reply or a reply that grows too large; the parser is then
  // empty again.
  bool Feed(const std::string& line);
  // Hands out the reply and empties the parser.
  FtpReply Take();

 private:
  FtpReply reply_;
  size_t size_ = 0;
  bool in_multiline_ = false;
};

}  // namespace ulmar
