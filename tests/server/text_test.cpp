#include "text.h"

#include <iconv.h>

#include <gtest/gtest.h>

#include "server_test_support.h"

namespace ulmar::server {
namespace {

using testing::U8;

TEST(ServerText, EveryCp1251ByteBecomesWhatIconvMakesOfIt) {
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;  // undefined in the code page
    char in[1] = {static_cast<char>(b)};
    char out[8] = {};
    char* in_p = in;
    char* out_p = out;
    size_t in_left = 1, out_left = sizeof out;
    ASSERT_NE(iconv(cd, &in_p, &in_left, &out_p, &out_left), static_cast<size_t>(-1)) << b;
    std::string expected(out, sizeof out - out_left);
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, static_cast<char>(b))), expected) << b;
    EXPECT_EQ(Utf8ToCp1251(expected), std::string(1, static_cast<char>(b))) << b;
  }
  iconv_close(cd);
  EXPECT_EQ(Cp1251ToUtf8("\x98"), U8(u8"\uFFFD"));
}

TEST(ServerText, TextsOutsideTheCodePageOrBrokenUtf8AreRefused) {
  for (const std::string& bad : {std::string("\xE6\x97\xA5\xE6\x9C\xAC"), std::string("\xF0\x9F\x98\x80"), std::string("\xD0"), std::string("\xC0\x80"),
                                 std::string("\xE0\x80\xAF"), std::string("\x80")}) {
    EXPECT_FALSE(Utf8ToCp1251(bad)) << bad;
  }
  EXPECT_EQ(Utf8ToCp1251(U8(u8"Bin\\Отчёт.dll")), std::string("Bin\\\xCE\xF2\xF7\xB8\xF2.dll"));
}

TEST(ServerText, WildcardsMatchWholeNamesWithoutRegardToCase) {
  struct Case {
    const char* pattern;
    std::string text;
    bool match;
  } cases[] = {
      {"Logs\\*", "logs\\short.log", true},
      {"*.ini", "Bin\\user.INI", true},
      {"*.ini", "user.ini.bak", false},
      {"user?.cfg", "USER1.CFG", true},
      {"user?.cfg", "user.cfg", false},
      {"Data\\*.db", "data\\\xC7\xE0\xEA\xE0\xE7.DB", true},  // Data\Заказ.DB
      {"\xE4\xE0\xED\xED\xFB\xE5\\*", "\xC4\xC0\xCD\xCD\xDB\xC5\\a", true},  // данные\* against ДАННЫЕ\a
      {"*", "", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"Bin\\lib.dll", "bin\\LIB.DLL", true},
  };
  for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match) << c.pattern << " " << c.text;
}

TEST(ServerText, QuotedKeepsOneEntryOnOneLine) {
  EXPECT_EQ(Quoted("\xE8\xE2\xE0\xED\xEE\xE2"), U8(u8"\"иванов\""));
  EXPECT_EQ(Quoted("a\"b\\c\r\nd"), "\"a\\\"b\\\\c\\x0D\\x0Ad\"");
}

}  // namespace
}  // namespace ulmar::server
