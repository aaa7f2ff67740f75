#include "conversation.h"

#include "wire/cursor.h"

namespace ulmar::server {

InventoryReader::InventoryReader(InventorySink& sink, ConversationLimits limits) : sink_(sink), limits_(limits) {}

bool InventoryReader::TakeInt32(int32_t* value) {
  wire::Cursor in(std::string_view(buffer_).substr(position_));
  if (!in.Int32(value)) return false;
  position_ += in.consumed();
  return true;
}

bool InventoryReader::TakeLine(std::string* line) {
  wire::Cursor in(std::string_view(buffer_).substr(position_));
  if (in.Line(line)) {
    position_ += in.consumed();
    return true;
  }
  if (in.failed()) Refuse("a line longer than " + std::to_string(wire::kMaxLineLength) + " bytes");
  return false;
}

InventoryReader::Result InventoryReader::Refuse(std::string why) {
  step_ = Step::Failed;
  failure_ = std::move(why);
  return Result::Failed;
}

bool InventoryReader::StartList(int32_t count, int32_t limit, const char* what, Step first, Step after) {
  if (count > limit) {
    Refuse(std::string("a ") + what + " count of " + std::to_string(count) + ", above the limit of " +
         std::to_string(limit));
    return false;
  }
  remaining_ = count;
  step_ = count > 0 ? first : after;
  return true;
}

InventoryReader::Result InventoryReader::Pending() const {
  return step_ == Step::Failed ? Result::Failed : Result::NeedMore;
}

void InventoryReader::AfterSource() {
  sink_.OnDataSource(source_);
  step_ = --remaining_ > 0 ? Step::SourceKind : Step::Done;
}

InventoryReader::Result InventoryReader::Feed(std::string_view bytes) {
  if (step_ == Step::Done) return Result::Done;
  if (step_ == Step::Failed) return Result::Failed;
  received_ += bytes.size();
  if (received_ > limits_.max_bytes) {
    return Refuse("an inventory of more than " + std::to_string(limits_.max_bytes) + " bytes");
  }
  buffer_.append(bytes);
  Result result = Parse();
  // Only what is left of an element stays; a conversation at rest should
  // not hold a whole receive block.
  buffer_.erase(0, position_);
  position_ = 0;
  if (buffer_.capacity() > 8192 && buffer_.capacity() > 4 * buffer_.size()) buffer_.shrink_to_fit();
  return result;
}

InventoryReader::Result InventoryReader::Parse() {
  for (;;) {
    int32_t number = 0;
    std::string& line = line_;  // reused: most names fit the capacity already there
    switch (step_) {
      case Step::Opening:
        if (!TakeInt32(&number)) return Result::NeedMore;
        if (number != 1) return Refuse("the opening is " + std::to_string(number) + ", not 1");
        step_ = Step::ProtocolId;
        break;
      case Step::ProtocolId:
        if (!TakeLine(&line)) return Pending();
        sink_.OnOpening(line);
        step_ = Step::Suite;
        break;
      case Step::Suite:
        if (!TakeLine(&line)) return Pending();
        if (std::string refusal = sink_.OnSuite(line); !refusal.empty()) return Refuse(refusal);
        step_ = Step::User;
        break;
      case Step::User:
        if (!TakeLine(&line)) return Pending();
        sink_.OnUser(line);
        step_ = Step::FileCount;
        break;
      case Step::FileCount:
        if (!TakeInt32(&number)) return Result::NeedMore;
        if (!StartList(number, limits_.max_files, "file", Step::FileCrc, Step::SourceCount)) return Result::Failed;
        sink_.OnFileCount(number);
        break;
      case Step::FileCrc:
        if (!TakeInt32(&number)) return Result::NeedMore;
        crc_ = static_cast<uint32_t>(number);
        step_ = Step::FileName;
        break;
      case Step::FileName:
        if (!TakeLine(&line)) return Pending();
        sink_.OnFile(crc_, line);
        step_ = --remaining_ > 0 ? Step::FileCrc : Step::SourceCount;
        break;
      case Step::SourceCount:
        if (!TakeInt32(&number)) return Result::NeedMore;
        if (!StartList(number, limits_.max_data_sources, "data-source", Step::SourceKind, Step::Done)) {
          return Result::Failed;
        }
        sink_.OnDataSourceCount(number);
        break;
      case Step::SourceKind:
        if (!TakeInt32(&number)) return Result::NeedMore;
        if (number < SystemDsn || number > ParadoxAlias) {
          return Refuse("a data-source kind of " + std::to_string(number) + ", none of 0, 1, 2");
        }
        source_ = TDBAlias{};
        source_.Kind = static_cast<uint8_t>(number);
        step_ = Step::SourceName;
        break;
      case Step::SourceName:
        if (!TakeLine(&source_.Name)) return Pending();
        step_ = Step::SourceDatabase;
        break;
      case Step::SourceDatabase:
        if (!TakeLine(&source_.Database)) return Pending();
        step_ = Step::SourceServer;
        break;
      case Step::SourceServer:
        if (!TakeLine(&source_.Server)) return Pending();
        AfterSource();
        break;
      case Step::Done:
        return Result::Done;
      case Step::Failed:
        return Result::Failed;
    }
    if (step_ == Step::Done) return Result::Done;
  }
}

}  // namespace ulmar::server
