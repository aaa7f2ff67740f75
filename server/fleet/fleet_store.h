// The fleet's records in a store (database.h): the schema and its
// migrations, writing a batch of conversation records, pruning old
// history, and the queries behind the page's views.
//
//   sessions           one row per conversation: when, who, what it
//                      reported, the verdict's counts, how it ended
//   session_items      the verdict's names of each session (kind: update,
//                      foreign, source, delete)
//   workstations       each workstation's latest state; a workstation is
//                      its suite code and user identifier (its address
//                      when the identifier is empty or "NotFound")
//   workstation_items  its current drift (release files it has with
//                      another checksum), missing files and foreign
//                      files, each with the time it was first reported
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "session_record.h"

namespace ulmar::server::fleet {

// The schema's version this server writes and reads.
int LatestSchemaVersion();
// Brings the store's schema up to date, one migration after another, each
// in its own transaction; several servers starting at once on one store
// take turns. Raises StoreError for a store newer than this server knows.
int Migrate(Database& db);

// A record as the store keeps it: texts in UTF-8, the workstation named.
struct StoredSession {
  std::string key;  // unique per conversation, so a batch written twice counts once
  std::string server;
  SessionRecord record;
};

// The workstation a record belongs to, or nothing when the conversation
// ended before the client named its suite.
std::optional<std::string> WorkstationId(const SessionRecord& record);

// Writes the records (in the order they ended) in one transaction. Each
// record's key is written once: a batch written again after a lost commit
// adds nothing.
void WriteSessions(Database& db, const std::vector<StoredSession>& sessions);

// Removes the history of sessions that ended before the time; returns how
// many went. Workstations' latest states stay.
int64_t PruneBefore(Database& db, int64_t time);

// What a view asks for; empty texts ask for everything.
struct ViewQuery {
  int64_t now = 0;
  std::string suite;
  // Workstations: status (up_to_date, outstanding, failing, silent), a
  // text found in the user identifier or address, the column sorted on.
  std::string status, text, sort = "last_seen";
  bool descending = true;
  int64_t limit = 100, offset = 0;
  // Days are local days: seconds east of UTC.
  int64_t utc_offset = 0;
  int64_t days = 30;
};

// A workstation that has not reported for this long is silent.
inline constexpr int64_t kSilentDays = 7;

// Views. Column names are the page's field names.
Table SuiteCounts(Database& db, const ViewQuery& q);       // suite, workstations, up_to_date, outstanding, failing, silent
Table SessionsPerHour(Database& db, const ViewQuery& q);   // hour, sessions, failed
Table UpToDateShare(Database& db, const ViewQuery& q);     // day, workstations, up_to_date
Table Workstations(Database& db, const ViewQuery& q);      // one page of rows
int64_t WorkstationCount(Database& db, const ViewQuery& q);
Table Workstation(Database& db, const std::string& id, int64_t now);  // zero or one row
Table WorkstationItems(Database& db, const std::string& id, const std::string& kind);  // path, since
Table History(Database& db, const std::string& id, int64_t limit);    // newest first
Table HistoryItems(Database& db, const std::string& id, int64_t limit);  // session, kind, path
Table Drift(Database& db, const ViewQuery& q);             // suite, path, workstations, since
Table Foreign(Database& db, const ViewQuery& q);
Table Failures(Database& db, const ViewQuery& q);          // reason, sessions, workstations, last
// The columns Workstations can sort on.
bool SortableColumn(const std::string& name);

}  // namespace ulmar::server::fleet
