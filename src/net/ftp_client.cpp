#include "net/ftp_client.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "base/errors.h"
#include "base/text.h"

namespace ulmar {
namespace {

NetworkLimits ControlLimits(NetworkLimits limits) {
  limits.connect_timeout_ms = limits::kFtpConnectTimeoutMs;
  limits.inactivity_limit_ms = std::min(limits.inactivity_limit_ms, limits::kFtpReplyTimeoutMs);
  return limits;
}

}  // namespace

void ParsePassiveReply(const std::string& text, std::string* host, uint16_t* port) {
  std::string numbers;
  size_t open = text.find('(');
  size_t close = open == std::string::npos ? std::string::npos : text.find(')', open);
  if (open != std::string::npos && close != std::string::npos) {
    numbers = text.substr(open + 1, close - open - 1);
  } else {
    size_t blank = text.find_last_of(' ');
    numbers = blank == std::string::npos ? text : text.substr(blank + 1);
  }
  // Whatever follows the sixth number is not looked at.
  unsigned char values[6];
  if (ParseByteNumbers(numbers, ',', values, 6) == std::string_view::npos) {
    throw FtpError("Invalid PASV reply: " + text);
  }
  *host = std::to_string(values[0]) + "." + std::to_string(values[1]) + "." + std::to_string(values[2]) + "." +
          std::to_string(values[3]);
  *port = static_cast<uint16_t>(values[4] * 256 + values[5]);
}

FtpClient::FtpClient(Heartbeat* heartbeat, TrafficLog* log, NetworkLimits limits)
    : heartbeat_(heartbeat),
      log_(log),
      limits_(limits),
      reply_limit_ms_(ControlLimits(limits).inactivity_limit_ms),
      control_(heartbeat, ControlLimits(limits)) {
  control_.ResolveNames();
  control_.AttachLog(log_);
}

void FtpClient::SetLogin(const std::string& host, const std::string& user, const std::string& password) {
  host_ = host;
  user_ = user;
  password_ = password;
}

FtpReply FtpClient::ReadReply(int limit_ms) {
  control_.SetDeadline(limit_ms);
  try {
    for (;;) {
      if (parser_.Feed(control_.ReadLine(FtpReplyParser::kMaxReplySize))) {
        control_.ClearDeadline();
        return parser_.Take();
      }
    }
  } catch (const TransportError& e) {
    control_.ClearDeadline();
    parser_.Take();
    throw FtpError(e.Message());
  } catch (...) {
    control_.ClearDeadline();
    throw;
  }
}

FtpReply FtpClient::Command(const std::string& line) {
  try {
    control_.Write(line + "\r\n");
  } catch (const TransportError& e) {
    throw FtpError(e.Message());
  }
  return ReadReply();
}

void FtpClient::Expect(const FtpReply& reply, std::initializer_list<int> codes) {
  for (int code : codes) {
    if (reply.code == code) return;
  }
  throw FtpError(reply.Text());
}

void FtpClient::Connect() {
  parser_.Take();  // nothing of an earlier server's replies carries over
  try {
    try {
      control_.Connect(host_, port_);
    } catch (const TransportError& e) {
      throw FtpError(e.Message());
    }
    Expect(ReadReply(), {220});
    FtpReply user = Command("USER " + user_);
    if (user.code == 331) {
      Expect(Command("PASS " + password_), {230});
    } else {
      Expect(user, {230, 232});
    }
    Command("FEAT");
    Expect(Command("TYPE I"), {200});
    Command("SYST");
  } catch (...) {
    control_.Disconnect();
    throw;
  }
}

bool FtpClient::Connected() { return control_.Connected(); }

void FtpClient::ChangeDirectory(const std::string& path) { Expect(Command("CWD " + path), {200, 250}); }

void FtpClient::Retrieve(const std::string& remote_name, ByteSink& sink) {
  std::string host;
  uint16_t port = 0;
  FtpReply pasv = Command("PASV");
  Expect(pasv, {227});
  ParsePassiveReply(pasv.Text(), &host, &port);
  NetworkLimits data_limits = limits_;
  data_limits.connect_timeout_ms = limits::kFtpConnectTimeoutMs;
  Connection data(heartbeat_, data_limits);
  try {
    // The reply's port, on the server already connected to: the address the
    // reply names is not followed (a server could send the client to any
    // other host, fetch from there, or learn what the client can reach).
    data.Connect(control_.PeerAddress(), port);
  } catch (const TransportError& e) {
    throw FtpError(e.Message());
  }
  Expect(Command("RETR " + remote_name), {125, 150, 154});
  ReceiveData(data, sink);
  // Every byte went to the sink; close before the final reply.
  data.Disconnect();
  Expect(ReadReply(), {226, 225, 250});
}

// Hands every byte of the data connection to the sink until the server
// closes it. Large receives: under Wine every small one is expensive.
void FtpClient::ReceiveData(Connection& data, ByteSink& sink) {
  std::unique_ptr<char[]> block(new char[kReceiveBlock]);
  int64_t window_start = SteadyMilliseconds();
  int64_t window_bytes = 0;
  for (bool more = true; more;) {
    // Fill the block before writing it: fewer, larger writes.
    size_t filled = 0;
    while (filled < kReceiveBlock) {
      size_t n;
      try {
        n = data.ReadSome(block.get() + filled, kReceiveBlock - filled);
      } catch (const TransportError& e) {
        throw FtpError(e.Message());
      }
      if (n == 0) {
        more = false;
        break;
      }
      filled += n;
      window_bytes += static_cast<int64_t>(n);
      if (SteadyMilliseconds() - window_start >= limits_.transfer_floor_window_ms) {
        if (window_bytes < limits_.transfer_floor_bytes) throw FtpError(kTransferTooSlow);
        window_start = SteadyMilliseconds();
        window_bytes = 0;
      }
    }
    if (filled > 0) {
      sink.Write(std::string_view(block.get(), filled));
      Tick(heartbeat_);
    }
  }
}

void FtpClient::Disconnect() {
  if (!control_.Connected()) return;
  try {
    control_.Write("QUIT\r\n");
    if (control_.WaitForData(limits::kFtpQuitAnswerMs)) {
      ReadReply();
    }
  } catch (const TransportError& e) {
    control_.Disconnect();
    throw FtpError(e.Message());
  } catch (...) {
    control_.Disconnect();
    throw;
  }
  control_.Disconnect();
}

}  // namespace ulmar
