// The PROXY protocol header reader: good headers fed whole, split at every
// offset and byte by byte give the same address and hand the client's own
// bytes on untouched; bad ones are refused as soon as the bytes show it.
// And the --proxy-from address ranges.
#include "proxy_header.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ulmar::server {
namespace {

using Result = ProxyHeaderReader::Result;

std::string Header(uint8_t version_command, uint8_t family, const std::string& rest) {
  std::string header(kProxySignature);
  header += static_cast<char>(version_command);
  header += static_cast<char>(family);
  header += static_cast<char>(rest.size() >> 8);
  header += static_cast<char>(rest.size() & 0xFF);
  return header + rest;
}

std::string Port(uint16_t port) { return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)}; }

std::string Ipv4(const char* source, uint16_t source_port, const char* destination, uint16_t destination_port) {
  in_addr s{}, d{};
  inet_pton(AF_INET, source, &s);
  inet_pton(AF_INET, destination, &d);
  return std::string(reinterpret_cast<const char*>(&s), 4) + std::string(reinterpret_cast<const char*>(&d), 4) +
         Port(source_port) + Port(destination_port);
}

std::string Ipv6(const char* source, uint16_t source_port, const char* destination, uint16_t destination_port) {
  in6_addr s{}, d{};
  inet_pton(AF_INET6, source, &s);
  inet_pton(AF_INET6, destination, &d);
  return std::string(reinterpret_cast<const char*>(&s), 16) + std::string(reinterpret_cast<const char*>(&d), 16) +
         Port(source_port) + Port(destination_port);
}

// An extension after the addresses (type, 16-bit length, value): skipped.
std::string Extension(uint8_t type, const std::string& value) {
  return std::string(1, static_cast<char>(type)) + Port(static_cast<uint16_t>(value.size())) + value;
}

// What a client itself sends first.
const std::string kClientBytes("\x01\x00\x00\x00\x1Arepl.client-server.v.0.2\r\n", 31);

struct Fed {
  Result result = Result::NeedMore;
  std::string after;  // the bytes the reader handed on once it was done
  size_t fed = 0;     // bytes fed when it first said Done or Malformed
};

// Feeds the pieces in turn, as a connection would: once the reader is done
// the rest of that piece and every later one are the client's.
Fed FeedPieces(ProxyHeaderReader& reader, const std::vector<std::string>& pieces) {
  Fed fed;
  size_t offered = 0;
  for (const std::string& piece : pieces) {
    if (fed.result == Result::Done) {
      fed.after += piece;
      continue;
    }
    fed.result = reader.Feed(piece);
    if (fed.result == Result::Malformed) {
      fed.fed = offered + piece.size();
      return fed;
    }
    if (fed.result == Result::Done) {
      fed.fed = offered + piece.size();
      fed.after = piece.substr(reader.used());
    }
    offered += piece.size();
  }
  return fed;
}

std::vector<std::string> Bytewise(const std::string& bytes) {
  std::vector<std::string> pieces;
  for (char c : bytes) pieces.emplace_back(1, c);
  return pieces;
}

struct GoodCase {
  const char* name;
  std::string header;
  bool local;
  std::string address, peer;
};

std::vector<GoodCase> GoodCases() {
  return {
      {"health check", Header(0x20, 0x00, ""), true, "", ""},
      {"LOCAL with addresses, ignored", Header(0x20, 0x11, Ipv4("10.1.2.10", 1, "10.1.2.11", 8090)), true, "", ""},
      {"LOCAL of an unknown family", Header(0x20, 0x77, "xyz"), true, "", ""},
      {"TCP over IPv4", Header(0x21, 0x11, Ipv4("10.4.7.31", 46232, "10.1.2.10", 8090)), false, "10.4.7.31",
       "10.4.7.31:46232"},
      {"TCP over IPv6", Header(0x21, 0x21, Ipv6("2001:db8::7", 443, "2001:db8::1", 8090)), false, "2001:db8::7",
       "[2001:db8::7]:443"},
      {"IPv4 mapped into IPv6", Header(0x21, 0x21, Ipv6("::ffff:10.4.7.32", 5000, "::ffff:10.1.2.10", 8090)), false,
       "10.4.7.32", "10.4.7.32:5000"},
      {"with extensions after the addresses",
       Header(0x21, 0x11, Ipv4("10.4.7.33", 65535, "10.1.2.10", 8090) + Extension(0x05, "unique-id") +
                              Extension(0x04, std::string(300, '\0'))),
       false, "10.4.7.33", "10.4.7.33:65535"},
      {"the longest there is",
       Header(0x21, 0x11, Ipv4("10.4.7.34", 1024, "10.1.2.10", 8090) + Extension(0x04, std::string(65535 - 12 - 3, 'n'))),
       false, "10.4.7.34", "10.4.7.34:1024"},
  };
}

