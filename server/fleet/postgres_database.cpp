// The PostgreSQL store through libpq: parameters go as text and the server
// infers their types from the statement.
#include <libpq-fe.h>

#include <cstdlib>

#include "database.h"

namespace ulmar::server::fleet {
namespace {

// libpq's messages run over several lines; the log keeps one line each.
std::string OneLine(std::string text) {
  std::string out;
  for (char c : text) {
    bool blank = c == '\n' || c == '\t' || c == '\r' || c == ' ';
    if (blank) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Type numbers of PostgreSQL's built-in types that come back as numbers.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;

class PostgresDatabase final : public Database {
 public:
  explicit PostgresDatabase(const std::string& conninfo) {
    connection_ = PQconnectdb(conninfo.c_str());
    if (PQstatus(connection_) != CONNECTION_OK) {
      std::string why = Message();
      PQfinish(connection_);
      connection_ = nullptr;
      throw StoreError("cannot connect to PostgreSQL: " + why, true);
    }
    // Notices (e.g. "relation already exists, skipping") are not for the log.
    PQsetNoticeProcessor(connection_, [](void*, const char*) {}, nullptr);
  }

  ~PostgresDatabase() override { PQfinish(connection_); }

  Kind kind() const override { return Kind::Postgres; }

  Table Run(const std::string& sql, const std::vector<Value>& params) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    for (size_t i = 0; i < params.size(); ++i) {
      if (std::holds_alternative<std::nullptr_t>(params[i])) continue;
      texts[i] = AsText(params[i]);
      values[i] = texts[i].c_str();
    }
    PGresult* result = PQexecParams(connection_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0);
    Check(result, sql);
    Table table;
    int columns = PQnfields(result), rows = PQntuples(result);
    std::vector<bool> numeric(columns), integral(columns);
    for (int c = 0; c < columns; ++c) {
      table.columns.push_back(PQfname(result, c));
      Oid type = PQftype(result, c);
      integral[c] = type == kInt8 || type == kInt4 || type == kInt2;
      numeric[c] = type == kFloat4 || type == kFloat8 || type == kNumeric;
    }
    table.rows.reserve(rows);
    for (int r = 0; r < rows; ++r) {
      std::vector<Value>& row = table.rows.emplace_back();
      row.reserve(columns);
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(result, r, c)) {
          row.emplace_back(nullptr);
          continue;
        }
        const char* text = PQgetvalue(result, r, c);
        if (integral[c]) {
          row.emplace_back(static_cast<int64_t>(std::strtoll(text, nullptr, 10)));
        } else if (numeric[c]) {
          // A sum of big integers comes back as numeric: whole numbers stay
          // integers.
          char* end = nullptr;
          long long whole = std::strtoll(text, &end, 10);
          if (end && *end == 0) {
            row.emplace_back(static_cast<int64_t>(whole));
          } else {
            row.emplace_back(std::strtod(text, nullptr));
          }
        } else {
          row.emplace_back(std::string(text, static_cast<size_t>(PQgetlength(result, r, c))));
        }
      }
    }
    PQclear(result);
    return table;
  }

  void Script(const std::string& sql) override { Check(PQexec(connection_, sql.c_str()), sql, true); }

  bool Alive() override {
    if (PQstatus(connection_) != CONNECTION_OK) return false;
    PGresult* result = PQexec(connection_, "SELECT 1");
    bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
    return ok;
  }

 private:
  std::string Message() const { return OneLine(connection_ ? PQerrorMessage(connection_) : "out of memory"); }

  // Raises for a failed statement (the result is freed); clear: free a
  // successful one too.
  void Check(PGresult* result, const std::string& sql, bool clear = false) {
    ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) {
      if (clear) PQclear(result);
      return;
    }
    std::string why = result ? OneLine(PQresultErrorMessage(result)) : Message();
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    PQclear(result);
    // Lost: the connection went, or the server is shutting down or not
    // accepting (class 08, 57P0x, 53xxx out of resources).
    bool lost = PQstatus(connection_) != CONNECTION_OK;
    if (state) {
      std::string code = state;
      lost = lost || code.rfind("08", 0) == 0 || code.rfind("57P", 0) == 0 || code.rfind("53", 0) == 0;
    }
    throw StoreError(why + " (" + sql.substr(0, 60) + ")", lost);
  }

  PGconn* connection_ = nullptr;
};

}  // namespace

std::unique_ptr<Database> OpenPostgres(const std::string& conninfo) {
  return std::make_unique<PostgresDatabase>(conninfo);
}

}  // namespace ulmar::server::fleet
