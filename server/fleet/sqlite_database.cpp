// The SQLite store: one file, write-ahead log, prepared statements kept by
// their text so a batch's statements are parsed once.
#include <sqlite3.h>

#include <map>

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
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
  }

  Kind kind() const override { return Kind::Sqlite; }

  Table Run(const std::string& sql, const std::vector<Value>& params) override {
    sqlite3_stmt* statement = Prepare(sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    const int count = sqlite3_bind_parameter_count(statement);
    for (size_t i = 0; i < params.size() && static_cast<int>(i) < count; ++i) {
      const int index = static_cast<int>(i) + 1;
      const Value& v = params[i];
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
    std::string why = sqlite3_errmsg(db_);
    // The statement may be left in a transaction that failed: undo it, so
    // the next batch starts clean.
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw StoreError(why + " (" + sql.substr(0, 60) + ")", Lost(rc));
  }

  sqlite3_stmt* Prepare(const std::string& sql) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) return found->second;
    // Statements made for one batch's size are many; keep the cache small.
    if (statements_.size() > 64) {
      for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
      statements_.clear();
    }
    // "$3" is a name to SQLite, "?3" the third parameter: the statements'
    // parameters are numbered, so they become the latter.
    std::string numbered = sql;
    for (size_t at = 0; (at = numbered.find('$', at)) != std::string::npos; ++at) {
      if (at + 1 < numbered.size() && numbered[at + 1] >= '0' && numbered[at + 1] <= '9') numbered[at] = '?';
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db_, numbered.c_str(), static_cast<int>(numbered.size()), &statement, nullptr);
    if (rc != SQLITE_OK) Fail(rc, sql);
    statements_.emplace(sql, statement);
    return statement;
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path) { return std::make_unique<SqliteDatabase>(path); }

}  // namespace ulmar::server::fleet
