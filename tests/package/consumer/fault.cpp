// A hardware fault in the program's own code, caught by the program's own
// catch clause: the flags the package hands its users (through the CMake
// target or pkg-config) must make the compiler cover the faulting
// instruction, or the process dies of the signal instead.
#include <krcore/se_translator.h>

#include <string>

namespace {

// A read through a pointer the optimizer cannot see is null, with a local
// that has a destructor to run on the way out.
int read_through(const volatile int* p, std::string& trail) {
  std::string local = "before the read";
  const int value = *p;
  trail = local;
  return value;
}

}  // namespace

// Returns 0 when the null read surfaced as an access violation at address 0
// in this function's catch clause, else what went wrong.
int check_own_fault(const volatile int* null_pointer) {
  se_translator guard;
  std::string trail;
  try {
    read_through(null_pointer, trail);
  } catch (const se_translator::access_violation& e) {
    if (!e.is_read_op() || e.inaccessible_address() != 0) return 2;
    return trail.empty() ? 0 : 3;
  }
  return 1;
}
