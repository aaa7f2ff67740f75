// A TCP connection of the network layer, used for the update server and for
// FTP. Every step ticks the heartbeat (each chunk received or sent, each
// slice of a wait), and no wait lasts past its next beat, so the window
// answers on the one thread whether data flows or not. Failures are
// TransportError with the fixed texts of platform/socket.h.
//
// An attached traffic log sees every write as one "Sent" entry, every chunk
// read from the socket as one "Recv" entry, the connect (when attached
// before it) and the close.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/heartbeat.h"
#include "log/traffic_log.h"
#include "platform/socket.h"
#include "net/limits.h"

namespace ulmar {

struct NetworkLimits {
  int connect_timeout_ms = limits::kConnectTimeoutMs;
  int connect_slice_ms = limits::kConnectSliceMs;
  int wait_slice_ms = limits::kWaitSliceMs;
  int inactivity_limit_ms = limits::kInactivityLimitMs;
  int transfer_floor_window_ms = limits::kTransferFloorWindowMs;
  int transfer_floor_bytes = limits::kTransferFloorBytes;
};

class Connection {
 public:
  // Bytes asked of the socket at a time: few large receives are much cheaper
  // than many small ones, under Wine above all.
  static constexpr size_t kReceiveBlock = 256 * 1024;

  // The heartbeat, when given, is not owned.
  explicit Connection(Heartbeat* heartbeat, NetworkLimits limits = {});
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Connects to an IPv4 literal (or, after ResolveNames, a host name);
  // raises TransportError (refused, timed out, name not found).
  void Connect(const std::string& host, uint16_t port);
  void ResolveNames() { resolve_names_ = true; }
  // The IPv4 address of the last connect, dotted ("" before any).
  std::string PeerAddress() const;
  // Logs from now on; nullptr detaches. The log is not owned.
  void AttachLog(TrafficLog* log) { log_ = log; }
  // Whether the connection is open. Never raises: a peer that has closed is
  // noticed here and the connection closed on our side too. Takes in at most
  // one chunk of what is waiting (kept for the next read).
  bool Connected();
  // Closes the connection if it is open.
  void Disconnect();
  // Whether received data is waiting, or arrives within timeout_ms.
  bool WaitForData(int timeout_ms);
  // Until ClearDeadline, every wait fails with the timed-out text once
  // ms milliseconds from now have passed, however the data trickles in:
  // a limit for a whole exchange rather than for each wait.
  void SetDeadline(int ms);
  void ClearDeadline() { deadline_ = 0; }

  // One write of all of data.
  void Write(std::string_view data);
  // The next line, by the protocol's rules; TransportError when it is longer
  // than max_length or the connection ends first.
  std::string ReadLine(size_t max_length);
  // Up to size bytes as they arrive (at least one); 0 once the peer has
  // closed the connection in order. For bulk transfers.
  size_t ReadSome(char* out, size_t size);

 private:
  // Waits for and receives one more chunk into the buffer; raises when the
  // connection ends.
  void Fill();
  long ReceiveChunk(char* out, size_t size);
  void WaitUntil(bool readable);
  void CloseSocket();
  // The longest a wait may last: the slice, or less when a beat is due sooner.
  int Slice(int slice_ms) const;

  Heartbeat* heartbeat_;
  NetworkLimits limits_;
  Socket socket_;
  TrafficLog* log_ = nullptr;
  bool resolve_names_ = false;
  uint32_t address_ = 0;  // host order
  int64_t deadline_ = 0;  // steady milliseconds; 0: none
  std::string buffer_;
  size_t buffer_pos_ = 0;
};

}  // namespace ulmar
