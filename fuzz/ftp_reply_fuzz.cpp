// FTP replies and the passive-mode address: any lines give a reply or an
// FtpError (never anything else), a failed reply leaves the parser ready for
// the next, and a parsed address is four numbers of 0..255 and a port.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/errors.h"
#include "net/ftp_client.h"
#include "net/ftp_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ulmar::FtpReplyParser parser;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    try {
      if (parser.Feed(text.substr(start, end - start))) {
        ulmar::FtpReply reply = parser.Take();
        if (reply.code < 0 || reply.code > 999 || reply.lines.empty()) std::abort();
        reply.Text();
      }
    } catch (const ulmar::FtpError&) {
      // After a failure the parser takes a fresh reply.
      if (!parser.Feed("220 ready")) std::abort();
      parser.Take();
    }
    start = end + 1;
  }
  try {
    std::string host;
    uint16_t port = 0;
    ulmar::ParsePassiveReply(text, &host, &port);
    int dots = 0;
    for (char c : host) {
      if (c == '.') ++dots;
      else if (c < '0' || c > '9') std::abort();
    }
    if (dots != 3 || host.size() > 15) std::abort();
  } catch (const ulmar::FtpError&) {
  }
  return 0;
}
