// The server's inventory reader: any bytes, fed whole or in chunks of sizes
// the input chooses, end the same way with the same elements.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "conversation.h"

namespace {

class Recorder : public ulmar::server::InventorySink {
 public:
  std::string events;
  void OnOpening(const std::string& id) override { events += "o" + id + '\0'; }
  std::string OnSuite(const std::string& suite) override {
    events += "s" + suite + '\0';
    return suite == "REFUSED" ? "refused" : "";
  }
  void OnUser(const std::string& user) override { events += "u" + user + '\0'; }
  void OnFileCount(int32_t count) override { events += "F" + std::to_string(count) + '\0'; }
  void OnFile(uint32_t crc, const std::string& name) override { events += "f" + std::to_string(crc) + name + '\0'; }
  void OnDataSourceCount(int32_t count) override { events += "D" + std::to_string(count) + '\0'; }
  void OnDataSource(const ulmar::TDBAlias& s) override {
    events += "d" + std::to_string(s.Kind) + s.Name + '\0' + s.Database + '\0' + s.Server + '\0';
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = data[0] % 64 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  ulmar::server::ConversationLimits limits;
  limits.max_files = 50;
  limits.max_data_sources = 20;
  limits.max_bytes = 4096;

  Recorder whole_events;
  ulmar::server::InventoryReader whole(whole_events, limits);
  const auto whole_result = whole.Feed(bytes);

  Recorder split_events;
  ulmar::server::InventoryReader split(split_events, limits);
  auto split_result = ulmar::server::InventoryReader::Result::NeedMore;
  for (size_t at = 0; at < bytes.size(); at += step) {
    split_result = split.Feed(bytes.substr(at, step));
    if (split_result != ulmar::server::InventoryReader::Result::NeedMore) break;
  }
  if (bytes.empty()) split_result = split.Feed({});
  if (whole_result != split_result || whole_events.events != split_events.events ||
      whole.failure() != split.failure()) {
    std::abort();
  }
  return 0;
}
