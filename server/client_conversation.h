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

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "conversation.h"
#include "release.h"
#include "session_record.h"
#include "verdict.h"

namespace ulmar::server {

using Clock = std::chrono::steady_clock;

// How a conversation ended: fine, or failed with a reason (UTF-8).
struct Outcome {
  bool ok = true;
  std::string reason;
  // The log line's result: "ok", or "failed reason=\"...\"".
  std::string Text() const;
};
inline const Outcome kServed{};
Outcome Failed(std::string reason);

// The reply bytes that all conversations hold unsent, bounded across the
// workers: clients that never read their replies (each may be owed some
// 64 MiB of foreign names) cannot make the server hold without limit.
class ReplyBudget {
 public:
  explicit ReplyBudget(size_t limit) : limit_(limit) {}
  // False, taking nothing, when count more would pass the limit.
  bool Take(size_t count);
  void Give(size_t count) { used_ -= count; }
  size_t used() const { return used_; }

 private:
  const size_t limit_;
  std::atomic<size_t> used_{0};
};

class ClientConversation final : public InventorySink {
 public:
  enum class Phase { Reading, Answering, Waiting };

  // The budget, when given, is not owned; each reply is taken from it until
  // it has been sent.
  // keep_names: the verdict's names are kept (at most kMaxRecordedNames of
  // each list) for the conversation's record.
  ClientConversation(std::string peer, ReleaseStore& releases, const ConversationLimits& limits,
                     ReplyBudget* budget = nullptr, bool keep_names = false);
  ~ClientConversation();
  ClientConversation(const ClientConversation&) = delete;
  ClientConversation& operator=(const ClientConversation&) = delete;

  Phase phase() const { return phase_; }

  // The client's name in the log line and the record ("10.4.7.31:46232"),
  // when a load balancer's PROXY protocol header has said who it is.
  void SetPeer(std::string peer) { peer_ = std::move(peer); }

  // Takes bytes received from the client; false when the conversation
  // failed (failure() says why). Bytes after the inventory are ignored.
  bool Receive(std::string_view bytes);
  const std::string& failure() const { return failure_.empty() ? reader_.failure() : failure_; }
  // Whether the client sent anything at all (a port probe sends nothing).
  bool heard() const { return heard_; }

  // The bytes still to send, and how many of them went out.
  std::string_view Outgoing() const { return std::string_view(pending_).substr(sent_); }
  void Sent(size_t count);

  // The result when the client closed or reset the connection (why), or
  // when the connection broke: fine once the reply is out.
  Outcome ClientLeft(const std::string& why) const;
  Outcome ConnectionBroke() const;
  // The result to close with when nothing moved for longer than idle or
  // the conversation lasted longer than whole; nothing while it may go on.
  // A client that has not sent its identity within identity is closed too.
  std::optional<Outcome> Overstayed(Clock::time_point now, std::chrono::seconds idle,
                                        std::chrono::seconds whole, std::chrono::seconds identity) const;

  // The conversation's one log line.
  std::string LogLine(const Outcome& outcome) const;
  // What the fleet's records keep of it; names only when the conversation
  // was made with keep_names.
  SessionRecord Record(const Outcome& outcome) const;

 private:
  // The one place the phase changes.
  void NextPhase();
  // Keeps the first names of each verdict list for the record.
  void KeepNames(const ServerLists& lists);

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
  bool heard_ = false;
  std::string pending_;  // bytes to send
  size_t sent_ = 0;      // of them, already sent
  ReleaseStore& releases_;
  InventoryReader reader_;
  std::optional<VerdictBuilder> builder_;
  // Of the verdict its counts are kept, for the log line; its names leave
  // with the encoded reply, but for the few kept for the record.
  struct VerdictCounts {
    size_t ftp = 0, foreign = 0, new_sources = 0, deletions = 0;
    int32_t update = 0;
  };
  std::optional<VerdictCounts> counts_;
  bool keep_names_;
  SessionRecord names_;  // only its name lists are used
  ReplyBudget* budget_;
  size_t budgeted_ = 0;  // of the budget, held by this conversation's reply
  std::string failure_;
  std::optional<std::string> protocol_id_, suite_, user_;
  std::optional<std::string> release_suite_;  // the suite's folder name, once found
  std::optional<int32_t> file_count_, source_count_;
};

}  // namespace ulmar::server
