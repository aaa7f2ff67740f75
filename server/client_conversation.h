// One client's conversation as the server drives it, from accept to close,
// free of I/O: the bytes received go in, the bytes to send come out, and
// the phase says what the server waits for:
//
//   Reading    the opening, identity and inventory; the answer to the
//              opening goes out meanwhile
//   Answering  the inventory is complete; the verdict is going out
//   Waiting    the reply is out; the client reads it and closes
//
// It also words the conversation's one log line and the result it ends
// with, which depends on the phase it ended in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "conversation.h"
#include "release.h"
#include "verdict.h"

namespace ulmar::server {

using Clock = std::chrono::steady_clock;

// The log line's result of a conversation that failed.
std::string Failed(const std::string& reason);

class ClientConversation final : public InventorySink {
 public:
  enum class Phase { Reading, Answering, Waiting };

  ClientConversation(std::string peer, ReleaseStore& releases, const ConversationLimits& limits);

  Phase phase() const { return phase_; }

  // Takes bytes received from the client; false when the conversation
  // failed (failure() says why). Bytes after the inventory are ignored.
  bool Receive(std::string_view bytes);
  const std::string& failure() const { return reader_.failure(); }

  // The bytes still to send, and how many of them went out.
  std::string_view Outgoing() const { return std::string_view(pending_).substr(sent_); }
  void Sent(size_t count);

  // The result when the client closed or reset the connection (why), or
  // when the connection broke: fine once the reply is out.
  std::string ClientLeft(const std::string& why) const;
  std::string ConnectionBroke() const;
  // The result to close with when nothing moved for longer than idle or
  // the conversation lasted longer than whole; nothing while it may go on.
  // A client that has not sent its identity within identity is closed too.
  std::optional<std::string> Overstayed(Clock::time_point now, std::chrono::seconds idle,
                                        std::chrono::seconds whole, std::chrono::seconds identity) const;

  // The conversation's one log line.
  std::string LogLine(const std::string& result) const;

 private:
  // The one place the phase changes.
  void NextPhase();

  void OnOpening(const std::string& protocol_id) override;
  std::string OnSuite(const std::string& suite) override;
  void OnUser(const std::string& user) override { user_ = user; }
  void OnFileCount(int32_t count) override { file_count_ = count; }
  void OnFile(uint32_t crc, const std::string& name) override { builder_->AddFile(crc, name); }
  void OnDataSourceCount(int32_t count) override { source_count_ = count; }
  void OnDataSource(const TDBAlias& source) override { builder_->AddDataSource(source); }

  std::string peer_;
  Clock::time_point started_;
  Clock::time_point last_progress_;  // the last byte received or sent
  Phase phase_ = Phase::Reading;
  std::string pending_;  // bytes to send
  size_t sent_ = 0;      // of them, already sent
  ReleaseStore& releases_;
  InventoryReader reader_;
  std::optional<VerdictBuilder> builder_;
  std::optional<ServerLists> lists_;
  std::optional<std::string> protocol_id_, suite_, user_;
  std::optional<int32_t> file_count_, source_count_;
};

}  // namespace ulmar::server
