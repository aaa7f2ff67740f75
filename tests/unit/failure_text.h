// The message of the error of type E that an action raises, for tests that
// compare failure texts.
#pragma once

#include <functional>
#include <string>

namespace ulmar::testing {

template <class E>
std::string FailureText(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  return "no failure of the expected kind";
}

}  // namespace ulmar::testing
