// The client's reply reader: any bytes, fed whole or in chunks of sizes the
// input chooses, give the same result and the same lists, and never more
// than the reader's bound in memory.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/server_lists.h"

using ulmar::wire::ListCollector;
using ulmar::wire::ReplyReader;
using ulmar::wire::ServerLists;

namespace {

bool SameLists(const ServerLists& a, const ServerLists& b) {
  if (a.NewDataSources.size() != b.NewDataSources.size()) return false;
  for (size_t i = 0; i < a.NewDataSources.size(); ++i) {
    const auto &x = a.NewDataSources[i], &y = b.NewDataSources[i];
    if (x.Name != y.Name || x.Database != y.Database || x.Server != y.Server || x.Kind != y.Kind) return false;
  }
  return a.FtpServers == b.FtpServers && a.ForeignFiles == b.ForeignFiles && a.FilesToUpdate == b.FilesToUpdate &&
         a.UpdateCount == b.UpdateCount && a.FilesToDelete == b.FilesToDelete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = data[0] % 64 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  // A small bound, so that the bound itself is reached too.
  const size_t bound = 4096;

  ServerLists whole_lists;
  ListCollector whole_sink(whole_lists);
  ReplyReader whole(whole_sink, bound);
  const ReplyReader::Result whole_result = whole.Feed(bytes);

  ServerLists split_lists;
  ListCollector split_sink(split_lists);
  ReplyReader split(split_sink, bound);
  ReplyReader::Result split_result = ReplyReader::Result::NeedMore;
  for (size_t at = 0; at < bytes.size(); at += step) split_result = split.Feed(bytes.substr(at, step));
  if (bytes.empty()) split_result = split.Feed({});

  if (whole_result != split_result || !SameLists(whole_lists, split_lists)) std::abort();
  return 0;
}
