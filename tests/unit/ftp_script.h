// Scripts of an FTP server's side for the scripted peer of the tests.
#pragma once

#include <string>
#include <vector>

#include "unit/loopback.h"

namespace ulmar::testing {

// An FTP server's side of a log-in without a password, up to SYST's reply.
inline std::vector<ScriptedPeer::Step> LoginScript() {
  using P = ScriptedPeer;
  return {P::Send("220 ready\r\n"), P::ReceiveLines(1), P::Send("230 in\r\n"),    P::ReceiveLines(1),
          P::Send("211 no features\r\n"), P::ReceiveLines(1), P::Send("200 Type set\r\n"), P::ReceiveLines(1),
          P::Send("215 UNIX\r\n")};
}
inline std::vector<ScriptedPeer::Step> Then(std::vector<ScriptedPeer::Step> first, std::vector<ScriptedPeer::Step> more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}
inline std::string PasvReply(int a, int b, int c, int d, uint16_t port) {
  return "227 Entering Passive Mode (" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
         std::to_string(d) + "," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ").\r\n";
}

}  // namespace ulmar::testing
