// The update protocol's wire elements, free of I/O: encoders for what the
// client sends and decoders that take received bytes and return values.
//   Int32 / UInt32: four bytes, most significant first.
//   Line: text bytes, CR LF when sent; on receipt everything up to the first
//         LF, with one trailing CR dropped when the line is not empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ulmar::protocol {

inline constexpr char kProtocolId[] = "repl.client-server.v.0.2";
// The longest line accepted before its LF.
inline constexpr size_t kMaxLineLength = 16384;

std::string EncodeInt32(int32_t value);
std::string EncodeUInt32(uint32_t value);
std::string EncodeLine(std::string_view text);

// Decodes four bytes, most significant first.
int32_t DecodeInt32(const char* bytes);

enum class LineStatus { Complete, NeedMore, TooLong };

// Looks for a whole line at the start of data. On Complete, *line holds it
// and *consumed the bytes it took (LF included). TooLong as soon as more than
// max_length bytes stand before the LF, or have arrived without one.
LineStatus TakeLine(std::string_view data, size_t max_length, std::string* line, size_t* consumed);

}  // namespace ulmar::protocol
