// The program's error types. Every failure is an exception; the handlers of
// the session tell the families apart by type and read only the message.
#pragma once

#include <exception>
#include <string>

namespace ulmar {

// The general error type: a message and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// An error the operator is told about in two layers: what failed (the summary)
// and the precise cause (the detail). The message is "Summary (Detail)".
class MException : public Exception {
 public:
  MException(std::string summary, std::string detail)
      : Exception(summary + " (" + detail + ")"),
        summary_(std::move(summary)),
        detail_(std::move(detail)) {}
  const std::string& Summary() const { return summary_; }
  const std::string& Detail() const { return detail_; }

 private:
  std::string summary_;
  std::string detail_;
};

// A file operation failed; the message is the system's text for the cause.
class InOutError : public Exception {
 public:
  using Exception::Exception;
};

// The network layer failed: refused, timed out, closed, reset, line too long.
class TransportError : public Exception {
 public:
  using Exception::Exception;
};

// A registry value could not be read or written.
class RegistryError : public Exception {
 public:
  using Exception::Exception;
};

// The database engine's alias configuration failed.
class EngineError : public Exception {
 public:
  using Exception::Exception;
};

// An FTP failure: anything on the network side of a transfer (refused or
// broken connections, time-outs, negative replies, a refused log-in). For a
// negative reply the message is the reply's text. The local side of a
// transfer fails with InOutError.
class FtpError : public Exception {
 public:
  using Exception::Exception;
};

// The text the application's default error display shows for a message: a
// full stop is appended unless the message is empty or its last character
// sorts at or before the full stop in the code page (".", "!", a blank...).
std::string DefaultErrorText(const std::string& message);

}  // namespace ulmar
