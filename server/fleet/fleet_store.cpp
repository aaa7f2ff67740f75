#include "fleet_store.h"

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>
#include <set>
#include <utility>

#include "text.h"

namespace ulmar::server::fleet {
namespace {

// One statement under construction: its text and its parameters, numbered
// as they are added.
struct Sql {
  std::string text;
  std::vector<Value> params;

  std::string P(Value value) {
    params.push_back(std::move(value));
    return "$" + std::to_string(params.size());
  }
  Sql& operator<<(const std::string& part) {
    text += part;
    return *this;
  }
  Table Run(Database& db) const { return db.Run(text, params); }
};

struct Migration {
  int version;
  const char* sql;  // "{id}" stands for the dialect's generated key
};

const Migration kMigrations[] = {
    {1, R"(
CREATE TABLE sessions (
  id {id},
  record_key TEXT NOT NULL UNIQUE,
  server TEXT NOT NULL,
  ended BIGINT NOT NULL,
  workstation TEXT,
  suite TEXT,
  user_id TEXT,
  peer TEXT NOT NULL,
  address TEXT NOT NULL,
  files INTEGER,
  sources INTEGER,
  update_count INTEGER,
  foreign_count INTEGER,
  new_sources INTEGER,
  deletions INTEGER,
  up_to_date INTEGER NOT NULL,
  result TEXT NOT NULL,
  reason TEXT NOT NULL,
  ms INTEGER NOT NULL
);
CREATE INDEX sessions_ended ON sessions (ended);
CREATE INDEX sessions_workstation ON sessions (workstation, ended);
CREATE TABLE session_items (
  session_id BIGINT NOT NULL,
  kind TEXT NOT NULL,
  path TEXT NOT NULL
);
CREATE INDEX session_items_session ON session_items (session_id);
CREATE TABLE workstations (
  id TEXT PRIMARY KEY,
  suite TEXT NOT NULL,
  user_id TEXT NOT NULL,
  address TEXT NOT NULL,
  first_seen BIGINT NOT NULL,
  last_seen BIGINT NOT NULL,
  result TEXT NOT NULL,
  reason TEXT NOT NULL,
  files INTEGER,
  sources INTEGER,
  update_count INTEGER,
  foreign_count INTEGER,
  new_sources INTEGER,
  deletions INTEGER
);
CREATE INDEX workstations_last_seen ON workstations (last_seen);
CREATE TABLE workstation_items (
  workstation TEXT NOT NULL,
  kind TEXT NOT NULL,
  path TEXT NOT NULL,
  since BIGINT NOT NULL,
  PRIMARY KEY (workstation, kind, path)
);
CREATE INDEX workstation_items_kind ON workstation_items (kind, path);
)"},
};

std::string Dialect(const Database& db, std::string sql) {
  const std::string id =
      db.kind() == Database::Kind::Sqlite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
  for (size_t at; (at = sql.find("{id}")) != std::string::npos;) sql.replace(at, 4, id);
  return sql;
}

// A transaction that is undone unless committed. SQLite takes the write
// lock at once (a reader that later wants to write could otherwise fail).
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) {
    db_.Script(db_.kind() == Database::Kind::Sqlite ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  ~Transaction() {
    if (open_) {
      try {
        db_.Script("ROLLBACK");
      } catch (const StoreError&) {
        // Gone with the connection, or undone already.
      }
    }
  }
  void Commit() {
    db_.Script("COMMIT");
    open_ = false;
  }

 private:
  Database& db_;
  bool open_ = true;
};

// Texts of the records are code page 1251; the store keeps UTF-8. A NUL
// (which PostgreSQL's texts cannot hold) is kept as its visible symbol.
std::string Utf8(const std::string& cp1251) {
  std::string text = Cp1251ToUtf8(cp1251);
  for (size_t at; (at = text.find('\0')) != std::string::npos;) text.replace(at, 1, "\xE2\x90\x80");
  return text;
}

Value Optional(const std::optional<int32_t>& value) {
  return value ? Value(static_cast<int64_t>(*value)) : Value(nullptr);
}

bool UpToDate(const SessionRecord& r) {
  return r.ok && r.has_verdict && r.update == 0 && r.new_sources == 0 && r.deletions == 0;
}

// The rows of a multi-row statement go in chunks small enough for both
// stores' parameter limits.
template <typename Item, typename AddRow>
void InChunks(const std::vector<Item>& items, size_t per_row, AddRow add_row,
              const std::function<void(Sql&)>& finish, const std::string& head) {
  size_t rows_per_chunk = std::max<size_t>(1, kMaxParameters / per_row);
  for (size_t start = 0; start < items.size(); start += rows_per_chunk) {
    Sql sql;
    sql << head;
    size_t end = std::min(items.size(), start + rows_per_chunk);
    for (size_t i = start; i < end; ++i) {
      if (i > start) sql << ",";
      add_row(sql, items[i]);
    }
    finish(sql);
  }
}

// The status of a workstation, as SQL over the workstations table.
std::string StatusSql(Sql& sql, int64_t now) {
  return "CASE WHEN last_seen < " + sql.P(now - kSilentDays * 86400) +
         " THEN 'silent' WHEN result <> 'ok' THEN 'failing'"
         " WHEN COALESCE(update_count, 0) > 0 OR COALESCE(new_sources, 0) > 0 OR COALESCE(deletions, 0) > 0"
         " THEN 'outstanding' ELSE 'up_to_date' END";
}

const std::map<std::string, std::string>& SortColumns() {
  static const std::map<std::string, std::string> columns = {
      {"user", "user_id"},       {"suite", "suite"},          {"peer", "address"},
      {"status", "status"},      {"last_seen", "last_seen"},  {"first_seen", "first_seen"},
      {"files", "files"},        {"update", "update_count"},  {"foreign", "foreign_count"},
      {"new_sources", "new_sources"}, {"delete", "deletions"}, {"result", "result"},
  };
  return columns;
}

}  // namespace

int LatestSchemaVersion() { return kMigrations[std::size(kMigrations) - 1].version; }

int Migrate(Database& db) {
  db.Script("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, applied BIGINT NOT NULL)");
  Transaction transaction(db);
  // Servers starting together on one PostgreSQL migrate one at a time.
  if (db.kind() == Database::Kind::Postgres) db.Run("SELECT pg_advisory_xact_lock(7262001)");
  int current = static_cast<int>(AsInt(db.Run("SELECT COALESCE(MAX(version), 0) FROM schema_migrations").rows[0][0]));
  if (current > LatestSchemaVersion()) {
    throw StoreError("the store's schema is version " + std::to_string(current) + ", newer than this server's (" +
                         std::to_string(LatestSchemaVersion()) + ")",
                     false);
  }
  for (const Migration& m : kMigrations) {
    if (m.version <= current) continue;
    db.Script(Dialect(db, m.sql));
    Sql sql;
    sql << "INSERT INTO schema_migrations (version, applied) VALUES (" + sql.P(int64_t{m.version}) + ", " +
               sql.P(int64_t{0}) + ")";
    sql.Run(db);
    current = m.version;
  }
  transaction.Commit();
  return current;
}

std::optional<std::string> WorkstationId(const SessionRecord& r) {
  if (!r.suite) return std::nullopt;
  if (!r.user || r.user->empty() || *r.user == "NotFound") return Utf8(*r.suite) + "/" + r.address;
  return Utf8(*r.suite) + "/" + Utf8(*r.user);
}

void WriteSessions(Database& db, const std::vector<StoredSession>& sessions) {
  if (sessions.empty()) return;
  Transaction transaction(db);

  // The sessions; those whose key is there already (a batch written again)
  // are left out, with their names.
  std::map<std::string, int64_t> ids;  // key -> session id
  InChunks(
      sessions, 18,
      [](Sql& sql, const StoredSession& s) {
        const SessionRecord& r = s.record;
        std::optional<std::string> workstation = WorkstationId(r);
        const bool verdict = r.has_verdict;
        sql << "(" + sql.P(s.key) + "," + sql.P(s.server) + "," + sql.P(r.time) + "," +
                   sql.P(workstation ? Value(*workstation) : Value(nullptr)) + "," +
                   sql.P(r.suite ? Value(Utf8(*r.suite)) : Value(nullptr)) + "," +
                   sql.P(r.user ? Value(Utf8(*r.user)) : Value(nullptr)) + "," + sql.P(r.peer) + "," +
                   sql.P(r.address) + "," + sql.P(Optional(r.files)) + "," + sql.P(Optional(r.sources)) + "," +
                   sql.P(verdict ? Value(int64_t{r.update}) : Value(nullptr)) + "," +
                   sql.P(verdict ? Value(static_cast<int64_t>(r.foreign)) : Value(nullptr)) + "," +
                   sql.P(verdict ? Value(static_cast<int64_t>(r.new_sources)) : Value(nullptr)) + "," +
                   sql.P(verdict ? Value(static_cast<int64_t>(r.deletions)) : Value(nullptr)) + "," +
                   sql.P(int64_t{UpToDate(r) ? 1 : 0}) + "," + sql.P(std::string(r.ok ? "ok" : "failed")) + "," +
                   sql.P(r.reason) + "," + sql.P(r.duration_ms) + ")";
      },
      [&](Sql& sql) {
        sql << " ON CONFLICT (record_key) DO NOTHING RETURNING id, record_key";
        for (const auto& row : sql.Run(db).rows) ids[AsText(row[1])] = AsInt(row[0]);
      },
      "INSERT INTO sessions (record_key, server, ended, workstation, suite, user_id, peer, address, files, sources,"
      " update_count, foreign_count, new_sources, deletions, up_to_date, result, reason, ms) VALUES ");

  struct Item {
    int64_t session;
    const char* kind;
    const std::string* path;
  };
  std::vector<Item> items;
  for (const StoredSession& s : sessions) {
    auto found = ids.find(s.key);
    if (found == ids.end()) continue;
    const SessionRecord& r = s.record;
    for (const auto& name : r.update_names) items.push_back({found->second, "update", &name});
    for (const auto& name : r.foreign_names) items.push_back({found->second, "foreign", &name});
    for (const auto& name : r.source_names) items.push_back({found->second, "source", &name});
    for (const auto& name : r.deletion_names) items.push_back({found->second, "delete", &name});
  }
  InChunks(
      items, 3,
      [](Sql& sql, const Item& item) {
        sql << "(" + sql.P(item.session) + "," + sql.P(std::string(item.kind)) + "," + sql.P(Utf8(*item.path)) + ")";
      },
      [&](Sql& sql) { sql.Run(db); }, "INSERT INTO session_items (session_id, kind, path) VALUES ");

  // Each workstation's latest state: its latest session, with the counts
  // of its latest verdict. A state older than the one stored (written by
  // another server meanwhile) changes nothing.
  struct Latest {
    const SessionRecord* last = nullptr;
    const SessionRecord* verdict = nullptr;
  };
  std::map<std::string, Latest> latest;  // sorted: servers sharing a store lock rows in one order
  for (const StoredSession& s : sessions) {
    if (!ids.count(s.key)) continue;
    std::optional<std::string> id = WorkstationId(s.record);
    if (!id) continue;
    Latest& l = latest[*id];
    if (!l.last || s.record.time >= l.last->time) l.last = &s.record;
    if (s.record.has_verdict && (!l.verdict || s.record.time >= l.verdict->time)) l.verdict = &s.record;
  }
  std::vector<std::pair<const std::string*, Latest>> states;
  for (const auto& [id, l] : latest) states.emplace_back(&id, l);
  std::set<std::string> updated;
  InChunks(
      states, 14,
      [](Sql& sql, const std::pair<const std::string*, Latest>& state) {
        const SessionRecord& r = *state.second.last;
        const SessionRecord* v = state.second.verdict;
        auto count = [v](auto field) { return v ? Value(static_cast<int64_t>(field)) : Value(nullptr); };
        sql << "(" + sql.P(*state.first) + "," + sql.P(Utf8(*r.suite)) + "," +
                   sql.P(r.user && !r.user->empty() && *r.user != "NotFound" ? Utf8(*r.user) : std::string()) + "," +
                   sql.P(r.address) + "," + sql.P(r.time) + "," + sql.P(r.time) + "," +
                   sql.P(std::string(r.ok ? "ok" : "failed")) + "," + sql.P(r.reason) + "," +
                   sql.P(v ? Optional(v->files) : Value(nullptr)) + "," + sql.P(v ? Optional(v->sources) : Value(nullptr)) +
                   "," + sql.P(count(v ? v->update : 0)) + "," + sql.P(count(v ? v->foreign : 0)) + "," +
                   sql.P(count(v ? v->new_sources : 0)) + "," + sql.P(count(v ? v->deletions : 0)) + ")";
      },
      [&](Sql& sql) {
        sql << " ON CONFLICT (id) DO UPDATE SET suite = excluded.suite, user_id = excluded.user_id,"
               " address = excluded.address, last_seen = excluded.last_seen, result = excluded.result,"
               " reason = excluded.reason, files = COALESCE(excluded.files, workstations.files),"
               " sources = COALESCE(excluded.sources, workstations.sources),"
               " update_count = COALESCE(excluded.update_count, workstations.update_count),"
               " foreign_count = COALESCE(excluded.foreign_count, workstations.foreign_count),"
               " new_sources = COALESCE(excluded.new_sources, workstations.new_sources),"
               " deletions = COALESCE(excluded.deletions, workstations.deletions)"
               " WHERE excluded.last_seen >= workstations.last_seen RETURNING id";
        for (const auto& row : sql.Run(db).rows) updated.insert(AsText(row[0]));
      },
      "INSERT INTO workstations (id, suite, user_id, address, first_seen, last_seen, result, reason, files, sources,"
      " update_count, foreign_count, new_sources, deletions) VALUES ");

  // The current drift, missing and foreign files of each workstation whose
  // state changed with a verdict; a file reported before keeps its time.
  std::vector<std::pair<const std::string*, const SessionRecord*>> changed;
  for (const auto& [id, l] : latest) {
    if (l.verdict && updated.count(id)) changed.emplace_back(&id, l.verdict);
  }
  std::map<std::tuple<std::string, std::string, std::string>, int64_t> since;
  InChunks(
      changed, 1, [](Sql& sql, const auto& c) { sql << sql.P(*c.first); },
      [&](Sql& sql) {
        sql << ")";
        for (const auto& row : sql.Run(db).rows) {
          since[{AsText(row[0]), AsText(row[1]), AsText(row[2])}] = AsInt(row[3]);
        }
      },
      "SELECT workstation, kind, path, since FROM workstation_items WHERE workstation IN (");
  InChunks(
      changed, 1, [](Sql& sql, const auto& c) { sql << sql.P(*c.first); }, [&](Sql& sql) {
        sql << ")";
        sql.Run(db);
      },
      "DELETE FROM workstation_items WHERE workstation IN (");
  struct Current {
    const std::string* workstation;
    const char* kind;
    std::string path;
    int64_t since;
  };
  std::vector<Current> current;
  for (const auto& [id, r] : changed) {
    std::set<std::pair<std::string, std::string>> seen;
    auto add = [&, id = id, r = r](const char* kind, const std::vector<std::string>& names) {
      for (const std::string& name : names) {
        std::string path = Utf8(name);
        if (!seen.emplace(kind, path).second) continue;
        auto found = since.find({*id, kind, path});
        current.push_back({id, kind, path, found == since.end() ? r->time : found->second});
      }
    };
    add("drift", r->drifted);
    add("missing", r->missing);
    add("foreign", r->foreign_names);
  }
  InChunks(
      current, 4,
      [](Sql& sql, const Current& c) {
        sql << "(" + sql.P(*c.workstation) + "," + sql.P(std::string(c.kind)) + "," + sql.P(c.path) + "," +
                   sql.P(c.since) + ")";
      },
      [&](Sql& sql) { sql.Run(db); }, "INSERT INTO workstation_items (workstation, kind, path, since) VALUES ");
  transaction.Commit();
}

int64_t PruneBefore(Database& db, int64_t time) {
  Transaction transaction(db);
  Sql items;
  items << "DELETE FROM session_items WHERE session_id IN (SELECT id FROM sessions WHERE ended < " + items.P(time) +
               ")";
  items.Run(db);
  Sql sessions;
  sessions << "DELETE FROM sessions WHERE ended < " + sessions.P(time) + " RETURNING id";
  int64_t removed = static_cast<int64_t>(sessions.Run(db).rows.size());
  transaction.Commit();
  return removed;
}

bool SortableColumn(const std::string& name) { return SortColumns().count(name) != 0; }

Table SuiteCounts(Database& db, const ViewQuery& q) {
  Sql sql;
  std::string status = StatusSql(sql, q.now);
  sql << "SELECT suite, COUNT(*) AS workstations,"
         " SUM(CASE WHEN status = 'up_to_date' THEN 1 ELSE 0 END) AS up_to_date,"
         " SUM(CASE WHEN status = 'outstanding' THEN 1 ELSE 0 END) AS outstanding,"
         " SUM(CASE WHEN status = 'failing' THEN 1 ELSE 0 END) AS failing,"
         " SUM(CASE WHEN status = 'silent' THEN 1 ELSE 0 END) AS silent"
         " FROM (SELECT suite, " + status + " AS status FROM workstations";
  if (!q.suite.empty()) sql << " WHERE suite = " + sql.P(q.suite);
  sql << ") w GROUP BY suite ORDER BY suite";
  return sql.Run(db);
}

Table SessionsPerHour(Database& db, const ViewQuery& q) {
  Sql sql;
  sql << "SELECT (ended / 3600) * 3600 AS hour, COUNT(*) AS sessions,"
         " SUM(CASE WHEN result = 'ok' THEN 0 ELSE 1 END) AS failed FROM sessions WHERE ended >= " +
             sql.P(q.now - q.days * 86400);
  if (!q.suite.empty()) sql << " AND suite = " + sql.P(q.suite);
  sql << " GROUP BY ended / 3600 ORDER BY hour";
  return sql.Run(db);
}

Table UpToDateShare(Database& db, const ViewQuery& q) {
  // Of the workstations that reported on a day, those whose last report
  // that day found them up to date.
  Sql sql;
  std::string offset = sql.P(q.utc_offset);
  sql << "SELECT day * 86400 - " + offset + " AS day, COUNT(*) AS workstations, SUM(up_to_date) AS up_to_date FROM"
         " (SELECT (ended + " + offset + ") / 86400 AS day, up_to_date, ROW_NUMBER() OVER"
         " (PARTITION BY workstation, (ended + " + offset + ") / 86400 ORDER BY ended DESC, id DESC) AS n"
         " FROM sessions WHERE workstation IS NOT NULL AND ended >= " + sql.P(q.now - q.days * 86400);
  if (!q.suite.empty()) sql << " AND suite = " + sql.P(q.suite);
  sql << ") d WHERE n = 1 GROUP BY day ORDER BY day";
  return sql.Run(db);
}

namespace {

// The workstations table with its status, filtered as asked.
void WorkstationsFrom(Sql& sql, const ViewQuery& q) {
  sql << " FROM (SELECT workstations.*, " + StatusSql(sql, q.now) + " AS status FROM workstations) w WHERE 1 = 1";
  if (!q.suite.empty()) sql << " AND suite = " + sql.P(q.suite);
  if (!q.status.empty()) sql << " AND status = " + sql.P(q.status);
  if (!q.text.empty()) {
    std::string pattern = "%";
    for (char c : q.text) {
      if (c == '%' || c == '_' || c == '\\') pattern += '\\';
      pattern += c;
    }
    pattern += "%";
    std::string p = sql.P(pattern);
    sql << " AND (LOWER(user_id) LIKE LOWER(" + p + ") ESCAPE '\\' OR address LIKE " + p + " ESCAPE '\\')";
  }
}

const char kWorkstationColumns[] =
    "SELECT id, suite, user_id AS \"user\", address AS peer, status, first_seen, last_seen, result, reason, files,"
    " sources, update_count AS \"update\", foreign_count AS \"foreign\", new_sources, deletions AS \"delete\","
    " (SELECT COUNT(*) FROM sessions s WHERE s.workstation = w.id) AS sessions";

}  // namespace

Table Workstations(Database& db, const ViewQuery& q) {
  Sql sql;
  sql << kWorkstationColumns;
  WorkstationsFrom(sql, q);
  auto column = SortColumns().find(q.sort);
  std::string order = q.descending ? " DESC" : " ASC";
  // Nulls (never reported a verdict) sort as the smallest in both stores.
  std::string key = column == SortColumns().end() ? "last_seen" : column->second;
  sql << " ORDER BY CASE WHEN " + key + " IS NULL THEN 0 ELSE 1 END" + order + ", " + key + order + ", id" + order;
  sql << " LIMIT " + sql.P(q.limit) + " OFFSET " + sql.P(q.offset);
  return sql.Run(db);
}

int64_t WorkstationCount(Database& db, const ViewQuery& q) {
  Sql sql;
  sql << "SELECT COUNT(*)";
  WorkstationsFrom(sql, q);
  return AsInt(sql.Run(db).rows.at(0).at(0));
}

Table Workstation(Database& db, const std::string& id, int64_t now) {
  Sql sql;
  sql << kWorkstationColumns;
  ViewQuery q;
  q.now = now;
  WorkstationsFrom(sql, q);
  sql << " AND id = " + sql.P(id);
  return sql.Run(db);
}

Table WorkstationItems(Database& db, const std::string& id, const std::string& kind) {
  Sql sql;
  sql << "SELECT path, since FROM workstation_items WHERE workstation = " + sql.P(id) + " AND kind = " + sql.P(kind) +
             " ORDER BY path";
  return sql.Run(db);
}

Table History(Database& db, const std::string& id, int64_t limit) {
  Sql sql;
  sql << "SELECT id, ended AS time, peer, files, sources, update_count AS \"update\", foreign_count AS \"foreign\","
         " new_sources, deletions AS \"delete\", result, reason, ms, server FROM sessions WHERE workstation = " +
             sql.P(id) + " ORDER BY ended DESC, id DESC LIMIT " + sql.P(limit);
  return sql.Run(db);
}

Table HistoryItems(Database& db, const std::string& id, int64_t limit) {
  Sql sql;
  sql << "SELECT session_id AS session, kind, path FROM session_items WHERE session_id IN"
         " (SELECT id FROM sessions WHERE workstation = " + sql.P(id) + " ORDER BY ended DESC, id DESC LIMIT " +
             sql.P(limit) + ")";
  return sql.Run(db);
}

namespace {

Table ItemsAcrossFleet(Database& db, const ViewQuery& q, const char* kind) {
  Sql sql;
  sql << "SELECT w.suite AS suite, i.path AS path, COUNT(*) AS workstations, MIN(i.since) AS since"
         " FROM workstation_items i JOIN workstations w ON w.id = i.workstation WHERE i.kind = " +
             sql.P(std::string(kind));
  if (!q.suite.empty()) sql << " AND w.suite = " + sql.P(q.suite);
  sql << " GROUP BY w.suite, i.path ORDER BY workstations DESC, suite, path LIMIT " + sql.P(q.limit);
  return sql.Run(db);
}

}  // namespace

Table Drift(Database& db, const ViewQuery& q) { return ItemsAcrossFleet(db, q, "drift"); }
Table Foreign(Database& db, const ViewQuery& q) { return ItemsAcrossFleet(db, q, "foreign"); }

Table Failures(Database& db, const ViewQuery& q) {
  Sql sql;
  sql << "SELECT reason, COUNT(*) AS sessions, COUNT(DISTINCT COALESCE(workstation, address)) AS workstations,"
         " MAX(ended) AS last FROM sessions WHERE result <> 'ok' AND ended >= " + sql.P(q.now - q.days * 86400);
  if (!q.suite.empty()) sql << " AND suite = " + sql.P(q.suite);
  sql << " GROUP BY reason ORDER BY sessions DESC, reason";
  return sql.Run(db);
}

}  // namespace ulmar::server::fleet
