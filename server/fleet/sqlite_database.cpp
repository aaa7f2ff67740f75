// The SQLite store: one file, write-ahead log, prepared statements kept by
// their text so a batch's statements are parsed once.
#include <sqlite3.h>

#include <map>
#include <vector>

#include "database.h"

namespace ulmar::server::fleet {
namespace {

class SqliteDatabase final : public Database {
 public:
  explicit SqliteDatabase(const std::string& path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      db_ = nullptr;
      throw StoreError("cannot open " + path + ": " + why, true);
    }
    // Readers of the page and the one writer work side by side; a writer
    // that finds the file locked waits a while instead of failing.
    sqlite3_busy_timeout(db_, 10000);
    Script("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  }

  ~SqliteDatabase() override {
    for (auto& [sql, prepared] : statements_) sqlite3_finalize(prepared.statement);
    sqlite3_close(db_);
  }

  Kind kind() const override { return Kind::Sqlite; }

  Table Run(const std::string& sql, const std::vector<Value>& params) override {
    const Prepared& prepared = Prepare(sql);
    sqlite3_stmt* statement = prepared.statement;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (size_t i = 0; i < prepared.order.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      if (prepared.order[i] >= params.size()) throw StoreError("a parameter is missing", false);
      const Value& v = params[prepared.order[i]];
      if (std::holds_alternative<int64_t>(v)) {
        sqlite3_bind_int64(statement, index, std::get<int64_t>(v));
      } else if (std::holds_alternative<double>(v)) {
        sqlite3_bind_double(statement, index, std::get<double>(v));
      } else if (std::holds_alternative<std::string>(v)) {
        const std::string& text = std::get<std::string>(v);
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_null(statement, index);
      }
    }
    Table table;
    int columns = sqlite3_column_count(statement);
    for (int c = 0; c < columns; ++c) table.columns.push_back(sqlite3_column_name(statement, c));
    for (;;) {
      int rc = sqlite3_step(statement);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail(rc, sql);
      std::vector<Value>& row = table.rows.emplace_back();
      row.reserve(columns);
      for (int c = 0; c < columns; ++c) {
        switch (sqlite3_column_type(statement, c)) {
          case SQLITE_INTEGER:
            row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(statement, c)));
            break;
          case SQLITE_FLOAT:
            row.emplace_back(sqlite3_column_double(statement, c));
            break;
          case SQLITE_NULL:
            row.emplace_back(nullptr);
            break;
          default:
            row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                                         static_cast<size_t>(sqlite3_column_bytes(statement, c))));
        }
      }
    }
    sqlite3_reset(statement);
    return table;
  }

  void Script(const std::string& sql) override {
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string why = error ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      throw StoreError(why, Lost(rc));
    }
  }

  bool Alive() override {
    try {
      Run("SELECT COUNT(*) FROM sqlite_master", {});
      return true;
    } catch (const StoreError&) {
      return false;
    }
  }

 private:
  // Disk full, the file unreadable or locked for too long: the statement
  // may work later.
  static bool Lost(int rc) {
    switch (rc & 0xff) {
      case SQLITE_BUSY: case SQLITE_LOCKED: case SQLITE_IOERR: case SQLITE_FULL: case SQLITE_CANTOPEN:
      case SQLITE_READONLY: case SQLITE_PROTOCOL: case SQLITE_NOMEM:
        return true;
      default:
        return false;
    }
  }

  [[noreturn]] void Fail(int rc, const std::string& sql) {
    // A transaction the statement was part of is undone by its owner
    // (fleet_store's Transaction).
    std::string why = sqlite3_errmsg(db_);
    throw StoreError(why + " (" + sql.substr(0, 60) + ")", Lost(rc));
  }

  // A statement and, for each of its "?" in turn, the parameter it takes.
  struct Prepared {
    sqlite3_stmt* statement = nullptr;
    std::vector<size_t> order;
  };

  const Prepared& Prepare(const std::string& sql) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    // Statements made for one batch's size are many; keep the cache small.
    if (statements_.size() > 64) {
      for (auto& [text, prepared] : statements_) sqlite3_finalize(prepared.statement);
      statements_.clear();
    }
    // "$3" is a name to SQLite, and numbered parameters ("?3") are looked
    // up one by one at every use, which makes a statement of thousands of
    // them slow to prepare: each "$N" becomes a plain "?", bound in order.
    Prepared prepared;
    std::string plain;
    plain.reserve(sql.size());
    bool quoted = false;
    for (size_t at = 0; at < sql.size(); ++at) {
      char c = sql[at];
      if (c == '\'') quoted = !quoted;
      if (!quoted && c == '$' && at + 1 < sql.size() && sql[at + 1] >= '0' && sql[at + 1] <= '9') {
        size_t number = 0;
        while (at + 1 < sql.size() && sql[at + 1] >= '0' && sql[at + 1] <= '9') number = number * 10 + (sql[++at] - '0');
        prepared.order.push_back(number - 1);
        plain += '?';
        continue;
      }
      plain += c;
    }
    int rc = sqlite3_prepare_v2(db_, plain.c_str(), static_cast<int>(plain.size()), &prepared.statement, nullptr);
    if (rc != SQLITE_OK) Fail(rc, sql);
    return statements_.emplace(sql, std::move(prepared)).first->second;
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, Prepared> statements_;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path) { return std::make_unique<SqliteDatabase>(path); }

}  // namespace ulmar::server::fleet
