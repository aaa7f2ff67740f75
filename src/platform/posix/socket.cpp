// BSD sockets for the native build.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/errors.h"
#include "platform/socket.h"

namespace ulmar {

Socket Socket::OpenTcp() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw TransportError(TransportErrorText(errno));
  return Socket(fd);
}

bool Socket::StartConnect(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  if (::connect(handle_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
  if (errno == EINPROGRESS || errno == EINTR) return false;
  throw TransportError(TransportErrorText(errno));
}

int Socket::ConnectError() const {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

namespace {

bool WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) {
    if (errno == EINTR) return false;
    throw TransportError(TransportErrorText(errno));
  }
  return n > 0;
}

}  // namespace

bool Socket::WaitReadable(int timeout_ms) const { return WaitFor(handle_.Get(), POLLIN, timeout_ms); }

bool Socket::WaitWritable(int timeout_ms) const { return WaitFor(handle_.Get(), POLLOUT, timeout_ms); }

long Socket::Send(const char* data, size_t size) {
  ssize_t n = ::send(handle_.Get(), data, size, MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  throw TransportError(TransportErrorText(errno));
}

long Socket::Receive(char* data, size_t size) {
  ssize_t n = ::recv(handle_.Get(), data, size, 0);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  throw TransportError(TransportErrorText(errno));
}

void CloseSocketHandle(SocketHandle handle) { ::close(handle); }

void StartSockets() {}

std::string TransportErrorText(int code) {
  switch (code) {
    case ECONNREFUSED:
      return transport_text::kConnectionRefused;
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
      return transport_text::kConnectionReset;
    case ETIMEDOUT:
      return transport_text::kConnectTimedOut;
    default:
      return "Socket Error # " + std::to_string(code);
  }
}

}  // namespace ulmar