TEST(ProxyHeader, AGoodHeaderSplitAnywhereGivesItsAddressAndHandsTheClientsBytesOn) {
  for (const GoodCase& c : GoodCases()) {
    SCOPED_TRACE(c.name);
    const std::string stream = c.header + kClientBytes;
    std::vector<std::vector<std::string>> ways = {{stream}};
    // Split in two at every offset (the longest header at a few hundred).
    const size_t step = c.header.size() > 1000 ? 257 : 1;
    for (size_t at = 0; at <= stream.size(); at += step) ways.push_back({stream.substr(0, at), stream.substr(at)});
    if (c.header.size() < 1000) ways.push_back(Bytewise(stream));
    for (const auto& pieces : ways) {
      ProxyHeaderReader reader;
      const Fed fed = FeedPieces(reader, pieces);
      ASSERT_EQ(fed.result, Result::Done) << pieces.size() << " pieces, the first of " << pieces[0].size();
      EXPECT_EQ(fed.after, kClientBytes);
      EXPECT_EQ(reader.local(), c.local);
      EXPECT_EQ(reader.address(), c.address);
      EXPECT_EQ(reader.peer(), c.peer);
      EXPECT_EQ(reader.Feed("more"), Result::Done);
      EXPECT_EQ(reader.used(), 0u);
    }
  }
  EXPECT_EQ(GoodCases().back().header.size(), kMaxProxyHeaderBytes);
}

TEST(ProxyHeader, AHeaderCutShortWaitsForTheRest) {
  for (const GoodCase& c : GoodCases()) {
    SCOPED_TRACE(c.name);
    ProxyHeaderReader reader;
    EXPECT_EQ(reader.Feed(c.header.substr(0, c.header.size() - 1)), Result::NeedMore);
    EXPECT_EQ(reader.Feed(""), Result::NeedMore);
    EXPECT_EQ(reader.Feed(c.header.substr(c.header.size() - 1)), Result::Done);
    EXPECT_EQ(reader.used(), 1u);
  }
}

