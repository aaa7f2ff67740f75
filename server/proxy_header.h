// The PROXY protocol header (version 2) that a load balancer such as
// HAProxy sends ahead of a client's bytes to say whose connection it
// relays, and the address ranges such a header is accepted from.
//
//   12 bytes  \r \n \r \n \0 \r \n Q U I T \n
//    1 byte   version (high four bits, 2) and command (low four bits:
//             0 LOCAL, the balancer's own connection, e.g. a health check;
//             1 PROXY, a client's connection relayed)
//    1 byte   address family (high four bits) and transport (low four)
//    2 bytes  the length of what follows, big-endian
//    N bytes  source address, destination address, source port,
//             destination port (0x11 TCP over IPv4: 12 bytes; 0x21 TCP
//             over IPv6: 36 bytes), then optional extensions, skipped
//
// The reader does no I/O: bytes go in as they arrive, split anywhere, and
// it says whether it needs more, has the whole header, or refuses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ulmar::server {

// The header's first bytes: no client of ours begins with them.
inline constexpr std::string_view kProxySignature{"\r\n\r\n\0\r\nQUIT\n", 12};
// The longest header there can be: 16 fixed bytes and a 16-bit length.
inline constexpr size_t kMaxProxyHeaderBytes = 16 + 65535;

// Whether a connection's first bytes (any number of them) begin like a
// PROXY protocol header, as far as they go.
bool BeginsLikeProxyHeader(std::string_view first_bytes);

class ProxyHeaderReader {
 public:
  enum class Result { NeedMore, Done, Malformed };

  // Takes the connection's next bytes. Done once the header is whole:
  // used() says how many of these bytes were the header's, the rest are the
  // client's own. Malformed: failure() says why. Once it has said Done or
  // Malformed it takes nothing more and says the same again.
  Result Feed(std::string_view bytes);
  size_t used() const { return used_; }
  const std::string& failure() const { return failure_; }

  // Once Done: LOCAL, the balancer's own connection, whose own address
  // stands; otherwise the relayed client's address ("10.4.7.31",
  // "2001:db8::7") and its peer name with the port ("10.4.7.31:46232",
  // "[2001:db8::7]:46232").
  bool local() const { return local_; }
  const std::string& address() const { return address_; }
  const std::string& peer() const { return peer_; }

 private:
  Result Fail(std::string why);
  // Checks the version, command, family and length once the first 16
  // bytes are in.
  bool CheckFixedPart();
  void TakeAddresses();

  Result result_ = Result::NeedMore;
  std::string kept_;     // the fixed part, then as much of the addresses as they need
  size_t taken_ = 0;     // the header's bytes taken so far (the kept ones and those skipped)
  size_t length_ = 0;    // what follows the fixed part, as the header says
  size_t used_ = 0;
  bool local_ = false;
  uint8_t family_ = 0;   // 0x11 or 0x21 for PROXY
  std::string failure_, address_, peer_;
};

// An IPv4 network, ADDR/BITS (a bare address is /32).
struct AddressRange {
  uint32_t network = 0;  // host byte order, its host bits clear
  int bits = 32;
  bool Contains(uint32_t address) const;  // host byte order
  std::string Text() const;               // "10.1.2.0/24"
};
// Nothing when the text is no IPv4 address with an optional /0../32. Host
// bits given are cleared: "10.1.2.10/24" is 10.1.2.0/24.
std::optional<AddressRange> ParseAddressRange(std::string_view text);

}  // namespace ulmar::server
