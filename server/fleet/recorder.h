// The recorder: takes each conversation's record from the server's
// workers without ever making them wait, and writes the records to the
// store on a thread of its own, in batched transactions.
//
// Records wait in a bounded queue. When the store is slow or gone they
// wait up to the bound; past it new records are counted as dropped and
// the log says so. A batch that failed because the store went away is
// written again once it is back (a batch's records are written once, even
// when the commit's answer was lost). History older than the retention
// period is pruned once an hour.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "database.h"
#include "fleet_store.h"
#include "session_record.h"

namespace ulmar::server::fleet {

struct RecorderOptions {
  // The bytes records may take while they wait for the store.
  size_t max_queued_bytes = 64u << 20;
  size_t batch = 500;
  // How long the writer gathers records for a batch that is not full: a
  // few larger transactions cost the store far less than many small ones.
  std::chrono::milliseconds gather{250};
  int64_t retention_days = 90;
  // Between attempts to reach a store that is gone.
  std::chrono::milliseconds retry{1000};
  // Written with every record: which server served the conversation.
  std::string server_name;
};

class Recorder final : public SessionSink {
 public:
  using Opener = std::function<std::unique_ptr<Database>()>;
  using Reporter = std::function<void(const std::string& utf8_line)>;

  // store_name names the store in the log; open connects to it afresh.
  Recorder(Opener open, std::string store_name, RecorderOptions options, Reporter report);
  ~Recorder() override;

  // Never blocks on the store: the record is queued or, when the queue is
  // full, dropped and counted.
  void Record(SessionRecord record) override;

  // Writes what is queued for at most the grace period, then ends the
  // writer; records still waiting are counted as dropped and logged.
  void Stop(std::chrono::milliseconds grace);

  // Waits until everything queued so far is written, at most timeout;
  // false when it was not (the store is gone).
  bool Flush(std::chrono::milliseconds timeout);

  struct Counters {
    uint64_t written = 0, dropped = 0, queued = 0;
  };
  Counters counters() const;

 private:
  void Run();
  // Connects and migrates; false (reported) when the store cannot be had.
  bool Connect();
  // Writes the batch; what could not be written, for a refused record, is
  // dropped. False when the store went away (the batch is kept).
  bool WriteBatch();
  void Prune();
  // Logs records dropped since the last report; now: even within ten
  // seconds of it.
  void ReportDropped(bool now = false);
  // Waits the retry period or until stopped.
  void Rest();

  Opener open_;
  std::string store_name_;
  RecorderOptions options_;
  Reporter report_;
  std::string key_prefix_;
  uint64_t sequence_ = 0;  // under mutex_

  mutable std::mutex mutex_;
  std::condition_variable wake_, written_;
  struct Waiting {
    size_t weight;  // of queued_bytes_
    StoredSession session;
  };
  std::deque<Waiting> queue_;
  size_t queued_bytes_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_deadline_;
  std::atomic<uint64_t> written_count_{0}, dropped_{0};
  uint64_t enqueued_ = 0;  // under mutex_; records handed over so far
  uint64_t finished_ = 0;  // under mutex_; of them, written or dropped

  // The writer's own.
  std::unique_ptr<Database> db_;
  std::vector<StoredSession> batch_;
  bool reported_down_ = false;
  uint64_t dropped_reported_ = 0;
  std::chrono::steady_clock::time_point next_drop_report_{};
  std::chrono::steady_clock::time_point next_prune_{};
  std::thread thread_;  // last: starts once everything it uses is ready
};

}  // namespace ulmar::server::fleet
