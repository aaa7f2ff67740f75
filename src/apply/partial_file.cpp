#include "apply/partial_file.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "base/errors.h"
#include "base/partial_file.h"

namespace ulmar {
namespace {

// How often a wait on the disk or on another program looks again.
constexpr int kPollMs = 10;

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of("\\/") + 1); }

// Raises InOutError, with the system's reason, when the move at the end
// would be refused for the destination itself. An existing file is opened
// for writing without being truncated; a new file's folder is tried with a
// file of the partial name (ignored by the scan, removed at once), unless it
// is the partial file's own folder, which its creation tries anyway.
void CheckReplaceable(const std::string& destination, const std::string& partial) {
  if (FileExists(destination)) {
    File::OpenForAppend(destination).Close();
    return;
  }
  const std::string folder = FolderOf(destination);
  if (folder == FolderOf(partial)) return;
  const std::string probe = folder + kPartialName;
  File::CreateForWrite(probe).Close();
  DeleteFileAt(probe);
}

File CreateChecked(const std::string& destination, const std::string& partial) {
  CheckReplaceable(destination, partial);
  return File::CreateForWrite(partial);
}

}  // namespace

PartialFile::PartialFile(std::string destination, std::string partial, Heartbeat* heartbeat, int patience_ms)
    : destination_(std::move(destination)),
      heartbeat_(heartbeat),
      patience_ms_(patience_ms),
      partial_(std::move(partial)),
      lift_(destination_),
      file_(CreateChecked(destination_, partial_)) {}

PartialFile::~PartialFile() {
  if (committed_) return;
  try {
    file_.Close();
  } catch (...) {
    // The transfer failed already; the partial file goes either way.
  }
  DeleteFileAt(partial_);
}

void PartialFile::Write(std::string_view bytes) { file_.Write(bytes); }

void PartialFile::Commit() {
  FinishWriting();
  MoveIntoPlace();
}

// Writing a large file through to the disk takes seconds: it runs on a
// short-lived worker while this thread keeps the window answering.
void PartialFile::FinishWriting() {
  std::exception_ptr failure;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      file_.Flush();
    } catch (...) {
      failure = std::current_exception();
    }
    done = true;
  });
  try {
    while (!done) {
      const int due = heartbeat_ ? heartbeat_->MillisecondsUntilDue() : kPollMs;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(due, 1, kPollMs)));
      Tick(heartbeat_);
    }
  } catch (...) {
    worker.join();  // whatever the window's handling raised, the worker ends first
    throw;
  }
  worker.join();
  if (failure) std::rethrow_exception(failure);
  file_.Close();
}

void PartialFile::MoveIntoPlace() {
  const int64_t give_up = SteadyMilliseconds() + patience_ms_;
  for (;;) {
    bool busy = false;
    if (TryReplaceFile(partial_, destination_, &busy)) {
      committed_ = true;
      lift_.Keep();
      return;
    }
    const std::string why = LastFileErrorText();
    if (!busy || SteadyMilliseconds() >= give_up) throw InOutError(why);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    Tick(heartbeat_);
  }
}

}  // namespace ulmar
