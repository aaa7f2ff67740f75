// ulmar-update-server: the reference update server. Answers each client's
// inventory with the verdict of the release for its suite code.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "release.h"
#include "server.h"

namespace {

using namespace ulmar::server;

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
    "  --grace S             seconds in-flight conversations get after SIGTERM (default 10)\n";

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

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  options.threads = std::max(1u, std::thread::hardware_concurrency());
  std::string releases_root, log_path;
  int rescan_s = 5;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) Usage(option + " wants a value");
    const char* value = argv[++i];
    if (option == "--releases") {
      releases_root = value;
    } else if (option == "--listen") {
      std::string listen = value;
      size_t colon = listen.rfind(':');
      options.address = listen.substr(0, colon);
      if (colon != std::string::npos) options.port = static_cast<uint16_t>(Number(value + colon + 1, "--listen's port", 0, 65535));
    } else if (option == "--log") {
      log_path = value;
    } else if (option == "--threads") {
      options.threads = Number(value, "--threads", 1, 256);
    } else if (option == "--max-connections") {
      options.max_connections = Number(value, "--max-connections", 1, 1000000);
    } else if (option == "--idle-limit") {
      options.idle_limit_s = Number(value, "--idle-limit", 1, 86400);
    } else if (option == "--conversation-limit") {
      options.conversation_limit_s = Number(value, "--conversation-limit", 1, 86400);
    } else if (option == "--max-files") {
      options.limits.max_files = Number(value, "--max-files", 0, 100000000);
    } else if (option == "--max-sources") {
      options.limits.max_data_sources = Number(value, "--max-sources", 0, 100000000);
    } else if (option == "--max-inventory-mib") {
      options.limits.max_bytes = static_cast<size_t>(Number(value, "--max-inventory-mib", 1, 4096)) << 20;
    } else if (option == "--rescan") {
      rescan_s = Number(value, "--rescan", 1, 86400);
    } else if (option == "--grace") {
      options.grace_s = Number(value, "--grace", 0, 3600);
    } else {
      Usage("unknown option " + option);
    }
  }
  if (releases_root.empty()) Usage("--releases is required");

  FILE* log_file = stdout;
  if (!log_path.empty()) {
    log_file = std::fopen(log_path.c_str(), "a");
    if (!log_file) {
      std::fprintf(stderr, "ulmar-update-server: cannot open %s: %s\n", log_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  ServerLog log(log_file);

  // Every conversation holds a socket: allow as many as the system lets us.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Signals are taken by the main thread alone, with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ReleaseStore releases(releases_root, [&log](const std::string& line) { log.Write(LogTime() + " " + line); });
  releases.Refresh();

  UpdateServer server(options, releases, log);
  try {
    server.Listen();
  } catch (const std::exception& e) {
    log.Write(LogTime() + " " + e.what());
    return 1;
  }
  log.Write(LogTime() + " listening on " + options.address + ":" + std::to_string(server.port()) + " with " +
            std::to_string(options.threads) + " threads, releases in " + releases_root);

  // The releases are looked at again every few seconds; only what changed
  // is read again (the fingerprint reads no contents).
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false, refresh_now = false;
  std::thread rescanner([&] {
    std::unique_lock lock(mutex);
    while (!stopping) {
      wake.wait_for(lock, std::chrono::seconds(rescan_s), [&] { return stopping || refresh_now; });
      if (stopping) break;
      refresh_now = false;
      lock.unlock();
      releases.Refresh();
      lock.lock();
    }
  });

  std::string error;
  std::thread serving([&] {
    try {
      server.Run();
    } catch (const std::exception& e) {
      error = e.what();
    }
    // Wakes the main thread when the workers end on their own.
    kill(getpid(), SIGTERM);
  });

  for (;;) {
    int number = 0;
    sigwait(&signals, &number);
    if (number == SIGHUP) {
      std::lock_guard lock(mutex);
      refresh_now = true;
      wake.notify_all();
      continue;
    }
    break;
  }
  log.Write(LogTime() + " stopping: no new conversations, " + std::to_string(options.grace_s) +
            " s for those in flight");
  server.Stop();
  serving.join();
  {
    std::lock_guard lock(mutex);
    stopping = true;
    wake.notify_all();
  }
  rescanner.join();
  if (!error.empty()) {
    log.Write(LogTime() + " " + error);
    return 1;
  }
  log.Write(LogTime() + " stopped");
  return 0;
}
