#include "fleet_page.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "fleet_store.h"
#include "page_assets.h"

namespace ulmar::server::fleet {

// Connections for the page's readers: each request borrows one and gives
// it back; one that lost its store is dropped.
class FleetPage::Pool {
 public:
  explicit Pool(Opener open) : open_(std::move(open)) {}

  template <typename Use>
  auto With(Use use) {
    std::unique_ptr<Database> db;
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        db = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (!db) db = open_();
    try {
      auto result = use(*db);
      std::lock_guard lock(mutex_);
      idle_.push_back(std::move(db));
      return result;
    } catch (const StoreError& e) {
      if (!e.lost()) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(db));
      }
      throw;
    }
  }

 private:
  Opener open_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Database>> idle_;
};

namespace {

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void JsonString(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else if (c == '<') {
          // Never "</script>" or a tag, wherever the JSON ends up.
          out += "\\u003c";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void JsonValue(std::string& out, const Value& value) {
  if (std::holds_alternative<int64_t>(value)) {
    out += std::to_string(std::get<int64_t>(value));
  } else if (std::holds_alternative<double>(value)) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", std::get<double>(value));
    out += text;
  } else if (std::holds_alternative<std::string>(value)) {
    JsonString(out, std::get<std::string>(value));
  } else {
    out += "null";
  }
}

void JsonObject(std::string& out, const Table& table, size_t row) {
  out += '{';
  for (size_t c = 0; c < table.columns.size(); ++c) {
    if (c) out += ',';
    JsonString(out, table.columns[c]);
    out += ':';
    JsonValue(out, table.rows[row][c]);
  }
  out += '}';
}

void JsonArray(std::string& out, const Table& table) {
  out += '[';
  for (size_t r = 0; r < table.rows.size(); ++r) {
    if (r) out += ',';
    JsonObject(out, table, r);
  }
  out += ']';
}

// RFC 4180: fields with a comma, quote or line break are quoted. A field
// that a spreadsheet would take for a formula gets a leading apostrophe.
std::string Csv(const Table& table) {
  auto field = [](std::string text) {
    if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos) text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  };
  std::string out;
  for (size_t c = 0; c < table.columns.size(); ++c) out += (c ? "," : "") + field(table.columns[c]);
  out += "\r\n";
  for (const auto& row : table.rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      // Numbers as they are (a negative one is no formula).
      std::string text = AsText(row[c]);
      out += (c ? "," : "") + (std::holds_alternative<std::string>(row[c]) ? field(text) : text);
    }
    out += "\r\n";
  }
  return out;
}

// A workstation's sessions as a JSON array, each with the names of its
// verdict by kind ("items": update, foreign, sources, delete).
void SessionsWithNames(std::string& out, const Table& history, const Table& items) {
  std::map<int64_t, std::map<std::string, std::vector<std::string>>> names;  // session -> kind -> names
  for (const auto& item : items.rows) names[AsInt(item[0])][AsText(item[1])].push_back(AsText(item[2]));
  const std::pair<const char*, const char*> kinds[] = {
      {"update", "update"}, {"foreign", "foreign"}, {"source", "sources"}, {"delete", "delete"}};
  out += '[';
  for (size_t r = 0; r < history.rows.size(); ++r) {
    if (r) out += ',';
    JsonObject(out, history, r);
    out.pop_back();  // the object goes on with its items
    out += ",\"items\":{";
    const auto& own = names[AsInt(history.rows[r][0])];
    for (size_t k = 0; k < std::size(kinds); ++k) {
      out += std::string(k ? "," : "") + "\"" + kinds[k].second + "\":[";
      auto found = own.find(kinds[k].first);
      for (size_t n = 0; found != own.end() && n < found->second.size(); ++n) {
        if (n) out += ',';
        JsonString(out, found->second[n]);
      }
      out += ']';
    }
    out += "}}";
  }
  out += ']';
}

FleetPage::Answer Json(std::string body, int status = 200) {
  return {status, "application/json; charset=utf-8", std::move(body)};
}

FleetPage::Answer Error(int status, const std::string& why) {
  std::string body = "{\"error\":";
  JsonString(body, why);
  return Json(body + "}", status);
}

struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int64_t Number(const FleetPage::Params& params, const char* name, int64_t fallback, int64_t low, int64_t high) {
  std::string text = params(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (!end || *end || value < low || value > high) {
    throw BadRequest(std::string(name) + " wants a number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return value;
}

// What a view asks for. "offset" is the browser's distance from UTC in the
// overview, the first row's position in the workstations' list.
ViewQuery Query(const FleetPage::Params& params, const std::string& path) {
  ViewQuery q;
  q.now = Now();
  q.suite = params("suite");
  q.status = params("status");
  if (!q.status.empty() && q.status != "up_to_date" && q.status != "outstanding" && q.status != "failing" &&
      q.status != "silent") {
    throw BadRequest("status is one of up_to_date, outstanding, failing, silent");
  }
  q.text = params("q");
  if (!params("sort").empty()) q.sort = params("sort");
  if (!SortableColumn(q.sort)) throw BadRequest("cannot sort on " + q.sort);
  std::string order = params("order");
  if (!order.empty() && order != "asc" && order != "desc") throw BadRequest("order is asc or desc");
  q.descending = order != "asc";
  q.days = Number(params, "days", 30, 1, 3660);
  const bool paged = path == "/api/workstations";
  if (paged) {
    q.offset = Number(params, "offset", 0, 0, INT64_MAX);
  } else {
    q.utc_offset = Number(params, "offset", 0, -14 * 3600, 14 * 3600);
  }
  // An export is the whole list; the page asks for a page at a time.
  const bool csv = params("format") == "csv";
  const int64_t most = csv ? 10000000 : paged ? 1000 : 10000;
  q.limit = Number(params, "limit", csv ? most : paged ? 100 : 1000, 1, most);
  return q;
}

// Sums the per-suite counts.
std::string Totals(const Table& suites) {
  const char* fields[] = {"workstations", "up_to_date", "outstanding", "failing", "silent"};
  std::string out = "{";
  for (size_t f = 0; f < std::size(fields); ++f) {
    int64_t sum = 0;
    for (size_t c = 0; c < suites.columns.size(); ++c) {
      if (suites.columns[c] != fields[f]) continue;
      for (const auto& row : suites.rows) sum += AsInt(row[c]);
    }
    out += std::string(f ? "," : "") + "\"" + fields[f] + "\":" + std::to_string(sum);
  }
  return out + "}";
}

}  // namespace

bool IsLoopback(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

FleetPage::FleetPage(PageOptions options, Opener open, const Recorder* recorder)
    : options_(std::move(options)), pool_(std::make_unique<Pool>(std::move(open))), recorder_(recorder) {}

FleetPage::~FleetPage() { Stop(); }

FleetPage::Answer FleetPage::Get(const std::string& path, const Params& params) {
  for (size_t i = 0; i < kPageAssetCount; ++i) {
    if (path == kPageAssets[i].path || (path == "/index.html" && std::string(kPageAssets[i].path) == "/")) {
      return {200, kPageAssets[i].type,
              std::string(reinterpret_cast<const char*>(kPageAssets[i].data), kPageAssets[i].size)};
    }
  }
  if (path.rfind("/api/", 0) != 0) return Error(404, "no such page: " + path);
  const bool csv = params("format") == "csv";
  auto table = [csv](const Table& t, const char* wrapper_extra = "") {
    if (csv) return Answer{200, "text/csv; charset=utf-8", Csv(t)};
    std::string body = "{";
    body += wrapper_extra;
    body += "\"rows\":";
    JsonArray(body, t);
    return Json(body + "}");
  };
  try {
    ViewQuery q = Query(params, path);
    if (path == "/api/overview") {
      return pool_->With([&](Database& db) {
        Table suites = SuiteCounts(db, q);
        if (csv) return table(suites);
        std::string body = "{\"now\":" + std::to_string(q.now) + ",\"silent_days\":" + std::to_string(kSilentDays) +
                           ",\"suites\":";
        JsonArray(body, suites);
        body += ",\"totals\":" + Totals(suites) + ",\"sessions_per_hour\":";
        JsonArray(body, SessionsPerHour(db, q));
        body += ",\"up_to_date_share\":";
        JsonArray(body, UpToDateShare(db, q));
        Recorder::Counters counters = recorder_ ? recorder_->counters() : Recorder::Counters{};
        body += ",\"recording\":{\"written\":" + std::to_string(counters.written) +
                ",\"dropped\":" + std::to_string(counters.dropped) + ",\"queued\":" + std::to_string(counters.queued) +
                "}}";
        return Json(body);
      });
    }
    if (path == "/api/workstations") {
      return pool_->With([&](Database& db) {
        Table rows = Workstations(db, q);
        if (csv) return table(rows);
        std::string total = "\"total\":" + std::to_string(WorkstationCount(db, q)) + ",";
        return table(rows, total.c_str());
      });
    }
    if (path == "/api/workstation") {
      std::string id = params("id");
      return pool_->With([&](Database& db) {
        Table row = Workstation(db, id, q.now);
        if (row.rows.empty()) return Error(404, "no workstation " + id);
        constexpr int64_t kHistory = 200;
        Table history = History(db, id, kHistory);
        if (csv) return table(history);
        std::string body = "{\"workstation\":";
        JsonObject(body, row, 0);
        for (const char* kind : {"drift", "missing", "foreign"}) {
          body += std::string(",\"") + kind + "\":";
          JsonArray(body, WorkstationItems(db, id, kind));
        }
        body += ",\"sessions\":";
        SessionsWithNames(body, history, HistoryItems(db, id, kHistory));
        return Json(body + "}");
      });
    }
    if (path == "/api/drift") return pool_->With([&](Database& db) { return table(Drift(db, q)); });
    if (path == "/api/foreign") return pool_->With([&](Database& db) { return table(Foreign(db, q)); });
    if (path == "/api/failures") return pool_->With([&](Database& db) { return table(Failures(db, q)); });
    return Error(404, "no such view: " + path);
  } catch (const BadRequest& e) {
    return Error(400, e.what());
  } catch (const StoreError& e) {
    return Error(503, std::string("the fleet store cannot answer: ") + e.what());
  }
}

namespace {

// "user:password" of an Authorization: Basic header, or nothing.
std::string BasicCredentials(const std::string& header) {
  const std::string scheme = "Basic ";
  if (header.compare(0, scheme.size(), scheme) != 0) return "";
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = scheme.size(); i < header.size(); ++i) {
    char c = header[i];
    if (c == '=') break;
    size_t value = alphabet.find(c);
    if (value == std::string::npos) return "";
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// Compares without returning early, so the time taken says nothing of
// where a guess went wrong (only whether its length was right).
bool SameSecret(const std::string& given, const std::string& known) {
  if (given.size() != known.size() || known.empty()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < known.size(); ++i) differ |= static_cast<unsigned char>(given[i] ^ known[i]);
  return differ == 0;
}

}  // namespace

void FleetPage::Listen() {
  if (!options_.password_file.empty()) {
    struct stat status {};
    if (stat(options_.password_file.c_str(), &status) != 0) {
      throw std::runtime_error("cannot read the password file " + options_.password_file);
    }
    if (status.st_mode & S_IROTH) {
      throw std::runtime_error("the password file " + options_.password_file +
                               " is readable by every user; chmod o-r it");
    }
    std::ifstream in(options_.password_file);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      if (line.find(':') == std::string::npos || line.find(':') == 0) {
        throw std::runtime_error("the password file " + options_.password_file + " wants user:password lines");
      }
      credentials_ += line + "\n";
    }
    if (credentials_.empty()) throw std::runtime_error("the password file " + options_.password_file + " is empty");
  } else if (!IsLoopback(options_.address)) {
    throw std::runtime_error("the page listens on " + options_.address +
                             " only with a password file (--http-password)");
  }
  if (!options_.certificate_file.empty()) {
    auto tls = std::make_unique<httplib::SSLServer>(options_.certificate_file.c_str(), options_.key_file.c_str());
    if (!tls->is_valid()) {
      throw std::runtime_error("cannot use the certificate " + options_.certificate_file + " with the key " +
                               options_.key_file);
    }
    http_ = std::move(tls);
  } else {
    http_ = std::make_unique<httplib::Server>();
  }
  const int threads = options_.threads;
  http_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  http_->set_default_headers({
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:;"
       " connect-src 'self'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Cache-Control", "no-store"},
      {"Referrer-Policy", "no-referrer"},
  });
  if (!credentials_.empty()) {
    http_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
      std::string given = BasicCredentials(request.get_header_value("Authorization"));
      bool known = false;
      size_t start = 0;
      for (size_t end; (end = credentials_.find('\n', start)) != std::string::npos; start = end + 1) {
        known |= SameSecret(given, credentials_.substr(start, end - start));
      }
      if (known) return httplib::Server::HandlerResponse::Unhandled;
      response.status = 401;
      response.set_header("WWW-Authenticate", "Basic realm=\"ULMAR fleet\", charset=\"UTF-8\"");
      response.set_content("{\"error\":\"a user name and password are required\"}", "application/json; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    });
  }
  http_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Answer answer = Get(request.path, [&request](const std::string& name) {
      return request.has_param(name.c_str()) ? request.get_param_value(name.c_str()) : std::string();
    });
    response.status = answer.status;
    if (answer.type.rfind("text/csv", 0) == 0) {
      std::string name = request.path.substr(request.path.rfind('/') + 1);
      response.set_header("Content-Disposition", "attachment; filename=\"ulmar-" + name + ".csv\"");
    }
    response.set_content(std::move(answer.body), answer.type.c_str());
  });
  if (options_.port == 0) {
    int port = http_->bind_to_any_port(options_.address.c_str());
    if (port < 0) throw std::runtime_error("the page cannot listen on " + options_.address);
    port_ = static_cast<uint16_t>(port);
  } else {
    if (!http_->bind_to_port(options_.address.c_str(), options_.port)) {
      throw std::runtime_error("the page cannot listen on " + options_.address + ":" + std::to_string(options_.port));
    }
    port_ = options_.port;
  }
}

std::string FleetPage::url() const {
  return std::string(options_.certificate_file.empty() ? "http" : "https") + "://" + options_.address + ":" +
         std::to_string(port_) + "/";
}

void FleetPage::Start() {
  thread_ = std::thread([this] { http_->listen_after_bind(); });
}

void FleetPage::Stop() {
  if (http_) http_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace ulmar::server::fleet
