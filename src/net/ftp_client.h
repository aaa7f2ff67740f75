// Our FTP client (RFC 959) over the network layer: port 21, passive mode,
// binary type, automatic log-in. The control connection is written to the
// FTP traffic log from its first byte; data connections are not logged.
// Failures on the network side raise FtpError; what the sink of a transfer
// raises passes through unchanged. It knows nothing of files: a retrieved
// file's bytes go to a sink the caller gives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "log/traffic_log.h"
#include "net/connection.h"
#include "net/ftp_reply.h"

namespace ulmar {

// Where the bytes of a retrieved file go, in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Raises to abandon the transfer.
  virtual void Write(std::string_view bytes) = 0;
};

// What a transfer below the floor of net/limits.h fails with.
inline constexpr char kTransferTooSlow[] = "Transfer too slow.";

class FtpClient {
 public:
  static constexpr uint16_t kPort = 21;
  static constexpr size_t kReceiveBlock = 1024 * 1024;

  // The heartbeat and the log, when given, are not owned.
  FtpClient(Heartbeat* heartbeat, TrafficLog* log, NetworkLimits limits = {});

  void SetLogin(const std::string& host, const std::string& user, const std::string& password);
  void UsePort(uint16_t port) { port_ = port; }
  // Connects, reads the greeting (220), logs in, asks for the features,
  // sets binary type, asks for the system type. Any failure closes the
  // control connection before it is raised.
  void Connect();
  bool Connected();
  // "CWD path": 200 or 250.
  void ChangeDirectory(const std::string& path);
  // "RETR remote_name" over a passive data connection (to the port the PASV
  // reply names, on the control connection's address): every byte goes to
  // sink, and the call returns once the server's final reply says the
  // transfer is complete. The sink must not take the bytes for good before
  // then: a failure after the last byte is still a failure.
  void Retrieve(const std::string& remote_name, ByteSink& sink);
  // Sends QUIT while connected (its answer read only if it begins within
  // 10 ms, and then within the limit of every reply), then closes. Raises
  // FtpError when that fails.
  void Disconnect();

 private:
  FtpReply Command(const std::string& line);
  // One whole reply, within limit_ms however it trickles in.
  FtpReply ReadReply(int limit_ms);
  FtpReply ReadReply() { return ReadReply(reply_limit_ms_); }
  // A reply whose code is not among the expected ones becomes an FtpError
  // with the reply's text.
  static void Expect(const FtpReply& reply, std::initializer_list<int> codes);
  void ReceiveData(Connection& data, ByteSink& sink);

  Heartbeat* heartbeat_;
  TrafficLog* log_;
  NetworkLimits limits_;
  int reply_limit_ms_;
  Connection control_;
  FtpReplyParser parser_;
  std::string host_, user_, password_;
  uint16_t port_ = kPort;
};

// Parses the address of a 227 reply: the six numbers inside parentheses,
// or after the reply's last blank. Raises FtpError when they are missing
// or out of range.
void ParsePassiveReply(const std::string& text, std::string* host, uint16_t* port);

}  // namespace ulmar
