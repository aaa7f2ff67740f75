// Letter case in code page 1251, as Windows folds it for the Russian ANSI
// code page: Latin and Cyrillic letters (Ё/ё and the other Cyrillic letters
// of the code page included).
#pragma once

#include <string>
#include <string_view>

namespace ulmar {

char UpperCp1251(char c);
std::string UpperCp1251(std::string_view text);
// Equal without regard to letter case.
bool SameTextCp1251(std::string_view a, std::string_view b);

}  // namespace ulmar
