// The fleet's store: how large it grows and how fast the page answers.
//
//   fleet_store_bench --store sqlite:FILE|postgres:CONNINFO --workstations N --days D
//
// Writes D days of daily log-ons of N workstations (one session each a
// day, in batches as the recorder writes them; a fifth of the workstations
// has a drifted file, a fifth two missing files, two fifths a foreign file,
// one in fifty fails now and then), prints the write rate and the store's
// size per 1,000 workstations, then serves the page on loopback and times
// each view over HTTP (median and slowest of 20 requests).
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fleet_page.h"
#include "fleet_store.h"

namespace {

using namespace ulmar::server;
using namespace ulmar::server::fleet;
using Clock = std::chrono::steady_clock;

SessionRecord DailyRecord(int w, int day, int64_t time) {
  SessionRecord r;
  r.time = time;
  r.address = "10." + std::to_string(w / 65536 % 256) + "." + std::to_string(w / 256 % 256) + "." +
              std::to_string(w % 256);
  r.peer = r.address + ":49152";
  r.duration_ms = 120;
  r.suite = w % 10 == 0 ? "TEACHER" : "STUDENT";
  char user[32];
  std::snprintf(user, sizeof user, "user%06d", w);
  r.user = user;
  if (w % 50 == 7 && day % 3 == 0) {
    r.ok = false;
    r.reason = "the client closed the connection during the reply";
  }
  r.files = 5000;
  r.sources = 2;
  r.has_verdict = true;
  switch (w % 5) {
    case 1:
      r.drifted = {"Module" + std::to_string(w % 50) + "\\component_" + std::to_string(w % 7) + ".dll"};
      break;
    case 2:
      r.missing = {"Forms\\report_a.frm", "Forms\\report_b.frm"};
      break;
    default:
      break;
  }
  if (w % 5 >= 3) r.foreign_names = {"Temp\\scratch_" + std::to_string(w % 13) + ".tmp"};
  for (const auto* names : {&r.drifted, &r.missing}) {
    r.update_names.insert(r.update_names.end(), names->begin(), names->end());
  }
  r.update = static_cast<int32_t>(r.update_names.size());
  r.foreign = r.foreign_names.size();
  return r;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string store;
  int workstations = 1000, days = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--store")) store = argv[i + 1];
    if (!std::strcmp(argv[i], "--workstations")) workstations = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--days")) days = std::atoi(argv[i + 1]);
  }
  std::function<std::unique_ptr<Database>()> open;
  std::string sqlite_path;
  if (store.rfind("sqlite:", 0) == 0) {
    sqlite_path = store.substr(7);
    open = [sqlite_path] { return OpenSqlite(sqlite_path); };
  } else if (store.rfind("postgres:", 0) == 0) {
    std::string conninfo = store.substr(9);
    open = [conninfo] { return OpenPostgres(conninfo); };
  } else {
    std::fprintf(stderr, "usage: fleet_store_bench --store sqlite:FILE|postgres:CONNINFO --workstations N --days D\n");
    return 2;
  }
  try {
    std::unique_ptr<Database> db = open();
    Migrate(*db);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    // Log-ons spread over the working day, oldest day first.
    std::vector<StoredSession> batch;
    size_t written = 0;
    auto start = Clock::now();
    for (int day = days - 1; day >= 0; --day) {
      for (int w = 0; w < workstations; ++w) {
        int64_t time = now - day * 86400 - 36000 + (static_cast<int64_t>(w) * 32400 / workstations);
        batch.push_back({"bench:" + std::to_string(day) + ":" + std::to_string(w), "bench", DailyRecord(w, day, time)});
        if (batch.size() == 500) {
          WriteSessions(*db, batch);
          written += batch.size();
          batch.clear();
        }
      }
    }
    WriteSessions(*db, batch);
    written += batch.size();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double bytes = 0;
    if (!sqlite_path.empty()) {
      db->Script("PRAGMA wal_checkpoint(TRUNCATE)");
      struct stat status {};
      stat(sqlite_path.c_str(), &status);
      bytes = static_cast<double>(status.st_size);
    } else {
      db->Script("VACUUM ANALYZE");
      bytes = static_cast<double>(AsInt(db->Run(
          "SELECT SUM(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
          " WHERE n.nspname = 'public' AND c.relkind = 'r'").rows[0][0]));
    }
    std::printf("store %-8s  %d workstations x %d days: %zu sessions written at %.0f sessions/s;"
                " size %.1f MiB, %.1f MiB per 1,000 workstations\n",
                sqlite_path.empty() ? "postgres" : "sqlite", workstations, days, written, written / seconds,
                bytes / 1048576, bytes / 1048576 * 1000 / workstations);

    PageOptions options;
    options.port = 0;
    FleetPage page(options, open, nullptr);
    page.Listen();
    page.Start();
    std::string url = page.url();
    size_t colon = url.rfind(':');
    httplib::Client client("127.0.0.1", std::atoi(url.c_str() + colon + 1));
    const char* views[][2] = {
        {"overview", "/api/overview?offset=10800"},
        {"workstations (by last report)", "/api/workstations"},
        {"workstations (by user, page 50)", "/api/workstations?sort=user&order=asc&offset=5000"},
        {"workstations (outstanding, text)", "/api/workstations?status=outstanding&q=user0001"},
        {"one workstation's history", "/api/workstation?id=STUDENT/user000001"},
        {"drift", "/api/drift"},
        {"foreign files", "/api/foreign"},
        {"failures", "/api/failures"},
        {"workstations as CSV (all)", "/api/workstations?format=csv"},
    };
    for (const auto& [name, path] : views) {
      std::vector<double> ms;
      size_t size = 0;
      for (int i = 0; i < 20; ++i) {
        auto t = Clock::now();
        auto response = client.Get(path);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (!response || response->status != 200) {
          std::fprintf(stderr, "%s: failed\n", path);
          return 1;
        }
        size = response->body.size();
      }
      std::printf("  %-34s median %7.1f ms  slowest %7.1f ms  (%zu bytes)\n", name, Median(ms),
                  *std::max_element(ms.begin(), ms.end()), size);
    }
    page.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleet_store_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
