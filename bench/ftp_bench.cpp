// Downloads one file with our FTP client and prints the throughput.
// Usage: ftp_bench HOST PORT REMOTE_DIR REMOTE_NAME LOCAL_PATH
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "apply/partial_file.h"
#include "base/partial_file.h"
#include "net/ftp_client.h"
#include "base/errors.h"
#include "platform/file.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: ftp_bench HOST PORT REMOTE_DIR REMOTE_NAME LOCAL_PATH\n");
    return 2;
  }
  try {
    ulmar::FtpClient ftp(nullptr, nullptr);
    ftp.SetLogin(argv[1], "repl", "kestrel");
    ftp.UsePort(static_cast<uint16_t>(std::atoi(argv[2])));
    ftp.Connect();
    ftp.ChangeDirectory(argv[3]);
    auto start = std::chrono::steady_clock::now();
    ulmar::PartialFile file(argv[5], std::string(argv[5]) + ulmar::kPartialSuffix);
    ftp.Retrieve(argv[4], file);
    file.Commit();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ftp.Disconnect();
    std::printf("%.3f\n", seconds);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ftp_bench: %s\n", e.what());
    return 1;
  }
}
