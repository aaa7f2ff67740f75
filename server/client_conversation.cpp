#include "client_conversation.h"

#include <memory>

#include "base/cp1251.h"
#include "wire/elements.h"
#include "server_log.h"
#include "text.h"

namespace ulmar::server {

std::string Outcome::Text() const { return ok ? "ok" : "failed reason=" + Quoted(reason); }

Outcome Failed(std::string reason) { return Outcome{false, std::move(reason)}; }

bool ReplyBudget::Take(size_t count) {
  size_t used = used_.load();
  do {
    if (count > limit_ || used > limit_ - count) return false;
  } while (!used_.compare_exchange_weak(used, used + count));
  return true;
}

ClientConversation::ClientConversation(std::string peer, ReleaseStore& releases, const ConversationLimits& limits,
                                       ReplyBudget* budget, bool keep_names)
    : peer_(std::move(peer)),
      started_(Clock::now()),
      last_progress_(started_),
      releases_(releases),
      reader_(*this, limits),
      keep_names_(keep_names),
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
  if (!bytes.empty()) heard_ = true;
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
    if (keep_names_) KeepNames(lists);
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

void ClientConversation::KeepNames(const ServerLists& lists) {
  size_t bytes = 0;
  auto keep = [&bytes](std::vector<std::string>& to, const std::string& name) {
    if (to.size() >= kMaxRecordedNames || bytes + name.size() > kMaxRecordedNameBytes) return;
    bytes += name.size();
    to.push_back(name);
  };
  for (const std::string& name : builder_->drifted()) keep(names_.drifted, name);
  for (const std::string& name : builder_->missing()) keep(names_.missing, name);
  // Files to update come in pairs: remote path, then the client's local path.
  for (size_t i = 1; i < lists.FilesToUpdate.size(); i += 2) keep(names_.update_names, lists.FilesToUpdate[i]);
  for (const std::string& name : lists.ForeignFiles) keep(names_.foreign_names, name);
  for (const TDBAlias& source : lists.NewDataSources) keep(names_.source_names, source.Name);
  for (const std::string& name : lists.FilesToDelete) keep(names_.deletion_names, name);
}

Outcome ClientConversation::ClientLeft(const std::string& why) const {
  if (phase_ == Phase::Waiting) return kServed;
  return Failed(why + (phase_ == Phase::Reading ? " during the inventory" : " during the reply"));
}

Outcome ClientConversation::ConnectionBroke() const {
  return phase_ == Phase::Waiting ? kServed : Failed("the connection broke");
}

std::optional<Outcome> ClientConversation::Overstayed(Clock::time_point now, std::chrono::seconds idle,
                                                          std::chrono::seconds whole,
                                                          std::chrono::seconds identity) const {
  if (!user_ && now - started_ > identity) {
    return Failed("no opening and identity within " + std::to_string(identity.count()) + " s");
  }
  if (now - last_progress_ > idle) {
    return phase_ == Phase::Waiting ? kServed : Failed("idle for " + std::to_string(idle.count()) + " s");
  }
  if (now - started_ > whole) return Failed("longer than " + std::to_string(whole.count()) + " s");
  return std::nullopt;
}

std::string ClientConversation::LogLine(const Outcome& outcome) const {
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
  return line + " ms=" + std::to_string(ms) + " result=" + outcome.Text();
}

SessionRecord ClientConversation::Record(const Outcome& outcome) const {
  SessionRecord record = keep_names_ ? names_ : SessionRecord{};
  record.time = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch()).count();
  record.peer = peer_;
  record.address = peer_.substr(0, peer_.rfind(':'));
  // An IPv6 peer is "[2001:db8::7]:46232"; its address goes without the brackets.
  if (record.address.size() > 2 && record.address.front() == '[' && record.address.back() == ']') {
    record.address = record.address.substr(1, record.address.size() - 2);
  }
  record.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
  // The release's spelling: "student" and "STUDENT" are one suite.
  record.suite = release_suite_ ? release_suite_ : suite_;
  record.user = user_;
  record.files = file_count_;
  record.sources = source_count_;
  if (counts_) {
    record.has_verdict = true;
    record.update = counts_->update;
    record.foreign = counts_->foreign;
    record.new_sources = counts_->new_sources;
    record.deletions = counts_->deletions;
  }
  record.ok = outcome.ok;
  record.reason = outcome.reason;
  return record;
}

void ClientConversation::OnOpening(const std::string& protocol_id) {
  protocol_id_ = protocol_id;
  pending_ += wire::EncodeLine(wire::kProtocolId);
}

std::string ClientConversation::OnSuite(const std::string& suite) {
  suite_ = suite;
  std::shared_ptr<const Release> release = releases_.Find(suite);
  if (!release) return "unknown suite code";
  release_suite_ = release->suite;
  builder_.emplace(std::move(release));
  return "";
}

}  // namespace ulmar::server
