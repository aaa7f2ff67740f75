#include "text.h"

#include <cstdint>
#include <cstdio>
#include <unordered_map>

#include "base/cp1251.h"

namespace ulmar::server {

namespace {

// The characters of bytes 0x80..0xBF; 0xC0..0xFF are А..я in order.
constexpr char16_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char32_t CharOf(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
  return kHighHalf[byte - 0x80];
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

const std::unordered_map<char32_t, char>& ByteOfChar() {
  static const std::unordered_map<char32_t, char> table = [] {
    std::unordered_map<char32_t, char> t;
    for (int b = 0x80; b < 0x100; ++b) {
      if (b != 0x98) t[CharOf(static_cast<unsigned char>(b))] = static_cast<char>(b);
    }
    return t;
  }();
  return table;
}

}  // namespace

std::string Cp1251ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) AppendUtf8(out, CharOf(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> Utf8ToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    char32_t c;
    size_t length;
    if (lead < 0x80) {
      c = lead, length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      c = lead & 0x1F, length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      c = lead & 0x0F, length = 3;
    } else {
      return std::nullopt;  // four-byte characters are all outside the code page
    }
    if (i + length > text.size()) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms spell nothing.
    if ((length == 2 && c < 0x80) || (length == 3 && c < 0x800)) return std::nullopt;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      auto found = ByteOfChar().find(c);
      if (found == ByteOfChar().end()) return std::nullopt;
      out += found->second;
    }
    i += length;
  }
  return out;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  // Greedy match with one backtracking point: the last '*' seen.
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || UpperCp1251(pattern[p]) == UpperCp1251(text[t]))) {
      ++p, ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string Quoted(std::string_view cp1251_text) {
  std::string out = "\"";
  for (char c : cp1251_text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", u);
      out += escape;
    } else {
      AppendUtf8(out, CharOf(u));
    }
  }
  out += '"';
  return out;
}

}  // namespace ulmar::server
