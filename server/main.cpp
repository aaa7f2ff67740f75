// ulmar-update-server: the reference update server. Answers each client's
// inventory with the verdict of the release for its suite code.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "fleet_page.h"
#include "recorder.h"
#include "release.h"
#include "server.h"

namespace {

using namespace ulmar::server;
namespace fleet = ulmar::server::fleet;

constexpr char kUsage[] =
    "usage: ulmar-update-server --releases DIR [options]\n"
    "  --releases DIR        one folder per suite code: DIR/<SUITE>/manifest.txt and DIR/<SUITE>/files/\n"
    "  --listen ADDR[:PORT]  IPv4 address and port to listen on (default 0.0.0.0:8090)\n"
    "  --log FILE            append the log to FILE (default: standard output)\n"
    "  --threads N           worker threads (default: one per processor)\n"
    "  --max-connections N   conversations served at once (default 4096)\n"
    "  --idle-limit S        seconds a conversation may stay silent (default 300)\n"
    "  --conversation-limit S  seconds a conversation may last (default 900)\n"
    "  --max-files N         largest file count accepted from a client (default 200000)\n"
    "  --max-sources N       largest data-source count accepted (default 10000)\n"
    "  --max-inventory-mib N largest inventory accepted, in MiB (default 64)\n"
    "  --rescan S            seconds between looks at the releases for changes (default 5)\n"
    "  --grace S             seconds in-flight conversations get after SIGTERM (default 10)\n"
    "  --per-peer N          conversations one address may hold at once (default 32)\n"
    "  --identity-limit S    seconds a client has for its opening and identity (default 15)\n"
    "  --proxy-from ADDR[/BITS]  a load balancer's IPv4 address or network (repeatable): its connections begin\n"
    "                        with a PROXY protocol v2 header, whose client address is the peer's (default: none)\n"
    "  --max-unsent-mib N    reply bytes all conversations may hold unsent (default 256)\n"
    "  --state DIR           the server's own files: the release files' checksums (a restart serves at once)\n"
    "                        and the fleet's records (default: $STATE_DIRECTORY, else ./ulmar-state)\n"
    "  --database WHERE      the fleet's records: sqlite (default, DIR/fleet.sqlite), a PostgreSQL connection\n"
    "                        string (postgresql://... or \"host=... dbname=...\"), or off\n"
    "  --retention DAYS      days of history kept (default 90)\n"
    "  --record-queue-mib N  records waiting for a slow or absent store, in MiB (default 64)\n"
    "  --name NAME           this server's name in the records (default: the host name)\n"
    "  --http ADDR[:PORT]    where the fleet page listens (default 127.0.0.1:8091), or off\n"
    "  --http-password FILE  user:password lines; required to listen elsewhere than loopback\n"
    "  --http-cert FILE      with --http-key: serve the page over TLS (PEM files)\n"
    "  --http-key FILE\n";

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "ulmar-update-server: %s\n%s", why.c_str(), kUsage);
  std::exit(2);
}

