// A fault in a frame whose unwind tables do not cover the faulting load:
// built without -fnon-call-exceptions, with a cleanup in the frame (the
// destructor), so the runtime would terminate if it unwound from the load.
// Its caller holds strings on the heap and catches the fault itself, so its
// handler and their destructors run in the frame the throw was moved to.
#include <krcore/se_translator.h>

#include <string>

#include "fault_generators.h"

namespace uncovered {

namespace {
struct cleanup {
  std::string* text;
  ~cleanup() { text->append("x"); }
};
__attribute__((noinline)) void touch(std::string* text) { text->push_back('y'); }
}  // namespace

__attribute__((noinline)) int read_with_cleanup(const int* address) {
  std::string text;
  cleanup c{&text};
  touch(&text);
  const int value = *static_cast<const volatile int*>(address);
  touch(&text);
  return value + static_cast<int>(text.size());
}

// The load comes before the first call, where no call-site entry starts
// yet: the frame's tables cover its calls only.
__attribute__((noinline)) int read_before_cleanup(const int* address) {
  const int value = *static_cast<const volatile int*>(address);
  std::string text;
  cleanup c{&text};
  touch(&text);
  return value + static_cast<int>(text.size());
}

__attribute__((noinline)) std::string catch_in_caller(const int* address) {
  std::string before(48, 'b');
  std::string after(48, 'a');
  try {
    before += std::to_string(read_before_cleanup(address));
  } catch (const se_translator::access_violation&) {
    after += "caught";
  }
  return before + "|" + after;
}

}  // namespace uncovered
