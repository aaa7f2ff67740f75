// The recorder between the server's workers and the store: records wait
// while the store is gone and are written once it is back, a full queue
// drops and says so, a record the store refuses costs only itself, and a
// stop writes what it can. Against SQLite behind a switch that takes the
// store away, and against a real PostgreSQL server stopped mid-run.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "fleet_test_support.h"
#include "recorder.h"

namespace ulmar::server::fleet {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// The recorder's log lines, and a wait for one to come.
class LogLines {
 public:
  Recorder::Reporter Reporter() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      text_ += line + "\n";
      grew_.notify_all();
    };
  }
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  // False when the text did not come within a minute.
  bool WaitFor(const std::string& part) {
    std::unique_lock lock(mutex_);
    return grew_.wait_for(lock, std::chrono::minutes(1), [&] { return text_.find(part) != std::string::npos; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable grew_;
  std::string text_;
};

// A store that can be taken away (every statement fails as if the
// connection were gone, and no connection can be made) and that refuses
// any statement carrying a given text.
struct Switch {
  std::atomic<bool> down{false};
  std::string refused;  // set before the recorder starts
};

class SwitchedDatabase final : public Database {
 public:
  SwitchedDatabase(std::unique_ptr<Database> inner, Switch& s) : inner_(std::move(inner)), switch_(s) {}
  Kind kind() const override { return inner_->kind(); }
  Table Run(const std::string& sql, const std::vector<Value>& params) override {
    if (switch_.down) throw StoreError("the store is gone", true);
    for (const Value& v : params) {
      if (!switch_.refused.empty() && AsText(v) == switch_.refused) throw StoreError("value refused", false);
    }
    return inner_->Run(sql, params);
  }
  void Script(const std::string& sql) override {
    if (switch_.down) throw StoreError("the store is gone", true);
    inner_->Script(sql);
  }
  bool Alive() override { return !switch_.down && inner_->Alive(); }

 private:
  std::unique_ptr<Database> inner_;
  Switch& switch_;
};

class RecorderTest : public ::testing::Test {
 protected:
  Recorder::Opener Switched() {
    return [this]() -> std::unique_ptr<Database> {
      if (switch_.down) throw StoreError("cannot connect", true);
      return std::make_unique<SwitchedDatabase>(store_(), switch_);
    };
  }
  std::unique_ptr<Recorder> Start(size_t max_bytes = 64u << 20) {
    RecorderOptions options;
    options.max_queued_bytes = max_bytes;
    options.retry = 10ms;
    options.server_name = "test";
    return std::make_unique<Recorder>(Switched(), "the test store", options, log_.Reporter());
  }
  std::string Log() { return log_.Text(); }
  int64_t Sessions() { return AsInt(store_()->Run("SELECT COUNT(*) FROM sessions").rows[0][0]); }

  Switch switch_;
  std::function<std::unique_ptr<Database>()> store_ = FreshSqlite();
  LogLines log_;
};

TEST_F(RecorderTest, RecordsWaitWhileTheStoreIsGoneAndAreWrittenOnceWhenItIsBack) {
  auto recorder = Start();
  recorder->Record(Served("STUDENT", "u0", 1000));
  ASSERT_TRUE(recorder->Flush(30s));
  switch_.down = true;
  for (int i = 1; i <= 50; ++i) recorder->Record(Served("STUDENT", "u" + std::to_string(i), 1000 + i));
  ASSERT_TRUE(log_.WaitFor("went away: the store is gone; records wait")) << Log();
  EXPECT_FALSE(recorder->Flush(100ms));
  EXPECT_EQ(recorder->counters().queued, 50u);
  switch_.down = false;
  ASSERT_TRUE(recorder->Flush(30s));
  EXPECT_EQ(Sessions(), 51);
  Recorder::Counters counters = recorder->counters();
  EXPECT_EQ(counters.written, 51u);
  EXPECT_EQ(counters.dropped, 0u);
  EXPECT_NE(Log().find("recording into the test store"), std::string::npos) << Log();
}

TEST_F(RecorderTest, PastTheQueuesBoundRecordsAreDroppedCountedAndLogged) {
  switch_.down = true;
  // Room for a few records only.
  auto recorder = Start(4096);
  for (int i = 0; i < 100; ++i) recorder->Record(Served("STUDENT", "u" + std::to_string(i), 1000 + i));
  Recorder::Counters waiting = recorder->counters();
  EXPECT_GT(waiting.dropped, 0u);
  EXPECT_EQ(waiting.dropped + waiting.queued, 100u);
  switch_.down = false;
  ASSERT_TRUE(recorder->Flush(30s));
  EXPECT_EQ(Sessions(), static_cast<int64_t>(waiting.queued));
  recorder->Stop(0ms);
  EXPECT_NE(Log().find("records dropped (the queue for the store was full); " + std::to_string(waiting.dropped) +
                       " in all"),
            std::string::npos)
      << Log();
}

TEST_F(RecorderTest, ARecordTheStoreRefusesCostsOnlyItself) {
  switch_.refused = "STUDENT/bad";
  auto recorder = Start();
  switch_.down = true;  // the three go in one batch
  recorder->Record(Served("STUDENT", "good1", 1000));
  recorder->Record(Served("STUDENT", "bad", 1001));
  recorder->Record(Served("STUDENT", "good2", 1002));
  switch_.down = false;
  ASSERT_TRUE(recorder->Flush(30s));
  EXPECT_EQ(Sessions(), 2);
  EXPECT_EQ(recorder->counters().dropped, 1u);
  EXPECT_NE(Log().find("the record of 10.4.7.31:40000 was refused: value refused"), std::string::npos) << Log();
}

TEST_F(RecorderTest, AStopWithTheStoreGoneCountsWhatWasNotWritten) {
  switch_.down = true;
  auto recorder = Start();
  for (int i = 0; i < 5; ++i) recorder->Record(Served("STUDENT", "u" + std::to_string(i), 1000 + i));
  recorder->Stop(50ms);
  EXPECT_EQ(recorder->counters().dropped, 5u);
  EXPECT_NE(Log().find("5 records not written at the stop"), std::string::npos) << Log();
  EXPECT_NE(Log().find("cannot reach the test store: cannot connect"), std::string::npos) << Log();
}

TEST(RecorderPostgresTest, APostgresServerStoppedMidRunLosesNoRecord) {
  std::function<std::unique_ptr<Database>()> open = FreshPostgres();
  RecorderOptions options;
  options.retry = 20ms;
  options.batch = 10;
  LogLines log;
  Recorder recorder(open, "PostgreSQL", options, log.Reporter());
  for (int i = 0; i < 100; ++i) recorder.Record(Served("STUDENT", "u" + std::to_string(i), 1000 + i));
  ASSERT_TRUE(recorder.Flush(30s));
  Postgres::Get().Stop();
  for (int i = 100; i < 300; ++i) recorder.Record(Served("STUDENT", "u" + std::to_string(i), 1000 + i));
  // The recorder finds the store gone before it comes back.
  ASSERT_TRUE(log.WaitFor("PostgreSQL went away")) << log.Text();
  EXPECT_FALSE(recorder.Flush(100ms));
  Postgres::Get().Start();
  ASSERT_TRUE(recorder.Flush(60s)) << log.Text();
  EXPECT_EQ(AsInt(open()->Run("SELECT COUNT(*) FROM sessions").rows[0][0]), 300);
  EXPECT_EQ(AsInt(open()->Run("SELECT COUNT(*) FROM workstations").rows[0][0]), 300);
  EXPECT_EQ(recorder.counters().dropped, 0u);
}

}  // namespace
}  // namespace ulmar::server::fleet
