// Text helpers of the update server: the wire and the release's names are
// code page 1251, the server's files and its log are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ulmar::server {

// Every byte has a spelling; the one byte that code page 1251 leaves
// undefined (0x98) becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view text);
// Nothing when the text is not valid UTF-8 or holds a character that code
// page 1251 cannot spell.
std::optional<std::string> Utf8ToCp1251(std::string_view text);

// Whole-text match without regard to letter case (code page 1251): '*'
// stands for any run of characters, backslashes included, '?' for one.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// A code page 1251 text for the log: UTF-8 in double quotes, with quotes,
// backslashes and control characters escaped so one entry stays one line.
std::string Quoted(std::string_view cp1251_text);

}  // namespace ulmar::server
