// Load generator for the reference update server: N simulated workstations
// that hold a conversation each, over and over, for a given time. Every
// client reports the same realistic inventory, made from a release tree:
// all its files with their CRC-32, three of them outdated, two missing,
// plus one foreign file. Prints sessions per second and latencies.
//
// With --fleet W the clients play a fleet of W workstations instead, each
// with its own user identifier ("ws-00042") and one of five inventories:
// up to date; one file drifted (one of seven, by workstation); two files
// missing; up to date with a foreign file; drifted with the foreign file.
// --rounds R then ends after R conversations of every workstation instead
// of after a time, and --report FILE writes what each workstation reported
// and the verdict it got (JSON). Every verdict is checked.
//
//   server_load --tree DIR [--address A] [--port P] [--suite S]
//               [--clients N] [--seconds S] [--fleet W [--rounds R] [--report FILE]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "inventory/crc32.h"
#include "wire/elements.h"
#include "wire/server_lists.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace ulmar;

struct Options {
  std::string tree, address = "127.0.0.1", suite = "BENCH", report;
  int port = 8090, clients = 1, seconds = 10, fleet = 0, rounds = 0;
};

// The inventory a simulated client sends after the opening, and the
// counts its verdict must have.
struct Workload {
  std::string opening, inventory;
  int files = 0, updates = 0, foreign = 0;
};

using FileList = std::vector<std::pair<std::string, uint32_t>>;

std::string Inventory(const std::string& suite, const std::string& user, const FileList& files) {
  std::string inventory = wire::EncodeLine(suite) + wire::EncodeLine(user) +
                          wire::EncodeInt32(static_cast<int32_t>(files.size()));
  for (auto& [name, crc] : files) inventory += wire::EncodeUInt32(crc) + wire::EncodeLine(name);
  return inventory + wire::EncodeInt32(0);
}

// The release tree's files with their CRC-32: its top and first-level
// folders, as clients report them.
FileList TreeFiles(const Options& o) {
  std::vector<std::pair<std::string, uint32_t>> files;
  std::vector<std::string> tops;
  for (const auto& e : fs::directory_iterator(o.tree)) tops.push_back(e.path().filename().string());
  std::sort(tops.begin(), tops.end());
  for (const std::string& top : tops) {
    fs::path path = fs::path(o.tree) / top;
    if (fs::is_regular_file(path)) {
      files.emplace_back(top, 0);
    } else if (fs::is_directory(path)) {
      std::vector<std::string> inner;
      for (const auto& e : fs::directory_iterator(path)) {
        if (e.is_regular_file()) inner.push_back(e.path().filename().string());
      }
      std::sort(inner.begin(), inner.end());
      for (const std::string& name : inner) files.emplace_back(top + "\\" + name, 0);
    }
  }
  std::vector<char> buffer;
  for (auto& [name, crc] : files) {
    std::string disk = name;
    std::replace(disk.begin(), disk.end(), '\\', '/');
    if (!FileCRC32(o.tree + "/" + disk, &crc, &buffer)) {
      std::fprintf(stderr, "cannot read %s\n", disk.c_str());
      std::exit(1);
    }
  }
  if (files.size() < 10) {
    std::fprintf(stderr, "the tree has too few files\n");
    std::exit(1);
  }
  return files;
}

Workload MakeWorkload(const Options& o) {
  FileList files = TreeFiles(o);
  Workload w;
  for (int i = 0; i < 3; ++i) files[i * 7].second ^= 1;  // outdated
  files.erase(files.end() - 2, files.end());               // missing
  files.emplace_back("Forms\\scratch.tmp", 42);             // foreign
  w.updates = 5;
  w.foreign = 1;
  w.files = static_cast<int>(files.size());
  w.opening = wire::EncodeInt32(1) + wire::EncodeLine(wire::kProtocolId);
  w.inventory = Inventory(o.suite, "bench", files);
  return w;
}

// One workstation of a fleet: its inventory, the verdict's counts it must
// get, and what it reports for the fleet's records.
struct Workstation {
  std::string user;
  int kind = 0;
  std::string drifted;  // the release path reported with another CRC
  bool foreign = false;
  Workload workload;
};

inline constexpr char kForeignFile[] = "Forms\\scratch.tmp";

std::vector<Workstation> MakeFleet(const Options& o) {
  const FileList tree = TreeFiles(o);
  std::vector<Workstation> fleet(o.fleet);
  for (int i = 0; i < o.fleet; ++i) {
    Workstation& ws = fleet[i];
    char user[32];
    std::snprintf(user, sizeof user, "ws-%05d", i);
    ws.user = user;
    ws.kind = i % 5;
    FileList files = tree;
    Workload& w = ws.workload;
    if (ws.kind == 1 || ws.kind == 4) {
      auto& file = files[(static_cast<size_t>(i) / 5 % 7) * 3 % files.size()];
      file.second ^= 1;
      ws.drifted = file.first;
      w.updates = 1;
    }
    if (ws.kind == 2) {
      files.erase(files.end() - 2, files.end());
      w.updates = 2;
    }
    if (ws.kind == 3 || ws.kind == 4) {
      files.emplace_back(kForeignFile, 42);
      ws.foreign = true;
      w.foreign = 1;
    }
    w.files = static_cast<int>(files.size());
    w.opening = wire::EncodeInt32(1) + wire::EncodeLine(wire::kProtocolId);
    w.inventory = Inventory(o.suite, ws.user, files);
  }
  return fleet;
}

