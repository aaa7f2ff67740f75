#include "client_conversation.h"

#include <memory>

#include "base/cp1251.h"
#include "wire/elements.h"
#include "server_log.h"
#include "text.h"

namespace ulmar::server {

std::string Failed(const std::string& reason) { return "failed reason=" + Quoted(reason); }

bool ReplyBudget::Take(size_t count) {
  size_t used = used_.load();
  do {
    if (count > limit_ || used > limit_ - count) return false;
  } while (!used_.compare_exchange_weak(used, used + count));
  return true;
}

ClientConversation::ClientConversation(std::string peer, ReleaseStore& releases, const ConversationLimits& limits,
                                       ReplyBudget* budget)
    : peer_(std::move(peer)),
      started_(Clock::now()),
      last_progress_(started_),
      releases_(releases),
      reader_(*this, limits),
      budget_(budget) {}

ClientConversation::~ClientConversation() {
  if (budget_ && budgeted_) budget_->Give(budgeted_);
}

void ClientConversation::NextPhase() {
  switch (phase_) {
    case Phase::Reading:
      // The inventory is complete and the verdict queued behind the answer
      // to the opening.
      if (counts_) phase_ = Phase::Answering;
      break;
    case Phase::Answering:
      if (pending_.empty()) phase_ = Phase::Waiting;
      break;
    case Phase::Waiting:
      break;
  }
}

bool ClientConversation::Receive(std::string_view bytes) {
  last_progress_ = Clock::now();
  if (phase_ != Phase::Reading) return true;  // nothing more is expected from the client
  switch (reader_.Feed(bytes)) {
    case InventoryReader::Result::NeedMore:
      return true;
    case InventoryReader::Result::Failed:
      return false;
    case InventoryReader::Result::Done:
      break;
  }
  {
    ServerLists lists = builder_->Finish();
    builder_.reset();
    std::string reply = wire::EncodeServerLists(lists);
    if (budget_) {
      if (!budget_->Take(reply.size())) {
        failure_ = "the server holds too many unsent replies";
        return false;
      }
      budgeted_ = reply.size();
    }
    counts_ = VerdictCounts{lists.FtpServers.size(), lists.ForeignFiles.size(), lists.NewDataSources.size(),
                            lists.FilesToDelete.size(), lists.UpdateCount};
    pending_ += reply;
  }
  NextPhase();
  return true;
}

void ClientConversation::Sent(size_t count) {
  last_progress_ = Clock::now();
  sent_ += count;
  if (sent_ == pending_.size()) {
    pending_.clear();
    pending_.shrink_to_fit();
    sent_ = 0;
    if (budget_ && budgeted_) {
      budget_->Give(budgeted_);
      budgeted_ = 0;
    }
  }
  NextPhase();
}

std::string ClientConversation::ClientLeft(const std::string& why) const {
  if (phase_ == Phase::Waiting) return "ok";
  return Failed(why + (phase_ == Phase::Reading ? " during the inventory" : " during the reply"));
}

std::string ClientConversation::ConnectionBroke() const {
  return phase_ == Phase::Waiting ? "ok" : Failed("the connection broke");
}

std::optional<std::string> ClientConversation::Overstayed(Clock::time_point now, std::chrono::seconds idle,
                                                          std::chrono::seconds whole,
                                                          std::chrono::seconds identity) const {
  if (!user_ && now - started_ > identity) {
    return Failed("no opening and identity within " + std::to_string(identity.count()) + " s");
  }
  if (now - last_progress_ > idle) {
    return phase_ == Phase::Waiting ? "ok" : Failed("idle for " + std::to_string(idle.count()) + " s");
  }
  if (now - started_ > whole) return Failed("longer than " + std::to_string(whole.count()) + " s");
  return std::nullopt;
}

std::string ClientConversation::LogLine(const std::string& result) const {
  std::string line = LogTime() + " peer=" + peer_;
  if (protocol_id_ && !SameTextCp1251(*protocol_id_, wire::kProtocolId)) line += " protocol=" + Quoted(*protocol_id_);
  line += " suite=" + (suite_ ? Quoted(*suite_) : std::string("-"));
  line += " user=" + (user_ ? Quoted(*user_) : std::string("-"));
  line += " files=" + (file_count_ ? std::to_string(*file_count_) : std::string("-"));
  line += " sources=" + (source_count_ ? std::to_string(*source_count_) : std::string("-"));
  if (counts_) {
    line += " ftp=" + std::to_string(counts_->ftp) + " foreign=" + std::to_string(counts_->foreign) +
            " update=" + std::to_string(counts_->update) + " new_sources=" + std::to_string(counts_->new_sources) +
            " delete=" + std::to_string(counts_->deletions);
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
  return line + " ms=" + std::to_string(ms) + " result=" + result;
}

void ClientConversation::OnOpening(const std::string& protocol_id) {
  protocol_id_ = protocol_id;
  pending_ += wire::EncodeLine(wire::kProtocolId);
}

std::string ClientConversation::OnSuite(const std::string& suite) {
  suite_ = suite;
  std::shared_ptr<const Release> release = releases_.Find(suite);
  if (!release) return "unknown suite code";
  builder_.emplace(std::move(release));
  return "";
}

}  // namespace ulmar::server
