// Small text helpers shared by every layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ulmar {

// Whether text ends with suffix, byte for byte.
bool EndsWith(std::string_view text, std::string_view suffix);
// The same without regard to letter case (code page 1251).
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// A line at the start of data: everything up to the first LF, with one CR
// before the LF dropped. On Complete, *line holds it and *consumed the bytes
// it took (LF included). TooLong as soon as more than max_length bytes stand
// before the LF, or have arrived without one.
enum class LineStatus { Complete, NeedMore, TooLong };
LineStatus TakeLine(std::string_view data, size_t max_length, std::string* line, size_t* consumed);

// Reads count decimal numbers of 0..255 (one to three digits each) from the
// start of text, separated by separator, into out. Returns how many bytes of
// text they took, or std::string_view::npos when text does not start so.
// What follows the last number is left to the caller.
size_t ParseByteNumbers(std::string_view text, char separator, unsigned char* out, size_t count);

// Parses a dotted IPv4 literal, the whole text, into host order.
bool ParseIpv4(std::string_view text, uint32_t* address);

}  // namespace ulmar
