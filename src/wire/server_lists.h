// The server's answer to an inventory: five lists, in this order on the wire.
//   FtpServers       Int32 n, n Lines
//   ForeignFiles     Int32 n, n Lines
//   FilesToUpdate    Int32 n, n x (Line remote path, Line local path)
//   NewDataSources   Int32 n, n x (Int32 kind, Line name, database, server)
//   FilesToDelete    Int32 n, n Lines
// A count of 0 or less carries no elements. The reference server encodes
// them; the client and the load generator read them with ReplyReader,
// which takes bytes as they arrive and hands each element to a sink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/records.h"

namespace ulmar::wire {

struct ServerLists {
  std::vector<std::string> FtpServers;
  std::vector<std::string> ForeignFiles;
  // Two entries per file: the remote path at 2i, the local path at 2i + 1.
  std::vector<std::string> FilesToUpdate;
  // The count received for FilesToUpdate; it may be 0 or negative. The
  // encoder sends the count of pairs in FilesToUpdate instead.
  int32_t UpdateCount = 0;
  std::vector<TDBAlias> NewDataSources;
  std::vector<std::string> FilesToDelete;
};

// The five lists in wire form.
std::string EncodeServerLists(const ServerLists& lists);

// What a reply past ReplyReader::kMaxHeld fails with.
inline constexpr char kReplyTooLarge[] = "Reply too large.";

enum class ReplyList { FtpServers, ForeignFiles, FilesToUpdate, NewDataSources, FilesToDelete };

// Receives the reply's elements in the order they stand on the wire.
class ReplySink {
 public:
  virtual ~ReplySink() = default;
  // A list's count, as received.
  virtual void OnCount(ReplyList list, int32_t count) = 0;
  virtual void OnFtpServer(std::string entry) = 0;
  virtual void OnForeignFile(std::string path) = 0;
  virtual void OnFileToUpdate(std::string remote, std::string local) = 0;
  // The kind keeps the low eight bits of the Int32 received.
  virtual void OnNewDataSource(TDBAlias source) = 0;
  virtual void OnFileToDelete(std::string path) = 0;
  // After the list's last element (right after its count when it has none).
  virtual void OnListEnd(ReplyList list) = 0;
};

// Fills a ServerLists, elements appended in the order received.
class ListCollector : public ReplySink {
 public:
  explicit ListCollector(ServerLists& lists) : lists_(lists) {}
  void OnCount(ReplyList list, int32_t count) override;
  void OnFtpServer(std::string entry) override { lists_.FtpServers.push_back(std::move(entry)); }
  void OnForeignFile(std::string path) override { lists_.ForeignFiles.push_back(std::move(path)); }
  void OnFileToUpdate(std::string remote, std::string local) override;
  void OnNewDataSource(TDBAlias source) override { lists_.NewDataSources.push_back(std::move(source)); }
  void OnFileToDelete(std::string path) override { lists_.FilesToDelete.push_back(std::move(path)); }
  void OnListEnd(ReplyList) override {}

 private:
  ServerLists& lists_;
};

// The reply read as it arrives; sans-I/O. Only the remainder of an element
// cut off by the end of a chunk is kept between feeds. Counts never size
// anything: the lists grow with what actually arrives.
class ReplyReader {
 public:
  enum class Result { NeedMore, Done, LineTooLong, TooLarge };
  // What the lists may hold in all, counting each element's bytes and what
  // keeping it costs besides: a server that announces 2^31-1 lines and then
  // sends line feeds would otherwise fill the 32-bit client's address space.
  // The reference server bounds an inventory the same way.
  static constexpr size_t kMaxHeld = 64u << 20;
  static constexpr size_t kElementCost = sizeof(std::string);

  explicit ReplyReader(ReplySink& sink, size_t max_held = kMaxHeld) : sink_(sink), max_held_(max_held) {}
  // Takes what the bytes complete. After Done, further bytes are ignored.
  Result Feed(std::string_view bytes);

 private:
  enum class Step { Count, Entry, Done, Failed };

  Result Parse(std::string_view data, size_t* consumed);
  void EndList();

  ReplySink& sink_;
  size_t max_held_;
  size_t held_ = 0;
  Result failure_ = Result::LineTooLong;
  ReplyList list_ = ReplyList::FtpServers;
  Step step_ = Step::Count;
  int32_t remaining_ = 0;
  std::string pending_;
};

}  // namespace ulmar::wire