int Number(const char* text, const char* option, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno || end == text || *end || value < low || value > high) {
    Usage(std::string(option) + " wants a number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return static_cast<int>(value);
}

// What the command line asks for.
struct Options {
  ServerOptions server;
  std::string releases_root;
  std::string state_dir;
  std::string log_path;  // empty: standard output
  int rescan_s = 5;
  std::string database = "sqlite";
  std::string server_name;
  int retention_days = 90;
  size_t record_queue_bytes = 64u << 20;
  bool page = true;
  fleet::PageOptions page_options;
};

// ADDR[:PORT] of --listen and --http.
void AddressAndPort(const char* value, const char* option, std::string& address, uint16_t& port) {
  std::string text = value;
  size_t colon = text.rfind(':');
  address = text.substr(0, colon);
  if (colon != std::string::npos) {
    port = static_cast<uint16_t>(Number(value + colon + 1, (std::string(option) + "'s port").c_str(), 0, 65535));
  }
}

// Reads the command line; ends the program after --help (0) or a misuse (2).
Options ParseOptions(int argc, char** argv) {
  Options options;
  ServerOptions& server = options.server;
  server.threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) Usage(option + " wants a value");
    const char* value = argv[++i];
    if (option == "--releases") {
      options.releases_root = value;
    } else if (option == "--listen") {
      AddressAndPort(value, "--listen", server.address, server.port);
    } else if (option == "--log") {
      options.log_path = value;
    } else if (option == "--threads") {
      server.threads = Number(value, "--threads", 1, 256);
    } else if (option == "--max-connections") {
      server.max_connections = Number(value, "--max-connections", 1, 1000000);
    } else if (option == "--idle-limit") {
      server.idle_limit_s = Number(value, "--idle-limit", 1, 86400);
    } else if (option == "--conversation-limit") {
      server.conversation_limit_s = Number(value, "--conversation-limit", 1, 86400);
    } else if (option == "--max-files") {
      server.limits.max_files = Number(value, "--max-files", 0, 100000000);
    } else if (option == "--max-sources") {
      server.limits.max_data_sources = Number(value, "--max-sources", 0, 100000000);
    } else if (option == "--max-inventory-mib") {
      server.limits.max_bytes = static_cast<size_t>(Number(value, "--max-inventory-mib", 1, 4096)) << 20;
    } else if (option == "--rescan") {
      options.rescan_s = Number(value, "--rescan", 1, 86400);
    } else if (option == "--grace") {
      server.grace_s = Number(value, "--grace", 0, 3600);
    } else if (option == "--per-peer") {
      server.per_peer_limit = Number(value, "--per-peer", 1, 1000000);
    } else if (option == "--identity-limit") {
      server.identity_limit_s = Number(value, "--identity-limit", 1, 3600);
    } else if (option == "--proxy-from") {
      std::optional<AddressRange> range = ParseAddressRange(value);
      if (!range) Usage("--proxy-from wants an IPv4 address, optionally with /BITS (0 to 32)");
      server.proxy_from.push_back(*range);
    } else if (option == "--state") {
      options.state_dir = value;
    } else if (option == "--max-unsent-mib") {
      server.max_unsent_reply_bytes = static_cast<size_t>(Number(value, "--max-unsent-mib", 1, 65536)) << 20;
    } else if (option == "--database") {
      options.database = value;
    } else if (option == "--retention") {
      options.retention_days = Number(value, "--retention", 1, 36500);
    } else if (option == "--record-queue-mib") {
      options.record_queue_bytes = static_cast<size_t>(Number(value, "--record-queue-mib", 1, 65536)) << 20;
    } else if (option == "--name") {
      options.server_name = value;
    } else if (option == "--http") {
      options.page = std::string(value) != "off";
      if (options.page) AddressAndPort(value, "--http", options.page_options.address, options.page_options.port);
    } else if (option == "--http-password") {
      options.page_options.password_file = value;
    } else if (option == "--http-cert") {
      options.page_options.certificate_file = value;
    } else if (option == "--http-key") {
      options.page_options.key_file = value;
    } else {
      Usage("unknown option " + option);
    }
  }
  if (options.releases_root.empty()) Usage("--releases is required");
  if (options.page_options.certificate_file.empty() != options.page_options.key_file.empty()) {
    Usage("--http-cert and --http-key go together");
  }
  if (options.page && options.page_options.password_file.empty() && !fleet::IsLoopback(options.page_options.address)) {
    Usage("the page listens elsewhere than on loopback only with --http-password");
  }
  if (options.state_dir.empty()) {
    const char* systemd = std::getenv("STATE_DIRECTORY");
    options.state_dir = systemd && *systemd ? std::string(systemd).substr(0, std::string(systemd).find(':')) : "ulmar-state";
  }
  if (options.server_name.empty()) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    options.server_name = host;
  }
  return options;
}

// The log's file (appended to), standard output when no path is given;
// null, with a message on standard error, when it cannot be opened.
FILE* OpenLog(const std::string& path) {
  if (path.empty()) return stdout;
  FILE* file = std::fopen(path.c_str(), "a");
  if (!file) std::fprintf(stderr, "ulmar-update-server: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
  return file;
}

// Every conversation holds a socket: allow as many as the system lets us.
void RaiseFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

// Signals are taken by the main thread alone, with sigwait: blocked here
// before any other thread starts, so that every thread inherits the mask.
sigset_t BlockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

// Binds the server and logs where it listens, or why it cannot.
bool Listen(UpdateServer& server, const Options& options, ServerLog& log) {
  try {
    server.Listen();
  } catch (const std::exception& e) {
    log.Write(LogTime() + " " + e.what());
    return false;
  }
  log.Write(LogTime() + " listening on " + options.server.address + ":" + std::to_string(server.port()) + " with " +
            std::to_string(options.server.threads) + " threads, releases in " + options.releases_root);
  if (!options.server.proxy_from.empty()) {
    std::string ranges;
    for (const AddressRange& range : options.server.proxy_from) ranges += " " + range.Text();
    log.Write(LogTime() + " PROXY protocol headers expected from" + ranges);
  }
  return true;
}

// A thread that looks at the releases again every few seconds, and at once
// when asked; only what changed is read again (the fingerprint reads no
// contents).
class Rescanner {
 public:
  Rescanner(ReleaseStore& releases, int period_s)
      : releases_(releases), period_s_(period_s), thread_([this] { Run(); }) {}
  ~Rescanner() { Stop(); }

  void RefreshNow() {
    std::lock_guard lock(mutex_);
    refresh_now_ = true;
    wake_.notify_all();
  }

  // Returns once the thread has ended.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, std::chrono::seconds(period_s_), [this] { return stopping_ || refresh_now_; });
      if (stopping_) break;
      refresh_now_ = false;
      lock.unlock();
      releases_.Refresh();
      lock.lock();
    }
  }

  ReleaseStore& releases_;
  const int period_s_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool refresh_now_ = false;
  std::thread thread_;  // last: starts once everything it uses is ready
};

