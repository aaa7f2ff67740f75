#include "net/connection.h"

#include <algorithm>
#include <chrono>

#include "base/errors.h"
#include "base/text.h"

namespace ulmar {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsSince(Clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

Connection::Connection(Heartbeat* heartbeat, NetworkLimits limits) : heartbeat_(heartbeat), limits_(limits) {}

int Connection::Slice(int slice_ms) const {
  return heartbeat_ ? std::min(slice_ms, heartbeat_->MillisecondsUntilDue()) : slice_ms;
}

Connection::~Connection() { CloseSocket(); }

void Connection::Connect(const std::string& host, uint16_t port) {
  uint32_t address = 0;
  if (resolve_names_) {
    address = ResolveIpv4(host);
  } else if (!ParseIpv4(host, &address)) {
    throw TransportError(transport_text::kBadAddress);
  }
  CloseSocket();
  buffer_.clear();
  buffer_pos_ = 0;
  Socket socket = Socket::OpenTcp();
  if (!socket.StartConnect(address, port)) {
    Clock::time_point start = Clock::now();
    for (;;) {
      int left = limits_.connect_timeout_ms - MillisecondsSince(start);
      if (left <= 0) throw TransportError(transport_text::kConnectTimedOut);  // the socket closes with it
      bool ready = socket.WaitWritable(std::min(left, Slice(limits_.connect_slice_ms)));
      if (ready) {
        int error = socket.ConnectError();
        if (error != 0) throw TransportError(TransportErrorText(error));
        break;
      }
      Tick(heartbeat_);
    }
  }
  socket_ = std::move(socket);
  address_ = address;
  if (log_) log_->Connected();
}

std::string Connection::PeerAddress() const {
  if (address_ == 0) return std::string();
  return std::to_string(address_ >> 24) + "." + std::to_string((address_ >> 16) & 0xFF) + "." +
         std::to_string((address_ >> 8) & 0xFF) + "." + std::to_string(address_ & 0xFF);
}

bool Connection::Connected() {
  if (!socket_.IsOpen()) return false;
  try {
    // One look at what has arrived: an orderly close or a reset shows here.
    // Never more than one receive, so a peer that keeps sending cannot keep
    // the question (and the traffic log) going.
    if (socket_.WaitReadable(0)) ReceiveChunk(nullptr, 0);
  } catch (...) {
    CloseSocket();
  }
  return socket_.IsOpen();
}

void Connection::Disconnect() { CloseSocket(); }

bool Connection::WaitForData(int timeout_ms) {
  if (buffer_pos_ < buffer_.size()) return true;
  if (!socket_.IsOpen()) return false;
  try {
    return socket_.WaitReadable(timeout_ms);
  } catch (...) {
    return false;
  }
}

void Connection::CloseSocket() {
  if (!socket_.IsOpen()) return;
  socket_.Close();
  if (log_) {
    try {
      log_->Disconnected();
    } catch (...) {
      // A traffic log that cannot be written must not stop the close.
    }
  }
}

void Connection::SetDeadline(int ms) { deadline_ = SteadyMilliseconds() + ms; }

void Connection::WaitUntil(bool readable) {
  Clock::time_point start = Clock::now();
  const char* timed_out = readable ? transport_text::kReadTimedOut : transport_text::kWriteTimedOut;
  for (;;) {
    if (!socket_.IsOpen()) throw TransportError(transport_text::kNotConnected);
    // Checked before every wait, data or not: a peer that trickles faster
    // than the waits' slices still meets the deadline.
    if (deadline_ != 0 && SteadyMilliseconds() >= deadline_) throw TransportError(timed_out);
    int slice = Slice(limits_.wait_slice_ms);
    if (deadline_ != 0) {
      const int64_t left = deadline_ - SteadyMilliseconds();
      if (left < slice) slice = left > 0 ? static_cast<int>(left) : 0;
    }
    bool ready = readable ? socket_.WaitReadable(slice) : socket_.WaitWritable(slice);
    if (ready) return;
    Tick(heartbeat_);
    if (MillisecondsSince(start) >= limits_.inactivity_limit_ms) throw TransportError(timed_out);
  }
}

void Connection::Write(std::string_view data) {
  if (!socket_.IsOpen()) throw TransportError(transport_text::kNotConnected);
  if (log_) log_->Sent(data);
  while (!data.empty()) {
    long n;
    try {
      n = socket_.Send(data.data(), data.size());
    } catch (...) {
      CloseSocket();
      throw;
    }
    if (n < 0) {
      WaitUntil(false);
      continue;
    }
    data.remove_prefix(static_cast<size_t>(n));
    Tick(heartbeat_);
  }
}

// Receives one chunk from the socket, into out when given (bypassing the
// buffer), else onto the buffer. Returns the count, 0 after an orderly
// close (the connection is then closed), -1 when nothing was there.
long Connection::ReceiveChunk(char* out, size_t size) {
  long n;
  try {
    if (out) {
      n = socket_.Receive(out, size);
    } else {
      if (buffer_pos_ > 0 && buffer_pos_ * 2 >= buffer_.size()) {
        buffer_.erase(0, buffer_pos_);
        buffer_pos_ = 0;
      }
      size_t old_size = buffer_.size();
      buffer_.resize(old_size + kReceiveBlock);
      n = socket_.Receive(buffer_.data() + old_size, kReceiveBlock);
      buffer_.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
      out = buffer_.data() + old_size;
    }
  } catch (...) {
    CloseSocket();
    throw;
  }
  if (n == 0) {
    CloseSocket();
  } else if (n > 0) {
    if (log_) log_->Received(std::string_view(out, static_cast<size_t>(n)));
    Tick(heartbeat_);
  }
  return n;
}

void Connection::Fill() {
  for (;;) {
    WaitUntil(true);
    long n = ReceiveChunk(nullptr, 0);
    if (n > 0) return;
    if (n == 0) throw TransportError(transport_text::kConnectionClosed);
  }
}

std::string Connection::ReadLine(size_t max_length) {
  for (;;) {
    std::string line;
    size_t consumed = 0;
    LineStatus status = TakeLine(std::string_view(buffer_).substr(buffer_pos_), max_length, &line, &consumed);
    if (status == LineStatus::Complete) {
      buffer_pos_ += consumed;
      return line;
    }
    if (status == LineStatus::TooLong) throw TransportError(transport_text::kMaxLineLength);
    if (!socket_.IsOpen()) throw TransportError(transport_text::kConnectionClosed);
    Fill();
  }
}

size_t Connection::ReadSome(char* out, size_t size) {
  if (buffer_pos_ < buffer_.size()) {
    size_t n = std::min(size, buffer_.size() - buffer_pos_);
    std::copy_n(buffer_.data() + buffer_pos_, n, out);
    buffer_pos_ += n;
    return n;
  }
  for (bool waited = false;; waited = true) {
    if (!socket_.IsOpen()) return 0;
    // Data usually is there already during a transfer: ask for it first and
    // wait only when there is none (every wait costs a system call more).
    if (waited) WaitUntil(true);
    long n = ReceiveChunk(out, size);
    if (n >= 0) return static_cast<size_t>(n);
  }
}

}  // namespace ulmar
