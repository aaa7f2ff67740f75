// Winsock for the product.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "base/errors.h"
#include "platform/socket.h"

namespace ulmar {

// Winsock is started once per process, on first use, and stays up.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw TransportError(TransportErrorText(WSASYSNOTREADY));
}

Socket Socket::OpenTcp() {
  StartSockets();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw TransportError(TransportErrorText(WSAGetLastError()));
  Socket result(static_cast<SocketHandle>(s));
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) throw TransportError(TransportErrorText(WSAGetLastError()));
  return result;
}

bool Socket::StartConnect(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  if (::connect(static_cast<SOCKET>(handle_.Get()), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) return false;
  throw TransportError(TransportErrorText(error));
}

int Socket::ConnectError() const {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(static_cast<SOCKET>(handle_.Get()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
      0) {
    return WSAGetLastError();
  }
  return error;
}

namespace {

// select() with one socket; a failed connect shows in the exception set.
bool WaitFor(uintptr_t handle, bool write, int timeout_ms) {
  fd_set set, errors;
  FD_ZERO(&set);
  FD_ZERO(&errors);
  FD_SET(static_cast<SOCKET>(handle), &set);
  FD_SET(static_cast<SOCKET>(handle), &errors);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int n = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
  if (n == SOCKET_ERROR) throw TransportError(TransportErrorText(WSAGetLastError()));
  return n > 0;
}

}  // namespace

bool Socket::WaitReadable(int timeout_ms) const { return WaitFor(handle_.Get(), false, timeout_ms); }

bool Socket::WaitWritable(int timeout_ms) const { return WaitFor(handle_.Get(), true, timeout_ms); }

long Socket::Send(const char* data, size_t size) {
  int chunk = size > 0x40000000u ? 0x40000000 : static_cast<int>(size);
  int n = ::send(static_cast<SOCKET>(handle_.Get()), data, chunk, 0);
  if (n != SOCKET_ERROR) return n;
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return -1;
  throw TransportError(TransportErrorText(error));
}

long Socket::Receive(char* data, size_t size) {
  int chunk = size > 0x40000000u ? 0x40000000 : static_cast<int>(size);
  int n = ::recv(static_cast<SOCKET>(handle_.Get()), data, chunk, 0);
  if (n != SOCKET_ERROR) return n;
  int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return -1;
  throw TransportError(TransportErrorText(error));
}

void CloseSocketHandle(SocketHandle handle) { ::closesocket(static_cast<SOCKET>(handle)); }

std::string TransportErrorText(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return transport_text::kConnectionRefused;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return transport_text::kConnectionReset;
    case WSAETIMEDOUT:
      return transport_text::kConnectTimedOut;
    default:
      return "Socket Error # " + std::to_string(code);
  }
}

}  // namespace ulmar
