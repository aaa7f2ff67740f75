// Helpers of the fleet store's tests: a throwaway PostgreSQL server (Debian's
// postgresql, its own data folder and socket, started by the test), a fresh
// SQLite file, and records made in a line.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "database.h"
#include "fleet_store.h"
#include "session_record.h"

namespace ulmar::server::fleet::testing {

inline std::string TempFolder(const char* name) {
  std::string pattern = std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX");
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// One PostgreSQL server per test program, started at first use and
// stopped at exit; Stop and Start take it away and bring it back.
class Postgres {
 public:
  static Postgres& Get() {
    static Postgres instance;
    return instance;
  }
  std::string conninfo() const {
    return "host=" + folder_ + " port=" + port_ + " user=postgres dbname=postgres connect_timeout=5";
  }
  void Start() { Run("start"); }
  // immediate: as if the server crashed or its host went away.
  void Stop() { Run("stop", " --immediate"); }
  // An empty database for the next test.
  void Clear() {
    std::unique_ptr<Database> db = OpenPostgres(conninfo());
    db->Script("DROP SCHEMA public CASCADE; CREATE SCHEMA public;");
  }

 private:
  Postgres() : folder_(TempFolder("ulmar-pg")), port_(std::to_string(20000 + getpid() % 20000)) { Start(); }
  ~Postgres() {
    Stop();
    std::filesystem::remove_all(folder_);
  }
  void Run(const char* action, const char* extra = "") {
    std::string command = "python3 " ULMAR_SOURCE_DIR "/tools/peers/postgres.py " + std::string(action) + " " +
                          folder_ + " " + port_ + extra + " >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }
  std::string folder_, port_;
};

inline std::function<std::unique_ptr<Database>()> FreshSqlite() {
  std::string path = TempFolder("ulmar-fleet") + "/fleet.sqlite";
  return [path] { return OpenSqlite(path); };
}

inline std::function<std::unique_ptr<Database>()> FreshPostgres() {
  Postgres::Get().Clear();
  std::string conninfo = Postgres::Get().conninfo();
  return [conninfo] { return OpenPostgres(conninfo); };
}

// A record of a conversation that got its verdict.
inline SessionRecord Served(std::string suite, std::string user, int64_t time, std::vector<std::string> drifted = {},
                            std::vector<std::string> missing = {}, std::vector<std::string> foreign = {},
                            std::string address = "10.4.7.31") {
  SessionRecord r;
  r.time = time;
  r.address = address;
  r.peer = address + ":40000";
  r.duration_ms = 12;
  r.suite = std::move(suite);
  r.user = std::move(user);
  r.files = 10;
  r.sources = 1;
  r.has_verdict = true;
  r.drifted = std::move(drifted);
  r.missing = std::move(missing);
  for (const auto* names : {&r.drifted, &r.missing}) {
    for (const std::string& name : *names) r.update_names.push_back(name);
  }
  r.update = static_cast<int32_t>(r.update_names.size());
  r.foreign_names = std::move(foreign);
  r.foreign = r.foreign_names.size();
  return r;
}

// A record of a conversation that failed.
inline SessionRecord Failing(std::optional<std::string> suite, std::optional<std::string> user, int64_t time,
                             std::string reason, std::string address = "10.4.7.40") {
  SessionRecord r;
  r.time = time;
  r.address = address;
  r.peer = address + ":40001";
  r.suite = std::move(suite);
  r.user = std::move(user);
  r.ok = false;
  r.reason = std::move(reason);
  return r;
}

inline std::vector<StoredSession> Stored(const std::vector<SessionRecord>& records, const std::string& prefix = "t") {
  std::vector<StoredSession> stored;
  for (const SessionRecord& r : records) {
    stored.push_back({prefix + ":" + std::to_string(stored.size()), "test-server", r});
  }
  return stored;
}

// One column of a table, by name, as text.
inline std::vector<std::string> Column(const Table& table, const std::string& name) {
  std::vector<std::string> values;
  for (size_t c = 0; c < table.columns.size(); ++c) {
    if (table.columns[c] != name) continue;
    for (const auto& row : table.rows) values.push_back(AsText(row[c]));
  }
  return values;
}

}  // namespace ulmar::server::fleet::testing
