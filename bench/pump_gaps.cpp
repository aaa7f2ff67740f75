// How long the window goes without its messages handled while the session
// works: the longest gap between two beats of the session's heartbeat during
// a download (our FTP client into a partial file, as the download stage
// does) or a scan (the inventory's checksums). Under Windows (and Wine) each
// beat is a real message pump of this thread, as the window's is.
// Usage: pump_gaps scan ROOT BYTES  (BYTES: the tree's size, for the rate)
//        pump_gaps download HOST PORT REMOTE_DIR REMOTE_NAME LOCAL_PATH
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "apply/partial_file.h"
#include "base/partial_file.h"
#include "base/heartbeat.h"
#include "inventory/scan.h"
#include "net/ftp_client.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Handles whatever is waiting in this thread's message queue.
void PumpMessages() {
#ifdef _WIN32
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
#endif
}

// The gaps between beats: from the end of one to the start of the next, and
// from the start of the work to the first beat and from the last to its end.
class GapRecorder {
 public:
  GapRecorder() : last_end_(Clock::now()), start_(last_end_) {}
  void Beat() {
    Clock::time_point begin = Clock::now();
    gaps_.push_back(Ms(begin - last_end_));
    PumpMessages();
    last_end_ = Clock::now();
  }
  void Report(const char* what, double bytes) {
    Clock::time_point end = Clock::now();
    gaps_.push_back(Ms(end - last_end_));
    double seconds = Ms(end - start_) / 1000;
    std::vector<double> sorted = gaps_;
    std::sort(sorted.begin(), sorted.end());
    size_t longest = static_cast<size_t>(std::max_element(gaps_.begin(), gaps_.end()) - gaps_.begin());
    std::printf(
        "%-9s %7.1f MiB in %6.2f s (%6.1f MB/s): %6zu pumps, gap median %5.1f ms, 99th %5.1f ms, longest %5.1f ms "
        "(gap %zu of %zu)\n",
        what, bytes / 1048576.0, seconds, bytes / seconds / 1e6, gaps_.size() - 1, sorted[sorted.size() / 2],
        sorted[sorted.size() * 99 / 100], sorted.back(), longest + 1, gaps_.size());
  }

 private:
  Clock::time_point last_end_, start_;
  std::vector<double> gaps_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  try {
    GapRecorder gaps;
    ulmar::Heartbeat heartbeat([&] { gaps.Beat(); });
    if (mode == "scan" && argc == 4) {
      ulmar::ScanDir(argv[2], &heartbeat);
      gaps.Report("scan", std::atof(argv[3]));
      return 0;
    }
    if (mode == "download" && argc == 7) {
      ulmar::FtpClient ftp(&heartbeat, nullptr);
      ftp.SetLogin(argv[2], "repl", "kestrel");
      ftp.UsePort(static_cast<uint16_t>(std::atoi(argv[3])));
      ftp.Connect();
      ftp.ChangeDirectory(argv[4]);
      ulmar::PartialFile file(argv[6], std::string(argv[6]) + ulmar::kPartialSuffix, &heartbeat);
      struct Counting : ulmar::ByteSink {
        ulmar::ByteSink& to;
        double bytes = 0;
        explicit Counting(ulmar::ByteSink& t) : to(t) {}
        void Write(std::string_view b) override {
          bytes += static_cast<double>(b.size());
          to.Write(b);
        }
      } counting(file);
      ftp.Retrieve(argv[5], counting);
      file.Commit();
      ftp.Disconnect();
      gaps.Report("download", counting.bytes);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pump_gaps: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: pump_gaps scan ROOT BYTES | pump_gaps download HOST PORT REMOTE_DIR REMOTE_NAME LOCAL_PATH\n");
  return 2;
}
