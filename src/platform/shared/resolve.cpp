// Host names to IPv4 addresses, for both platforms: getaddrinfo is the same
// call in Winsock and in BSD sockets, only its headers differ.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "base/errors.h"
#include "base/text.h"
#include "platform/socket.h"

namespace ulmar {

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
