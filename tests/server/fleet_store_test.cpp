// The fleet's store, the same tests against SQLite and against a real
// PostgreSQL server: the schema's migrations, writing records, and every
// view over a small scripted fleet.
#include <gtest/gtest.h>

#include "fleet_store.h"
#include "fleet_test_support.h"
#include "server_test_support.h"

namespace ulmar::server::fleet {
namespace {

using namespace testing;
using ulmar::server::testing::U8;

// Noon (UTC) of a day: every session of the fleet below but one falls on it.
constexpr int64_t kNow = 86400 * 20800 + 43200;
constexpr int64_t kDay = 86400;

class FleetStoreTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    open_ = std::string(GetParam()) == "sqlite" ? FreshSqlite() : FreshPostgres();
    db_ = open_();
    ASSERT_EQ(Migrate(*db_), LatestSchemaVersion());
  }

  // The fleet: STUDENT with two outstanding, two up to date (one without a
  // user identifier), one failing and one silent workstation; TEACHER with
  // one outstanding; a client of an unknown suite; a connection that never
  // named its suite.
  void WriteFleet() {
    WriteSessions(*db_, Stored({
        Served("STUDENT", "ivanov", kNow - 3600, {"Bin\\lib.dll"}, {}, {"junk.tmp"}),
        Served("STUDENT", "kuz", kNow - 5000),
        Served("STUDENT", "old", kNow - 10 * kDay, {}, {}, {}, "10.4.7.9"),
        Served("STUDENT", "petrov", kNow - 100, {}, {}, {}, "10.4.7.32"),
        Served("STUDENT", "sidorov", kNow - 200, {}, {"Forms\\a.frm"}, {"junk.tmp"}, "10.4.7.33"),
        Served("STUDENT", "NotFound", kNow - 150, {}, {}, {}, "10.0.0.9"),
        Served("TEACHER", "smirnova", kNow - 30, {"Bin\\lib.dll"}),
    }, "a"));
    WriteSessions(*db_, Stored({
        Served("STUDENT", "ivanov", kNow - 60, {"Bin\\lib.dll"}, {}, {"junk.tmp", "x.tmp"}),
        Failing("STUDENT", "kuz", kNow - 50, "idle for 300 s"),
        Failing("NOSUCH", std::nullopt, kNow - 25, "unknown suite code", "10.0.0.7"),
        Failing(std::nullopt, std::nullopt, kNow - 20, "no opening and identity within 15 s"),
    }, "b"));
  }

  ViewQuery At() {
    ViewQuery q;
    q.now = kNow;
    return q;
  }

  std::function<std::unique_ptr<Database>()> open_;
  std::unique_ptr<Database> db_;
};

TEST_P(FleetStoreTest, MigratingAgainChangesNothingAndANewerSchemaIsRefused) {
  WriteFleet();
  EXPECT_EQ(Migrate(*open_()), LatestSchemaVersion());
  EXPECT_EQ(WorkstationCount(*db_, At()), 8);
  db_->Run("INSERT INTO schema_migrations (version, applied) VALUES (99, 0)");
  try {
    Migrate(*db_);
    FAIL() << "a newer schema was taken";
  } catch (const StoreError& e) {
    EXPECT_FALSE(e.lost());
    EXPECT_NE(std::string(e.what()).find("version 99"), std::string::npos) << e.what();
  }
}

TEST_P(FleetStoreTest, EachSuiteCountsItsWorkstationsByStatus) {
  WriteFleet();
  Table suites = SuiteCounts(*db_, At());
  EXPECT_EQ(Column(suites, "suite"), (std::vector<std::string>{"NOSUCH", "STUDENT", "TEACHER"}));
  EXPECT_EQ(Column(suites, "workstations"), (std::vector<std::string>{"1", "6", "1"}));
  EXPECT_EQ(Column(suites, "up_to_date"), (std::vector<std::string>{"0", "2", "0"}));
  EXPECT_EQ(Column(suites, "outstanding"), (std::vector<std::string>{"0", "2", "1"}));
  EXPECT_EQ(Column(suites, "failing"), (std::vector<std::string>{"1", "1", "0"}));
  EXPECT_EQ(Column(suites, "silent"), (std::vector<std::string>{"0", "1", "0"}));
  ViewQuery teacher = At();
  teacher.suite = "TEACHER";
  EXPECT_EQ(Column(SuiteCounts(*db_, teacher), "suite"), std::vector<std::string>{"TEACHER"});
}

