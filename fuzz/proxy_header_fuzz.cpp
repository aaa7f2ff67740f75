// The PROXY protocol header reader: any bytes, fed whole or in pieces of a
// size the input chooses, end the same way, with the same address, after
// the same number of header bytes, never more than a header can hold.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy_header.h"

namespace {

using ulmar::server::ProxyHeaderReader;

struct Outcome {
  ProxyHeaderReader::Result result = ProxyHeaderReader::Result::NeedMore;
  size_t header_bytes = 0;  // of the input, the header's (once Done)
};

Outcome FeedInPieces(ProxyHeaderReader& reader, std::string_view bytes, size_t step) {
  Outcome outcome;
  for (size_t at = 0; at < bytes.size(); at += step) {
    const std::string_view piece = bytes.substr(at, step);
    outcome.result = reader.Feed(piece);
    if (outcome.result == ProxyHeaderReader::Result::Done) outcome.header_bytes = at + reader.used();
    if (outcome.result != ProxyHeaderReader::Result::NeedMore) break;
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = data[0] % 64 + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  ProxyHeaderReader whole;
  const Outcome at_once = FeedInPieces(whole, bytes, bytes.size() + 1);
  ProxyHeaderReader split;
  const Outcome in_pieces = FeedInPieces(split, bytes, step);

  if (at_once.result != in_pieces.result || at_once.header_bytes != in_pieces.header_bytes ||
      whole.failure() != split.failure() || whole.local() != split.local() || whole.address() != split.address() ||
      whole.peer() != split.peer()) {
    std::abort();
  }
  if (at_once.result == ProxyHeaderReader::Result::Done) {
    // A whole header is its 16 fixed bytes and the length they give, and
    // names a client exactly when it is no LOCAL one.
    const auto length = static_cast<size_t>(static_cast<uint8_t>(bytes[14]) << 8 | static_cast<uint8_t>(bytes[15]));
    if (at_once.header_bytes != 16 + length || at_once.header_bytes > ulmar::server::kMaxProxyHeaderBytes) std::abort();
    if (whole.local() == !whole.address().empty() || whole.address().empty() != whole.peer().empty()) std::abort();
    if (bytes.substr(0, ulmar::server::kProxySignature.size()) != ulmar::server::kProxySignature) std::abort();
  }
  if (at_once.result == ProxyHeaderReader::Result::Malformed && whole.failure().empty()) std::abort();
  return 0;
}