TEST(ProxyHeader, ABadHeaderIsRefusedAtTheByteThatShowsIt) {
  const std::string ipv4 = Ipv4("10.4.7.31", 46232, "10.1.2.10", 8090);
  std::string late_signature(kProxySignature);
  late_signature[11] = '\r';
  const struct {
    const char* name;
    std::string bytes;
    size_t refused_at;  // bytes taken when refused
    std::string failure;
  } cases[] = {
      {"a client's own opening", kClientBytes, 1, "no PROXY protocol header where one was expected"},
      {"the text header of version 1", "PROXY TCP4 10.4.7.31 10.1.2.10 46232 8090\r\n", 1,
       "no PROXY protocol header where one was expected"},
      {"a signature wrong in its last byte", late_signature + Header(0x21, 0x11, ipv4).substr(12), 12,
       "no PROXY protocol header where one was expected"},
      {"version 1 in the binary form", Header(0x11, 0x11, ipv4), 16, "a PROXY protocol header of version 1, not 2"},
      {"version 3", Header(0x31, 0x11, ipv4), 16, "a PROXY protocol header of version 3, not 2"},
      {"an unknown command", Header(0x22, 0x11, ipv4), 16, "a PROXY protocol header with the unknown command 2"},
      {"UDP over IPv4", Header(0x21, 0x12, ipv4), 16,
       "a PROXY protocol header for other than TCP over IPv4 or IPv6 (family and transport 0x12)"},
      {"a UNIX stream", Header(0x21, 0x31, std::string(216, 'u')), 16,
       "a PROXY protocol header for other than TCP over IPv4 or IPv6 (family and transport 0x31)"},
      {"PROXY with no family", Header(0x21, 0x00, ""), 16,
       "a PROXY protocol header for other than TCP over IPv4 or IPv6 (family and transport 0x00)"},
      {"an unknown family", Header(0x21, 0x41, ipv4), 16,
       "a PROXY protocol header for other than TCP over IPv4 or IPv6 (family and transport 0x41)"},
      {"IPv4 addresses cut short", Header(0x21, 0x11, ipv4.substr(0, 11)), 16,
       "a PROXY protocol header with 11 address bytes, too few for its addresses"},
      {"IPv6 with IPv4's length", Header(0x21, 0x21, ipv4), 16,
       "a PROXY protocol header with 12 address bytes, too few for its addresses"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProxyHeaderReader bytewise;
    const Fed fed = FeedPieces(bytewise, Bytewise(c.bytes + kClientBytes));
    EXPECT_EQ(fed.result, Result::Malformed);
    EXPECT_EQ(fed.fed, c.refused_at);
    EXPECT_EQ(bytewise.failure(), c.failure);
    ProxyHeaderReader whole;
    EXPECT_EQ(whole.Feed(c.bytes + kClientBytes), Result::Malformed);
    EXPECT_EQ(whole.failure(), c.failure);
    EXPECT_EQ(whole.Feed(Header(0x20, 0x00, "")), Result::Malformed);
  }
}

TEST(ProxyHeader, AConnectionsFirstBytesBeginLikeAHeaderOrNot) {
  const std::string header = Header(0x21, 0x11, Ipv4("10.4.7.31", 46232, "10.1.2.10", 8090));
  for (size_t size : {1, 4, 11, 12, 16}) EXPECT_TRUE(BeginsLikeProxyHeader(header.substr(0, size))) << size;
  EXPECT_FALSE(BeginsLikeProxyHeader(""));
  EXPECT_FALSE(BeginsLikeProxyHeader(kClientBytes.substr(0, 4)));
  EXPECT_FALSE(BeginsLikeProxyHeader("\r\n\r\nX"));
  EXPECT_FALSE(BeginsLikeProxyHeader("PROXY TCP4 "));
}

uint32_t HostOrder(const char* address) {
  in_addr parsed{};
  inet_pton(AF_INET, address, &parsed);
  return ntohl(parsed.s_addr);
}

TEST(AddressRange, ParsesAnAddressOrANetworkAndTellsWhatItHolds) {
  const struct {
    const char* text;
    const char* shown;
    std::vector<const char*> inside, outside;
  } cases[] = {
      {"10.1.2.10", "10.1.2.10/32", {"10.1.2.10"}, {"10.1.2.11", "10.1.2.9", "11.1.2.10"}},
      {"10.1.2.10/24", "10.1.2.0/24", {"10.1.2.0", "10.1.2.10", "10.1.2.255"}, {"10.1.3.0", "10.1.1.255"}},
      {"127.0.0.0/8", "127.0.0.0/8", {"127.0.0.1", "127.255.255.255"}, {"128.0.0.0", "126.255.255.255"}},
      {"192.168.7.129/25", "192.168.7.128/25", {"192.168.7.128", "192.168.7.255"}, {"192.168.7.127"}},
      {"0.0.0.0/0", "0.0.0.0/0", {"0.0.0.0", "255.255.255.255", "10.1.2.10"}, {}},
      {"255.255.255.255/32", "255.255.255.255/32", {"255.255.255.255"}, {"255.255.255.254"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<AddressRange> range = ParseAddressRange(c.text);
    ASSERT_TRUE(range);
    EXPECT_EQ(range->Text(), c.shown);
    for (const char* address : c.inside) EXPECT_TRUE(range->Contains(HostOrder(address))) << address;
    for (const char* address : c.outside) EXPECT_FALSE(range->Contains(HostOrder(address))) << address;
  }
  for (const char* bad : {"", "10.1.2", "10.1.2.256", "10.1.2.10/33", "10.1.2.10/", "10.1.2.10/-1", "10.1.2.10/+8",
                          "10.1.2.10/ 8", "10.1.2.10/008", "10.1.2.10/24/1", "::1", "2001:db8::/32", "host.example",
                          " 10.1.2.10", "10.1.2.10/x"}) {
    EXPECT_FALSE(ParseAddressRange(bad)) << bad;
  }
}

}  // namespace
}  // namespace ulmar::server