// A JSON string of a name (code page 1251 names of the tree are ASCII here).
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void WriteReport(const std::string& path, const std::vector<Workstation>& fleet, long sessions, long failures) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fprintf(out, "{\"sessions\": %ld, \"failed\": %ld, \"workstations\": [\n", sessions, failures);
  for (size_t i = 0; i < fleet.size(); ++i) {
    const Workstation& ws = fleet[i];
    std::fprintf(out, "  {\"user\": %s, \"kind\": %d, \"files\": %d, \"update\": %d, \"foreign\": %d, \"drifted\": %s, "
                      "\"foreign_file\": %s}%s\n",
                 JsonText(ws.user).c_str(), ws.kind, ws.workload.files, ws.workload.updates, ws.workload.foreign,
                 ws.drifted.empty() ? "null" : JsonText(ws.drifted).c_str(),
                 ws.foreign ? JsonText(kForeignFile).c_str() : "null", i + 1 < fleet.size() ? "," : "");
  }
  std::fprintf(out, "]}\n");
  std::fclose(out);
}

// Receives until the reader has what it wants; false when the server
// closed first, a line was refused or the receive failed.
bool Receive(int fd, const std::function<bool(std::string_view)>& take) {
  char block[65536];
  for (;;) {
    ssize_t got = recv(fd, block, sizeof block, 0);
    if (got <= 0) return false;
    if (take(std::string_view(block, static_cast<size_t>(got)))) return true;
  }
}

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t put = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) return false;
    sent += static_cast<size_t>(put);
  }
  return true;
}

// One whole conversation; false when anything went wrong.
bool Session(const sockaddr_in& address, const Workload& w) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool ok = false;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && SendAll(fd, w.opening)) {
    // The server's identifier; what may follow it in the same receive
    // already belongs to the reply.
    std::string received;
    size_t identifier_end = 0;
    bool identified = Receive(fd, [&](std::string_view bytes) {
      received.append(bytes);
      identifier_end = received.find('\n');
      return identifier_end != std::string::npos;
    });
    wire::ServerLists lists;
    wire::ListCollector collector(lists);
    wire::ReplyReader reader(collector);
    wire::ReplyReader::Result result = wire::ReplyReader::Result::NeedMore;
    auto done = [&](std::string_view bytes) {
      result = reader.Feed(bytes);
      return result != wire::ReplyReader::Result::NeedMore;
    };
    ok = identified && SendAll(fd, w.inventory) &&
         (done(std::string_view(received).substr(identifier_end + 1)) || Receive(fd, done)) &&
         result == wire::ReplyReader::Result::Done &&
         lists.UpdateCount == w.updates && static_cast<int>(lists.ForeignFiles.size()) == w.foreign &&
         lists.FilesToUpdate.size() == 2u * w.updates;
  }
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--tree") o.tree = value;
    else if (option == "--address") o.address = value;
    else if (option == "--port") o.port = std::atoi(value);
    else if (option == "--suite") o.suite = value;
    else if (option == "--clients") o.clients = std::atoi(value);
    else if (option == "--seconds") o.seconds = std::atoi(value);
    else if (option == "--fleet") o.fleet = std::atoi(value);
    else if (option == "--rounds") o.rounds = std::atoi(value);
    else if (option == "--report") o.report = value;
  }
  if (o.tree.empty()) {
    std::fprintf(stderr, "usage: server_load --tree DIR [--address A] [--port P] [--suite S] [--clients N] [--seconds S]"
                         " [--fleet W [--rounds R] [--report FILE]]\n");
    return 2;
  }
  Workload w = MakeWorkload(o);
  const std::vector<Workstation> fleet = MakeFleet(o);
  // With a fleet, each conversation is the next workstation's, in turn.
  std::atomic<long> next{0};
  const long total = o.fleet && o.rounds ? static_cast<long>(o.fleet) * o.rounds : -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(o.port));
  inet_pton(AF_INET, o.address.c_str(), &address.sin_addr);

  std::atomic<long> sessions{0}, failures{0};
  std::mutex mutex;
  std::vector<double> latencies;
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(o.seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < o.clients; ++c) {
    clients.emplace_back([&] {
      std::vector<double> mine;
      for (;;) {
        const Workload* load = &w;
        if (o.fleet) {
          long n = next++;
          if (total >= 0 ? n >= total : Clock::now() >= deadline) break;
          load = &fleet[static_cast<size_t>(n % o.fleet)].workload;
        } else if (Clock::now() >= deadline) {
          break;
        }
        auto t = Clock::now();
        if (Session(address, *load)) {
          ++sessions;
          mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        } else {
          ++failures;
        }
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& t : clients) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
  };
  if (!o.report.empty()) WriteReport(o.report, fleet, sessions.load(), failures.load());
  std::printf("clients %5d  files/inventory %d  sessions %7ld  failed %ld  %8.1f sessions/s  latency p50 %.1f ms  p99 %.1f ms\n",
              o.clients, w.files, sessions.load(), failures.load(), sessions.load() / elapsed, percentile(0.5),
              percentile(0.99));
  return failures.load() == 0 ? 0 : 1;
}
