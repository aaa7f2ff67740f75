// A small common face over the two stores the fleet's records go to: an
// SQLite file (the default, nothing to set up) and a PostgreSQL server
// (for several server hosts). Statements are written once, with $1, $2 ...
// parameters, in the SQL both understand.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace ulmar::server::fleet {

// A parameter or a result's field.
using Value = std::variant<std::nullptr_t, int64_t, double, std::string>;

// A query's result: its column names and its rows.
struct Table {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

// Raised for any failure of the store. lost: the connection to the store
// is gone (or the file cannot be reached), so the statement may work once
// it is back; otherwise the statement itself was refused.
class StoreError : public std::runtime_error {
 public:
  StoreError(const std::string& what, bool lost) : std::runtime_error(what), lost_(lost) {}
  bool lost() const { return lost_; }

 private:
  bool lost_;
};

class Database {
 public:
  enum class Kind { Sqlite, Postgres };
  virtual ~Database() = default;
  virtual Kind kind() const = 0;
  // Runs one statement; its rows, if it has any (RETURNING, SELECT).
  virtual Table Run(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Several statements without parameters, as one text.
  virtual void Script(const std::string& sql) = 0;
  // Whether the connection still works (a cheap round trip).
  virtual bool Alive() = 0;
};

// Opens (creating when missing) an SQLite file in write-ahead-log mode.
std::unique_ptr<Database> OpenSqlite(const std::string& path);
// Connects to PostgreSQL: a URI (postgresql://...) or "key=value" pairs.
std::unique_ptr<Database> OpenPostgres(const std::string& conninfo);

// The most parameters one statement may carry in both stores.
inline constexpr size_t kMaxParameters = 30000;

// Integer of a field (0 for null or text that is not a number).
int64_t AsInt(const Value& value);
std::string AsText(const Value& value);

}  // namespace ulmar::server::fleet
