#include <gtest/gtest.h>

#include "base/errors.h"

namespace ulmar {
namespace {

TEST(MException, JoinsSummaryAndDetailAndKeepsBoth) {
  MException e("Не найден тип клиента.", "Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR");
  EXPECT_EQ(e.Message(), "Не найден тип клиента. (Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR)");
  EXPECT_EQ(e.Summary(), "Не найден тип клиента.");
  EXPECT_EQ(e.Detail(), "Не найден ключ реестра \"HKEY_LOCAL_MACHINE\\SOFTWARE\\ULMAR");
  EXPECT_STREQ(e.what(), e.Message().c_str());
}

TEST(MException, EmptyAndBlankLedDetailsAreKeptAsTheyAre) {
  EXPECT_EQ(MException("S.", "").Message(), "S. ()");
  EXPECT_EQ(MException("S.", " x").Message(), "S. ( x)");
}

TEST(MException, IsCaughtAsTheGeneralType) {
  try {
    throw MException("a", "b");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "a (b)");
  }
}

TEST(DefaultErrorText, AppendsAFullStopOnlyAfterCharactersSortingAfterIt) {
  struct Case {
    std::string message, shown;
  } cases[] = {
      {"abc", "abc."},   {"abc!", "abc!"}, {"abc.", "abc."}, {"abc ", "abc "}, {"", ""},
      {"abc)", "abc)"},  {"abc/", "abc/."}, {"abc0", "abc0."}, {"ошибка", "ошибка."},
      {"abc-", "abc-"},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultErrorText(c.message), c.shown) << c.message;
}

}  // namespace
}  // namespace ulmar
