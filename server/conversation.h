// The server's side of one conversation, free of I/O: it takes the bytes
// the client sends and hands each element of the opening, the identity and
// the inventory to a sink as soon as it is complete.
//
//   Int32 1, Line protocol identifier      -> OnOpening (answer with ours)
//   Line suite code                        -> OnSuite (may refuse)
//   Line user identifier                   -> OnUser
//   Int32 N, N x (UInt32 CRC, Line name)   -> OnFile
//   Int32 M, M x (Int32 kind, Line name, Line database, Line server)
//                                          -> OnDataSource
//
// A count of 0 or less carries no elements. Anything else that breaks the
// form, or a count above the limits, fails the conversation with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/records.h"

namespace ulmar::server {

struct ConversationLimits {
  int32_t max_files = 200000;
  int32_t max_data_sources = 10000;
  // All the bytes of the opening, identity and inventory together: what a
  // conversation may make the server hold (its foreign files) stays bounded.
  size_t max_bytes = 64u << 20;
};

class InventorySink {
 public:
  virtual ~InventorySink() = default;
  virtual void OnOpening(const std::string& protocol_id) = 0;
  // Returns a reason to refuse the client, or an empty text to go on.
  virtual std::string OnSuite(const std::string& suite) = 0;
  virtual void OnUser(const std::string& user) = 0;
  virtual void OnFileCount(int32_t count) = 0;
  virtual void OnFile(uint32_t crc, const std::string& name) = 0;
  virtual void OnDataSourceCount(int32_t count) = 0;
  virtual void OnDataSource(const TDBAlias& source) = 0;
};

class InventoryReader {
 public:
  enum class Result { NeedMore, Done, Failed };

  InventoryReader(InventorySink& sink, ConversationLimits limits);

  // Parses as far as the bytes received so far go. Bytes after the
  // inventory are ignored.
  Result Feed(std::string_view bytes);
  // Why the conversation failed (UTF-8).
  const std::string& failure() const { return failure_; }

 private:
  enum class Step { Opening, ProtocolId, Suite, User, FileCount, FileCrc, FileName, SourceCount, SourceKind,
                    SourceName, SourceDatabase, SourceServer, Done, Failed };

  Result Parse();
  bool TakeInt32(int32_t* value);
  bool TakeLine(std::string* line);
  // Ends the conversation with a reason.
  Result Refuse(std::string why);
  // A list's count: its elements follow from first on (none when the count
  // is 0 or less, then after); false when it is above the limit.
  bool StartList(int32_t count, int32_t limit, const char* what, Step first, Step after);
  // After an element could not be taken: a refused line, or more to wait for.
  Result Pending() const;
  void AfterSource();

  InventorySink& sink_;
  ConversationLimits limits_;
  Step step_ = Step::Opening;
  std::string buffer_;
  std::string line_;
  size_t position_ = 0;
  size_t received_ = 0;
  int32_t remaining_ = 0;
  uint32_t crc_ = 0;
  TDBAlias source_;
  std::string failure_;
};

}  // namespace ulmar::server
