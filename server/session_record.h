// What the server keeps of one conversation for the fleet's records: who
// the client was, what it reported, the verdict's counts and names, and how
// the conversation ended. Built when the conversation closes and handed to
// a sink (the recorder) that must never make the conversation wait.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ulmar::server {

// Of each verdict list at most this many names are kept, and of all lists
// together at most this many bytes (the counts stay whole): a client with
// 200,000 foreign files must not fill the store, and thousands of
// conversations that keep their connections open must not fill the
// server's memory with names.
inline constexpr size_t kMaxRecordedNames = 1000;
inline constexpr size_t kMaxRecordedNameBytes = 64 * 1024;

struct SessionRecord {
  int64_t time = 0;     // Unix seconds, when the conversation ended
  std::string peer;     // "10.4.7.31:46232"
  std::string address;  // "10.4.7.31"
  int64_t duration_ms = 0;
  // Texts from the client, code page 1251; absent when the conversation
  // ended before the client sent them.
  std::optional<std::string> suite, user;
  std::optional<int32_t> files, sources;
  // The verdict, when one was made: its counts, and its names (code page
  // 1251, at most kMaxRecordedNames of each).
  bool has_verdict = false;
  int32_t update = 0;
  size_t foreign = 0, new_sources = 0, deletions = 0;
  std::vector<std::string> drifted;  // release paths the client has with another checksum
  std::vector<std::string> missing;  // release paths the client lacks
  std::vector<std::string> update_names;  // the client's local paths of all files to update
  std::vector<std::string> foreign_names;
  std::vector<std::string> source_names;
  std::vector<std::string> deletion_names;
  bool ok = true;
  std::string reason;  // UTF-8, when the conversation failed
};

// Takes each conversation's record; called from the server's worker
// threads, so it must be quick and must not block.
class SessionSink {
 public:
  virtual ~SessionSink() = default;
  virtual void Record(SessionRecord record) = 0;
};

}  // namespace ulmar::server
