// TCP over IPv4, portable: Winsock in the product, BSD sockets natively.
// A thin non-blocking socket; waiting, slicing and buffering belong to the
// connection above it. Failures are reported as system error codes, which
// TransportErrorText turns into the network layer's fixed texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/owned_handle.h"

namespace ulmar {

// The system's handle of a socket: a SOCKET in the product, a descriptor
// natively.
#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif
// Closes it without a word (the platform's own call).
void CloseSocketHandle(SocketHandle handle);

class Socket {
 public:
  Socket() = default;

  // A new non-blocking TCP socket; raises TransportError.
  static Socket OpenTcp();

  bool IsOpen() const { return static_cast<bool>(handle_); }
  // Starts connecting; true when the connection is already made. Returns
  // false while in progress; raises TransportError when refused at once.
  bool StartConnect(uint32_t address, uint16_t port);
  // The outcome of a connect once the socket turned writable: 0 or an error.
  int ConnectError() const;
  // Waits up to timeout_ms for the socket to be readable (or writable).
  // True when it is; raises TransportError when the wait itself fails.
  bool WaitReadable(int timeout_ms) const;
  bool WaitWritable(int timeout_ms) const;
  // Returns the count moved, 0 for an orderly close (Receive), or -1 when
  // the call would block; raises TransportError on other failures.
  long Send(const char* data, size_t size);
  long Receive(char* data, size_t size);
  void Close() { handle_.Reset(); }

 private:
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  OwnedHandle<SocketHandle, kNoSocket, &CloseSocketHandle> handle_;
};

// An IPv4 literal or a host name looked up by the system's resolver; raises
// TransportError when the name cannot be resolved.
uint32_t ResolveIpv4(const std::string& host);

// Makes the platform's sockets usable (Winsock's start-up, once per
// process); raises TransportError when that fails.
void StartSockets();

// The fixed texts of the network layer's errors.
namespace transport_text {
inline constexpr const char kConnectTimedOut[] = "Connect timed out.";
inline constexpr const char kConnectionRefused[] = "Connection refused.";
inline constexpr const char kConnectionClosed[] = "Connection Closed Gracefully.";
inline constexpr const char kConnectionReset[] = "Connection reset by peer.";
inline constexpr const char kReadTimedOut[] = "Read timed out.";
inline constexpr const char kWriteTimedOut[] = "Write timed out.";
inline constexpr const char kMaxLineLength[] = "Max line length exceeded.";
inline constexpr const char kNotConnected[] = "Not connected.";
inline constexpr const char kBadAddress[] = "Invalid IPv4 address.";
inline constexpr const char kHostNotFound[] = "Host not found: ";
}  // namespace transport_text

// The fixed text for a system socket error code: refused and reset have
// their own; any other reads "Socket Error # <code>".
std::string TransportErrorText(int code);

}  // namespace ulmar
