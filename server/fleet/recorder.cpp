#include "recorder.h"

#include <cstdio>
#include <random>

namespace ulmar::server::fleet {
namespace {

using SteadyClock = std::chrono::steady_clock;

// What a waiting record holds, roughly: its names and its fixed part.
size_t Weight(const SessionRecord& r) {
  size_t bytes = sizeof(StoredSession) + r.peer.size() + r.reason.size() + 64;
  for (const auto* names : {&r.drifted, &r.missing, &r.update_names, &r.foreign_names, &r.source_names,
                            &r.deletion_names}) {
    for (const std::string& name : *names) bytes += name.size() + sizeof(std::string);
  }
  return bytes;
}

std::string RandomHex() {
  std::random_device device;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", device(), device());
  return text;
}

}  // namespace

Recorder::Recorder(Opener open, std::string store_name, RecorderOptions options, Reporter report)
    : open_(std::move(open)),
      store_name_(std::move(store_name)),
      options_(std::move(options)),
      report_(std::move(report)),
      // Unique per server run: a record's key never meets another server's.
      key_prefix_(options_.server_name + ":" + RandomHex() + ":"),
      thread_([this] { Run(); }) {}

Recorder::~Recorder() { Stop(std::chrono::milliseconds(0)); }

void Recorder::Record(SessionRecord record) {
  size_t weight = Weight(record);
  std::lock_guard lock(mutex_);
  if (stopping_ || queued_bytes_ + weight > options_.max_queued_bytes) {
    ++dropped_;
    return;
  }
  queued_bytes_ += weight;
  queue_.push_back(
      {weight, StoredSession{key_prefix_ + std::to_string(++sequence_), options_.server_name, std::move(record)}});
  ++enqueued_;
  // The writer waits for the first record, then for a full batch.
  if (queue_.size() == 1 || queue_.size() >= options_.batch) wake_.notify_one();
}

void Recorder::Stop(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      stopping_ = true;
      stop_deadline_ = SteadyClock::now() + grace;
    }
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

bool Recorder::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  uint64_t target = enqueued_;
  return written_.wait_for(lock, timeout, [&] { return finished_ >= target; });
}

Recorder::Counters Recorder::counters() const {
  std::lock_guard lock(mutex_);
  return Counters{written_count_.load(), dropped_.load(), enqueued_ - finished_};
}

void Recorder::Run() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      // Wakes for records, for a stop, and now and then to prune.
      wake_.wait_for(lock, std::chrono::minutes(1),
                     [&] { return stopping_ || !queue_.empty() || !batch_.empty() || !db_; });
      if (stopping_ && ((queue_.empty() && batch_.empty()) || SteadyClock::now() >= stop_deadline_)) break;
      if (!stopping_ && db_ && batch_.empty() && queue_.size() < options_.batch) {
        wake_.wait_for(lock, options_.gather, [&] { return stopping_ || queue_.size() >= options_.batch; });
      }
      while (batch_.size() < options_.batch && !queue_.empty()) {
        queued_bytes_ -= queue_.front().weight;
        batch_.push_back(std::move(queue_.front().session));
        queue_.pop_front();
      }
    }
    ReportDropped();
    if (!db_ && !Connect()) {
      Rest();
      continue;
    }
    if (SteadyClock::now() >= next_prune_) Prune();
    if (!batch_.empty() && !WriteBatch()) {
      Rest();
      continue;
    }
  }
  uint64_t left = 0;
  {
    std::lock_guard lock(mutex_);
    left = queue_.size() + batch_.size();
    queue_.clear();
    queued_bytes_ = 0;
    batch_.clear();
    finished_ = enqueued_;
    dropped_ += left;
  }
  written_.notify_all();
  if (left) report_("fleet store: " + std::to_string(left) + " records not written at the stop");
  ReportDropped(true);
  db_.reset();
}

bool Recorder::Connect() {
  try {
    db_ = open_();
    int version = Migrate(*db_);
    report_("fleet store: recording into " + store_name_ + " (schema version " + std::to_string(version) + ")");
    reported_down_ = false;
    return true;
  } catch (const StoreError& e) {
    db_.reset();
    if (!reported_down_) {
      report_("fleet store: cannot reach " + store_name_ + ": " + e.what() + "; records wait (up to " +
              std::to_string(options_.max_queued_bytes >> 20) + " MiB) and are written once it is back");
      reported_down_ = true;
    }
    return false;
  }
}

bool Recorder::WriteBatch() {
  auto finished = [this](uint64_t written, uint64_t dropped) {
    // Counted together under the lock: the counters never show a batch
    // both written and still queued.
    std::lock_guard lock(mutex_);
    written_count_ += written;
    dropped_ += dropped;
    finished_ += written + dropped;
    written_.notify_all();
  };
  auto lost = [this](const StoreError& e) {
    if (!reported_down_) {
      report_("fleet store: " + store_name_ + " went away: " + e.what() + "; records wait (up to " +
              std::to_string(options_.max_queued_bytes >> 20) + " MiB) and are written once it is back");
      reported_down_ = true;
    }
    db_.reset();
    return false;
  };
  try {
    WriteSessions(*db_, batch_);
    finished(batch_.size(), 0);
    batch_.clear();
    return true;
  } catch (const StoreError& e) {
    if (e.lost() || !db_->Alive()) return lost(e);
  }
  // The store refused the batch: one record at a time, so one bad record
  // costs only itself.
  size_t done = 0;
  for (; done < batch_.size(); ++done) {
    try {
      WriteSessions(*db_, {batch_[done]});
      finished(1, 0);
    } catch (const StoreError& e) {
      if (e.lost() || !db_->Alive()) {
        batch_.erase(batch_.begin(), batch_.begin() + static_cast<std::ptrdiff_t>(done));
        return lost(e);
      }
      report_("fleet store: the record of " + batch_[done].record.peer + " was refused: " + e.what());
      finished(0, 1);
    }
  }
  batch_.clear();
  return true;
}

void Recorder::Prune() {
  next_prune_ = SteadyClock::now() + std::chrono::hours(1);
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch()).count();
  try {
    int64_t removed = PruneBefore(*db_, now - options_.retention_days * 86400);
    if (removed) {
      report_("fleet store: pruned " + std::to_string(removed) + " sessions older than " +
              std::to_string(options_.retention_days) + " days");
    }
  } catch (const StoreError& e) {
    // Tried again at the next hour; a store that went away shows at the
    // next write.
    report_(std::string("fleet store: pruning failed: ") + e.what());
    next_prune_ = SteadyClock::now() + std::chrono::minutes(1);
  }
}

void Recorder::ReportDropped(bool now) {
  uint64_t dropped = dropped_.load();
  if (dropped == dropped_reported_) return;
  // At most one line every ten seconds while records keep being dropped.
  if (!now && SteadyClock::now() < next_drop_report_) return;
  next_drop_report_ = SteadyClock::now() + std::chrono::seconds(10);
  report_("fleet store: " + std::to_string(dropped - dropped_reported_) +
          " records dropped (the queue for the store was full); " + std::to_string(dropped) + " in all");
  dropped_reported_ = dropped;
}

void Recorder::Rest() {
  std::unique_lock lock(mutex_);
  auto until = SteadyClock::now() + options_.retry;
  if (stopping_ && stop_deadline_ < until) until = stop_deadline_;
  // Records arriving meanwhile do not wake it: only a stop does.
  wake_.wait_until(lock, until, [&] { return stopping_ && SteadyClock::now() >= stop_deadline_; });
}

}  // namespace ulmar::server::fleet
