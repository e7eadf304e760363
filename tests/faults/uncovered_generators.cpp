// A fault in a frame whose unwind tables do not cover the faulting load:
// built without -fnon-call-exceptions, with a cleanup in the frame (the
// destructor), so the runtime would terminate if it unwound from the load.
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

}  // namespace uncovered
