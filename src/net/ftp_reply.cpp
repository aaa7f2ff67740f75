#include "net/ftp_reply.h"

#include <cctype>

#include "base/errors.h"

namespace ulmar {
namespace {

bool StartsWithCode(const std::string& line) {
  return line.size() >= 3 && isdigit(static_cast<unsigned char>(line[0])) &&
         isdigit(static_cast<unsigned char>(line[1])) && isdigit(static_cast<unsigned char>(line[2]));
}

}  // namespace

std::string FtpReply::Text() const {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    std::string part = l;
    if (StartsWithCode(l) && (l.size() == 3 || l[3] == ' ' || l[3] == '-')) part = l.size() > 4 ? l.substr(4) : "";
    if (i) text += "\r\n";
    text += part;
  }
  return text;
}

bool FtpReplyParser::Feed(const std::string& line) {
  size_ += line.size() + 2;
  if (size_ > kMaxReplySize) {
    Take();  // a failed reply leaves nothing behind for the next one
    throw FtpError("Reply too long.");
  }
  if (!in_multiline_) {
    if (!StartsWithCode(line) || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
      Take();
      throw FtpError("Invalid reply: " + line.substr(0, 80));
    }
    reply_.code = std::stoi(line.substr(0, 3));
    reply_.lines.push_back(line);
    if (line.size() > 3 && line[3] == '-') {
      in_multiline_ = true;
      return false;
    }
    return true;
  }
  reply_.lines.push_back(line);
  // The last line repeats the first line's code, followed by a blank.
  if (line.size() >= 3 && line.compare(0, 3, reply_.lines.front(), 0, 3) == 0 && (line.size() == 3 || line[3] == ' ')) {
    in_multiline_ = false;
    return true;
  }
  return false;
}

FtpReply FtpReplyParser::Take() {
  FtpReply done = std::move(reply_);
  reply_ = FtpReply{};
  size_ = 0;
  in_multiline_ = false;
  return done;
}

}  // namespace ulmar