TEST_P(FleetStoreTest, TheWorkstationsListSortsFiltersAndPages) {
  WriteFleet();
  ViewQuery q = At();
  q.suite = "STUDENT";
  q.sort = "user";
  q.descending = false;
  // The client without a user identifier is named by its address.
  EXPECT_EQ(Column(Workstations(*db_, q), "user"),
            (std::vector<std::string>{"", "ivanov", "kuz", "old", "petrov", "sidorov"}));
  EXPECT_EQ(Column(Workstations(*db_, q), "id")[0], "STUDENT/10.0.0.9");
  q.descending = true;
  EXPECT_EQ(Column(Workstations(*db_, q), "user")[0], "sidorov");

  struct Case {
    const char* status;
    const char* text;
    std::vector<std::string> users;
  } cases[] = {
      {"outstanding", "", {"ivanov", "sidorov"}},
      {"up_to_date", "", {"", "petrov"}},
      {"failing", "", {"kuz"}},
      {"silent", "", {"old"}},
      {"", "IV", {"ivanov"}},
      {"", "10.4.7.3", {"ivanov", "petrov", "sidorov"}},
      {"", "%", {}},
  };
  for (const Case& c : cases) {
    ViewQuery f = At();
    f.suite = "STUDENT";
    f.sort = "user";
    f.descending = false;
    f.status = c.status;
    f.text = c.text;
    EXPECT_EQ(Column(Workstations(*db_, f), "user"), c.users) << c.status << " " << c.text;
    EXPECT_EQ(WorkstationCount(*db_, f), static_cast<int64_t>(c.users.size())) << c.status << " " << c.text;
  }
  q.descending = false;
  q.limit = 2;
  q.offset = 2;
  EXPECT_EQ(Column(Workstations(*db_, q), "user"), (std::vector<std::string>{"kuz", "old"}));

  // A failing workstation keeps the counts of its last verdict.
  Table kuz = Workstation(*db_, "STUDENT/kuz", kNow);
  ASSERT_EQ(kuz.rows.size(), 1u);
  EXPECT_EQ(Column(kuz, "status"), std::vector<std::string>{"failing"});
  EXPECT_EQ(Column(kuz, "reason"), std::vector<std::string>{"idle for 300 s"});
  EXPECT_EQ(Column(kuz, "files"), std::vector<std::string>{"10"});
  EXPECT_EQ(Column(kuz, "sessions"), std::vector<std::string>{"2"});
}

TEST_P(FleetStoreTest, DriftAndForeignFilesAreCountedAcrossTheFleetSinceTheyWereFirstReported) {
  WriteFleet();
  Table drift = Drift(*db_, At());
  EXPECT_EQ(Column(drift, "suite"), (std::vector<std::string>{"STUDENT", "TEACHER"}));
  EXPECT_EQ(Column(drift, "path"), (std::vector<std::string>{"Bin\\lib.dll", "Bin\\lib.dll"}));
  EXPECT_EQ(Column(drift, "workstations"), (std::vector<std::string>{"1", "1"}));
  // Reported at its first session and again since: the first time counts.
  EXPECT_EQ(Column(drift, "since")[0], std::to_string(kNow - 3600));

  ViewQuery student = At();
  student.suite = "STUDENT";
  Table foreign = Foreign(*db_, student);
  EXPECT_EQ(Column(foreign, "path"), (std::vector<std::string>{"junk.tmp", "x.tmp"}));
  EXPECT_EQ(Column(foreign, "workstations"), (std::vector<std::string>{"2", "1"}));
  EXPECT_EQ(Column(foreign, "since"), (std::vector<std::string>{std::to_string(kNow - 3600), std::to_string(kNow - 60)}));

  EXPECT_EQ(Column(WorkstationItems(*db_, "STUDENT/sidorov", "missing"), "path"),
            std::vector<std::string>{"Forms\\a.frm"});
  // Files mended at the next session leave the workstation's list.
  WriteSessions(*db_, Stored({Served("STUDENT", "ivanov", kNow - 10)}, "c"));
  EXPECT_TRUE(WorkstationItems(*db_, "STUDENT/ivanov", "drift").rows.empty());
  EXPECT_EQ(Column(Foreign(*db_, student), "workstations"), std::vector<std::string>{"1"});
}

TEST_P(FleetStoreTest, AWorkstationsHistoryHasEverySessionWithItsNamesNewestFirst) {
  WriteFleet();
  Table history = History(*db_, "STUDENT/ivanov", 100);
  EXPECT_EQ(Column(history, "time"), (std::vector<std::string>{std::to_string(kNow - 60), std::to_string(kNow - 3600)}));
  EXPECT_EQ(Column(history, "result"), (std::vector<std::string>{"ok", "ok"}));
  EXPECT_EQ(Column(history, "foreign"), (std::vector<std::string>{"2", "1"}));
  std::string newest = Column(history, "id")[0];
  std::vector<std::string> names;
  Table items = HistoryItems(*db_, "STUDENT/ivanov", 100);
  for (const auto& row : items.rows) {
    if (AsText(row[0]) == newest) names.push_back(AsText(row[1]) + " " + AsText(row[2]));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"foreign junk.tmp", "foreign x.tmp", "update Bin\\lib.dll"}));
  EXPECT_EQ(Column(History(*db_, "STUDENT/ivanov", 1), "time").size(), 1u);
}

TEST_P(FleetStoreTest, FailuresAreGroupedByReason) {
  WriteFleet();
  Table failures = Failures(*db_, At());
  EXPECT_EQ(Column(failures, "reason"), (std::vector<std::string>{"idle for 300 s", "no opening and identity within 15 s",
                                                                   "unknown suite code"}));
  EXPECT_EQ(Column(failures, "sessions"), (std::vector<std::string>{"1", "1", "1"}));
  EXPECT_EQ(Column(failures, "last")[2], std::to_string(kNow - 25));
  ViewQuery teacher = At();
  teacher.suite = "TEACHER";
  EXPECT_TRUE(Failures(*db_, teacher).rows.empty());
}

