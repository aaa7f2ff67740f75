// Control identifiers of the operator window; the window inspector used by
// the tests finds the controls by these.
#pragma once

namespace ulmar::ids {

enum : int {
  kLabel4 = 101,
  kPbComm = 102,
  kLabel5 = 103,
  kPbLoc = 104,
  kLabel1 = 105,
  kLogBox = 106,
  kLbCounter = 107,
  kGarbageButton = 108,
  kGabDel = 109,
  kBtClose = 110,
};

}  // namespace ulmar::ids

namespace ulmar {

// The window's caption, by which the inspector finds it.
inline constexpr const char kWindowCaption[] = "УЛМАР - Обновление системы";

}  // namespace ulmar
