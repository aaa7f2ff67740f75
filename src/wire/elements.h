// The update protocol's wire elements, free of I/O, shared by the client,
// the reference server and the load generator:
//   Int32 / UInt32: four bytes, most significant first.
//   Line: text bytes, CR LF when sent; on receipt everything up to the first
//         LF, with one trailing CR dropped when the line is not empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ulmar::wire {

// The update server's port.
inline constexpr uint16_t kServerPort = 8090;
inline constexpr char kProtocolId[] = "repl.client-server.v.0.2";
// The longest line accepted before its LF.
inline constexpr size_t kMaxLineLength = 16384;
// The bytes of an Int32 or a UInt32.
inline constexpr size_t kIntegerSize = 4;

std::string EncodeInt32(int32_t value);
std::string EncodeUInt32(uint32_t value);
std::string EncodeLine(std::string_view text);

// Decodes four bytes, most significant first.
int32_t DecodeInt32(const char* bytes);

}  // namespace ulmar::wire
