// The exception a call throws, caught by type, so a test checks its code and
// text in a line instead of a try/catch block. Empty when nothing of type E
// was thrown.
#pragma once

#include <optional>

namespace testsupport {

template <class E, class F>
std::optional<E> thrown(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace testsupport
