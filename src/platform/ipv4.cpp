// IPv4 literals and host names.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdlib>

#include "log/errors.h"
#include "platform/socket.h"

namespace ulmar {

bool ParseIpv4(const std::string& text, uint32_t* address) {
  uint32_t result = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 255) return false;
    result = (result << 8) | value;
  }
  if (pos != text.size()) return false;
  *address = result;
  return true;
}

uint32_t ResolveIpv4(const std::string& host) {
  uint32_t address = 0;
  if (ParseIpv4(host, &address)) return address;
  StartSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    throw TransportError(transport_text::kHostNotFound + host);
  }
  address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return address;
}

}  // namespace ulmar
