#include "proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

namespace ulmar::server {
namespace {

constexpr size_t kFixedBytes = 16;
// Of the addresses only TCP over IPv6's are kept (the longest we read);
// anything after them is skipped as it arrives.
constexpr size_t kKeptAddressBytes = 36;
constexpr uint8_t kTcpOverIpv4 = 0x11;
constexpr uint8_t kTcpOverIpv6 = 0x21;

uint16_t BigEndian16(const char* at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(at[0]) << 8 | static_cast<uint8_t>(at[1]));
}

std::string Hex(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

}  // namespace

bool BeginsLikeProxyHeader(std::string_view first_bytes) {
  if (first_bytes.empty()) return false;
  const size_t compared = std::min(first_bytes.size(), kProxySignature.size());
  return first_bytes.substr(0, compared) == kProxySignature.substr(0, compared);
}

ProxyHeaderReader::Result ProxyHeaderReader::Fail(std::string why) {
  failure_ = std::move(why);
  result_ = Result::Malformed;
  return result_;
}

ProxyHeaderReader::Result ProxyHeaderReader::Feed(std::string_view bytes) {
  used_ = 0;
  while (result_ == Result::NeedMore) {
    if (taken_ >= kFixedBytes && taken_ == kFixedBytes + length_) {
      TakeAddresses();
      result_ = Result::Done;
      break;
    }
    if (used_ == bytes.size()) break;
    if (taken_ < kFixedBytes) {
      // The fixed part byte by byte: a connection that is no header is
      // refused at its first wrong byte.
      const char byte = bytes[used_++];
      kept_ += byte;
      ++taken_;
      if (taken_ <= kProxySignature.size()) {
        if (byte != kProxySignature[taken_ - 1]) return Fail("no PROXY protocol header where one was expected");
      } else if (taken_ == kFixedBytes && !CheckFixedPart()) {
        return result_;
      }
    } else {
      const size_t count = std::min(kFixedBytes + length_ - taken_, bytes.size() - used_);
      const size_t room = kFixedBytes + kKeptAddressBytes - std::min(kept_.size(), kFixedBytes + kKeptAddressBytes);
      kept_.append(bytes.substr(used_, std::min(count, room)));
      used_ += count;
      taken_ += count;
    }
  }
  return result_;
}

bool ProxyHeaderReader::CheckFixedPart() {
  const auto version_command = static_cast<uint8_t>(kept_[12]);
  const auto family = static_cast<uint8_t>(kept_[13]);
  length_ = BigEndian16(kept_.data() + 14);
  if (version_command >> 4 != 2) {
    Fail("a PROXY protocol header of version " + std::to_string(version_command >> 4) + ", not 2");
    return false;
  }
  switch (version_command & 0x0F) {
    case 0:
      // LOCAL: whatever family and addresses it gives are ignored.
      local_ = true;
      return true;
    case 1:
      break;
    default:
      Fail("a PROXY protocol header with the unknown command " + std::to_string(version_command & 0x0F));
      return false;
  }
  const size_t needed = family == kTcpOverIpv4 ? 12 : family == kTcpOverIpv6 ? 36 : 0;
  if (needed == 0) {
    Fail("a PROXY protocol header for other than TCP over IPv4 or IPv6 (family and transport " + Hex(family) + ")");
    return false;
  }
  if (length_ < needed) {
    Fail("a PROXY protocol header with " + std::to_string(length_) + " address bytes, too few for its addresses");
    return false;
  }
  family_ = family;
  return true;
}

void ProxyHeaderReader::TakeAddresses() {
  if (local_) return;
  const char* source = kept_.data() + kFixedBytes;
  char text[INET6_ADDRSTRLEN] = "";
  if (family_ == kTcpOverIpv4) {
    inet_ntop(AF_INET, source, text, sizeof text);
    address_ = text;
    peer_ = address_ + ":" + std::to_string(BigEndian16(source + 8));
    return;
  }
  const uint16_t port = BigEndian16(source + 32);
  // An IPv4 client that reached an IPv6 socket of the balancer is named by
  // its IPv4 address, as it is everywhere else.
  static constexpr char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xff', '\xff'};
  if (std::equal(kMappedPrefix, kMappedPrefix + 12, source)) {
    inet_ntop(AF_INET, source + 12, text, sizeof text);
    address_ = text;
    peer_ = address_ + ":" + std::to_string(port);
    return;
  }
  inet_ntop(AF_INET6, source, text, sizeof text);
  address_ = text;
  peer_ = "[" + address_ + "]:" + std::to_string(port);
}

bool AddressRange::Contains(uint32_t address) const {
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return (address & mask) == network;
}

std::string AddressRange::Text() const {
  in_addr address{htonl(network)};
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return std::string(text) + "/" + std::to_string(bits);
}

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
  const size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return std::nullopt;
  AddressRange range;
  if (slash != std::string_view::npos) {
    const std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 2 || !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    range.bits = std::stoi(std::string(bits));
    if (range.bits > 32) return std::nullopt;
  }
  const uint32_t mask = range.bits == 0 ? 0 : ~uint32_t{0} << (32 - range.bits);
  range.network = ntohl(parsed.s_addr) & mask;
  return range;
}

}  // namespace ulmar::server