// Runs the server on a thread of its own; error receives what ended it
// abnormally.
std::thread StartServing(UpdateServer& server, std::string& error) {
  return std::thread([&server, &error] {
    try {
      server.Run();
    } catch (const std::exception& e) {
      error = e.what();
    }
    // Wakes the main thread when the workers end on their own.
    kill(getpid(), SIGTERM);
  });
}

// Returns on SIGTERM or SIGINT; SIGHUP has the releases looked at at once.
void WaitForStop(const sigset_t& signals, Rescanner& rescanner) {
  for (;;) {
    int number = 0;
    sigwait(&signals, &number);
    if (number != SIGHUP) return;
    rescanner.RefreshNow();
  }
}

// The store's name for the log, without a password.
std::string StoreName(const std::string& conninfo) {
  std::string name = conninfo;
  size_t scheme = name.find("://"), at = name.find('@');
  if (scheme != std::string::npos && at != std::string::npos) {
    size_t colon = name.find(':', scheme + 3);
    if (colon != std::string::npos && colon < at) name.replace(colon + 1, at - colon - 1, "***");
  }
  size_t password = name.find("password=");
  if (password != std::string::npos) {
    size_t end = name.find(' ', password);
    name.replace(password + 9, end == std::string::npos ? std::string::npos : end - password - 9, "***");
  }
  return "PostgreSQL " + name;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  FILE* log_file = OpenLog(options.log_path);
  if (!log_file) return 1;
  ServerLog log(log_file);
  auto report = [&log](const std::string& line) { log.Write(LogTime() + " " + line); };
  RaiseFileLimit();
  const sigset_t signals = BlockSignals();
  if (mkdir(options.state_dir.c_str(), 0750) != 0 && errno != EEXIST) {
    report("cannot make the state folder " + options.state_dir + ": " + std::strerror(errno));
    return 1;
  }

  ReleaseStore releases(options.releases_root, report, options.state_dir + "/checksums.cache");
  releases.Refresh();

  // The fleet's records: written by the recorder's thread, read by the page.
  fleet::FleetPage::Opener open;
  std::string store_name;
  if (options.database == "sqlite") {
    std::string path = options.state_dir + "/fleet.sqlite";
    open = [path] { return fleet::OpenSqlite(path); };
    store_name = path;
  } else if (options.database != "off") {
    std::string conninfo = options.database;
    open = [conninfo] { return fleet::OpenPostgres(conninfo); };
    store_name = StoreName(conninfo);
  }
  std::unique_ptr<fleet::Recorder> recorder;
  if (open) {
    fleet::RecorderOptions recording;
    recording.max_queued_bytes = options.record_queue_bytes;
    recording.retention_days = options.retention_days;
    recording.server_name = options.server_name;
    recorder = std::make_unique<fleet::Recorder>(open, store_name, recording, report);
  }

  UpdateServer server(options.server, releases, log, recorder.get());
  if (!Listen(server, options, log)) return 1;
  std::unique_ptr<fleet::FleetPage> page;
  if (!recorder) report("recording off: no fleet records and no fleet page");
  if (options.page && recorder) {
    page = std::make_unique<fleet::FleetPage>(options.page_options, open, recorder.get());
    try {
      page->Listen();
    } catch (const std::exception& e) {
      report(e.what());
      return 1;
    }
    page->Start();
    report("page on " + page->url());
  }

  Rescanner rescanner(releases, options.rescan_s);
  std::string error;
  std::thread serving = StartServing(server, error);
  WaitForStop(signals, rescanner);
  server.Stop();
  log.Write(LogTime() + " stopping: no new conversations, " + std::to_string(options.server.grace_s) +
            " s for those in flight");
  serving.join();
  rescanner.Stop();
  if (page) page->Stop();
  // The last records get a few seconds to reach the store.
  if (recorder) recorder->Stop(std::chrono::seconds(std::max(5, options.server.grace_s)));
  if (!error.empty()) {
    log.Write(LogTime() + " " + error);
    return 1;
  }
  log.Write(LogTime() + " stopped");
  return 0;
}
