#include "base/cp1251.h"

namespace ulmar {

char UpperCp1251(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  if (u >= 0xE0) return static_cast<char>(u - 32);  // а..я
  switch (u) {
    case 0xB8: return static_cast<char>(0xA8);  // ё
    case 0x83: return static_cast<char>(0x81);  // ѓ
    case 0x90: return static_cast<char>(0x80);  // ђ
    case 0x9A: return static_cast<char>(0x8A);  // љ
    case 0x9C: return static_cast<char>(0x8C);  // њ
    case 0x9D: return static_cast<char>(0x8D);  // ќ
    case 0x9E: return static_cast<char>(0x8E);  // ћ
    case 0x9F: return static_cast<char>(0x8F);  // џ
    case 0xA2: return static_cast<char>(0xA1);  // ў
    case 0xB3: return static_cast<char>(0xB2);  // і
    case 0xB4: return static_cast<char>(0xA5);  // ґ
    case 0xBA: return static_cast<char>(0xAA);  // є
    case 0xBC: return static_cast<char>(0xA3);  // ј
    case 0xBE: return static_cast<char>(0xBD);  // ѕ
    case 0xBF: return static_cast<char>(0xAF);  // ї
    default: return c;
  }
}

std::string UpperCp1251(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperCp1251(c);
  return out;
}

bool SameTextCp1251(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCp1251(a[i]) != UpperCp1251(b[i])) return false;
  }
  return true;
}

}  // namespace ulmar
