// A hardware fault in the program's own code, caught by the program's own
// catch clause: the flags the package hands its users (through the CMake
// target or pkg-config) must make the compiler cover the faulting
// instruction, or the process dies of the signal instead. The fault's call
// stack names the function that faulted.
#include <krcore/diagnostics.h>
#include <krcore/se_translator.h>

#include <cstdio>
#include <sstream>
#include <string>

namespace {

// A read through a pointer the optimizer cannot see is null, with a local
// that has a destructor to run on the way out.
[[gnu::noinline]] int read_through(const volatile int* p, std::string& trail) {
  std::string local = "before the read";
  const int value = *p;
  trail = local;
  return value;
}

}  // namespace

// Returns 0 when the null read surfaced as an access violation at address 0
// in this function's catch clause with a stack that names the reading
// function, else what went wrong.
int check_own_fault(const volatile int* null_pointer) {
  se_translator guard;
  std::string trail;
  try {
    read_through(null_pointer, trail);
  } catch (const se_translator::access_violation& e) {
    if (!e.is_read_op() || e.inaccessible_address() != 0) return 2;
    if (!trail.empty()) return 3;
    std::ostringstream trace;
    sym_engine::stack_trace(trace, e.pointers()->ContextRecord, 0, "%s\n");
    if (trace.str().find("read_through") == std::string::npos) {
      std::fprintf(stderr, "consumer: the fault's stack does not name its function:\n%s",
                   trace.str().c_str());
      return 4;
    }
    return 0;
  }
  return 1;
}