TEST_P(FleetStoreTest, SessionsPerHourAndTheShareUpToDatePerLocalDay) {
  WriteFleet();
  Table hours = SessionsPerHour(*db_, At());
  int64_t sessions = 0, failed = 0;
  for (const std::string& n : Column(hours, "sessions")) sessions += std::stoll(n);
  for (const std::string& n : Column(hours, "failed")) failed += std::stoll(n);
  EXPECT_EQ(sessions, 11);
  EXPECT_EQ(failed, 3);
  EXPECT_EQ(Column(hours, "hour").back(), std::to_string((kNow - 20) / 3600 * 3600));

  ViewQuery moscow = At();
  moscow.utc_offset = 3 * 3600;
  Table share = UpToDateShare(*db_, moscow);
  // The silent workstation's day, then today: of the seven workstations
  // that reported today, two were up to date at their last report (kuz's
  // last report that day failed).
  ASSERT_EQ(share.rows.size(), 2u);
  int64_t today = (kNow + 3 * 3600) / kDay * kDay - 3 * 3600;
  EXPECT_EQ(Column(share, "day")[1], std::to_string(today));
  EXPECT_EQ(Column(share, "workstations")[1], "7");
  EXPECT_EQ(Column(share, "up_to_date")[1], "2");
  ViewQuery recent = At();
  recent.days = 2;
  EXPECT_EQ(UpToDateShare(*db_, recent).rows.size(), 1u);
}

TEST_P(FleetStoreTest, ABatchWrittenTwiceCountsOnceAndAnOlderStateChangesNothing) {
  auto batch = Stored({Served("STUDENT", "petrov", kNow - 100)}, "same");
  WriteSessions(*db_, batch);
  WriteSessions(*db_, batch);
  EXPECT_EQ(History(*db_, "STUDENT/petrov", 100).rows.size(), 1u);
  // Another server writes, later, a session that ended earlier.
  WriteSessions(*db_, Stored({Failing("STUDENT", "petrov", kNow - 500, "the connection broke")}, "other"));
  Table petrov = Workstation(*db_, "STUDENT/petrov", kNow);
  EXPECT_EQ(Column(petrov, "status"), std::vector<std::string>{"up_to_date"});
  EXPECT_EQ(Column(petrov, "first_seen"), std::vector<std::string>{std::to_string(kNow - 100)});
  EXPECT_EQ(History(*db_, "STUDENT/petrov", 100).rows.size(), 2u);
}

TEST_P(FleetStoreTest, PruningRemovesOldHistoryButKeepsTheWorkstations) {
  WriteFleet();
  EXPECT_EQ(PruneBefore(*db_, kNow - 5 * kDay), 1);
  EXPECT_TRUE(History(*db_, "STUDENT/old", 100).rows.empty());
  EXPECT_EQ(Column(Workstation(*db_, "STUDENT/old", kNow), "status"), std::vector<std::string>{"silent"});
  EXPECT_EQ(db_->Run("SELECT COUNT(*) FROM session_items WHERE session_id NOT IN (SELECT id FROM sessions)")
                .rows[0][0],
            Value(int64_t{0}));
  EXPECT_EQ(PruneBefore(*db_, kNow - 5 * kDay), 0);
}

TEST_P(FleetStoreTest, NamesFromCodePage1251AndAStrayNulAreStoredAsUtf8) {
  std::string path = std::string("Отчёт\0.frm", 10);
  WriteSessions(*db_, Stored({Served("STUDENT", "Иванов", kNow, {}, {}, {path})}));
  std::string id = U8(u8"STUDENT/Иванов");
  EXPECT_EQ(Column(Workstation(*db_, id, kNow), "user"), std::vector<std::string>{U8(u8"Иванов")});
  EXPECT_EQ(Column(WorkstationItems(*db_, id, "foreign"), "path"), std::vector<std::string>{U8(u8"Отчёт") + "\xE2\x90\x80.frm"});
}

TEST_P(FleetStoreTest, ABatchLargerThanOneStatementsParametersIsWrittenWhole) {
  // 2,000 foreign names on each of 20 workstations: 40,000 names, more
  // than one statement may carry.
  std::vector<SessionRecord> records;
  for (int w = 0; w < 20; ++w) {
    std::vector<std::string> foreign;
    for (int f = 0; f < 2000; ++f) foreign.push_back("f" + std::to_string(f) + ".tmp");
    records.push_back(Served("STUDENT", "u" + std::to_string(w), kNow, {}, {}, foreign));
  }
  WriteSessions(*db_, Stored(records));
  ViewQuery q = At();
  q.limit = 5000;
  Table foreign = Foreign(*db_, q);
  EXPECT_EQ(foreign.rows.size(), 2000u);
  EXPECT_EQ(Column(foreign, "workstations")[0], "20");
}

INSTANTIATE_TEST_SUITE_P(Stores, FleetStoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace ulmar::server::fleet
