#include "wire/server_lists.h"

#include "wire/cursor.h"
#include "wire/elements.h"

namespace ulmar::wire {
namespace {

void PutLines(std::string& out, const std::vector<std::string>& lines) {
  out += EncodeInt32(static_cast<int32_t>(lines.size()));
  for (const std::string& line : lines) out += EncodeLine(line);
}

}  // namespace

std::string EncodeServerLists(const ServerLists& lists) {
  std::string out;
  PutLines(out, lists.FtpServers);
  PutLines(out, lists.ForeignFiles);
  out += EncodeInt32(static_cast<int32_t>(lists.FilesToUpdate.size() / 2));
  for (const std::string& line : lists.FilesToUpdate) out += EncodeLine(line);
  out += EncodeInt32(static_cast<int32_t>(lists.NewDataSources.size()));
  for (const TDBAlias& s : lists.NewDataSources) {
    out += EncodeInt32(s.Kind);
    out += EncodeLine(s.Name);
    out += EncodeLine(s.Database);
    out += EncodeLine(s.Server);
  }
  PutLines(out, lists.FilesToDelete);
  return out;
}

void ListCollector::OnCount(ReplyList list, int32_t count) {
  if (list == ReplyList::FilesToUpdate) lists_.UpdateCount = count;
}

void ListCollector::OnFileToUpdate(std::string remote, std::string local) {
  lists_.FilesToUpdate.push_back(std::move(remote));
  lists_.FilesToUpdate.push_back(std::move(local));
}

ReplyReader::Result ReplyReader::Feed(std::string_view bytes) {
  if (step_ == Step::Done) return Result::Done;
  if (step_ == Step::Failed) return failure_;
  pending_.append(bytes);
  size_t consumed = 0;
  Result result = Parse(pending_, &consumed);
  if (result == Result::NeedMore) {
    pending_.erase(0, consumed);
  } else {
    pending_.clear();  // whatever follows the last list is not ours to read
  }
  return result;
}

void ReplyReader::EndList() {
  sink_.OnListEnd(list_);
  if (list_ == ReplyList::FilesToDelete) {
    step_ = Step::Done;
  } else {
    list_ = static_cast<ReplyList>(static_cast<int>(list_) + 1);
    step_ = Step::Count;
  }
}

ReplyReader::Result ReplyReader::Parse(std::string_view data, size_t* consumed) {
  for (;;) {
    // Each element is taken whole or not at all.
    Cursor in(data.substr(*consumed));
    if (step_ == Step::Done) return Result::Done;
    if (step_ == Step::Count) {
      int32_t count = 0;
      if (!in.Int32(&count)) return Result::NeedMore;
      *consumed += in.consumed();
      sink_.OnCount(list_, count);
      remaining_ = count;
      if (count > 0) {
        step_ = Step::Entry;
      } else {
        EndList();
      }
      continue;
    }
    std::string a, b, c;
    int32_t kind = 0;
    bool whole = false;
    switch (list_) {
      case ReplyList::FilesToUpdate:
        whole = in.Line(&a) && in.Line(&b);
        break;
      case ReplyList::NewDataSources:
        whole = in.Int32(&kind) && in.Line(&a) && in.Line(&b) && in.Line(&c);
        break;
      default:
        whole = in.Line(&a);
        break;
    }
    if (!whole) {
      if (!in.failed()) return Result::NeedMore;
      step_ = Step::Failed;
      return failure_ = Result::LineTooLong;
    }
    *consumed += in.consumed();
    held_ += a.size() + b.size() + c.size() + kElementCost;
    if (held_ > max_held_) {
      step_ = Step::Failed;
      return failure_ = Result::TooLarge;
    }
    switch (list_) {
      case ReplyList::FtpServers: sink_.OnFtpServer(std::move(a)); break;
      case ReplyList::ForeignFiles: sink_.OnForeignFile(std::move(a)); break;
      case ReplyList::FilesToUpdate: sink_.OnFileToUpdate(std::move(a), std::move(b)); break;
      case ReplyList::NewDataSources:
        sink_.OnNewDataSource(TDBAlias{std::move(a), std::move(b), std::move(c), static_cast<uint8_t>(kind & 0xFF)});
        break;
      case ReplyList::FilesToDelete: sink_.OnFileToDelete(std::move(a)); break;
    }
    if (--remaining_ == 0) EndList();
  }
}

}  // namespace ulmar::wire
