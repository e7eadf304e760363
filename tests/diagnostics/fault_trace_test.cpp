// Traces of translated faults: the frames captured at the fault resolve to
// the faulting function's file, line and name, through callers back to the
// test; functions with internal linkage resolve as well.
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <sys/mman.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "trace_lines.h"

#include "trace_targets.h"

namespace {

volatile int* const g_bad = reinterpret_cast<volatile int*>(0x18);

// Every line of a trace ends with CR LF.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines = tracetest::lines_of(text);
  std::size_t total = 0;
  for (const std::string& line : lines) total += line.size() + 2;
  EXPECT_EQ(total, text.size()) << "every line ends with CR LF";
  return lines;
}

// Runs `fault`, which must raise an access violation, and returns the trace
// of the caught exception's record in `format`.
template <typename Fault>
std::string trace_of_fault(Fault fault, const char* format, unsigned skip = 0) {
  se_translator guard;
  try {
    fault();
  } catch (const se_translator::access_violation& e) {
    std::ostringstream os;
    EXPECT_TRUE(sym_engine::stack_trace(os, e.pointers()->ContextRecord, skip, format));
    return os.str();
  }
  ADD_FAILURE() << "no access violation";
  return {};
}

TEST(FaultTrace, NamesFaultingFileLineAndFunctionThenCallers) {
  const std::string text =
      trace_of_fault([] { tracetarget::read_through(g_bad); }, "%f(%l) : %m at %s\n");
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  const std::string expected_tail = "trace_targets.cpp(" + std::to_string(tracetarget::kReadLine) +
                                    ") : diagnostics_fault_tests at tracetarget::read_through()";
  EXPECT_NE(lines[0].find(expected_tail), std::string::npos) << text;
  EXPECT_EQ(lines[0][0], '/') << "the file carries its full path: " << lines[0];
  // The lambda that called it, then this test's body, resolved through the
  // captured return addresses.
  EXPECT_NE(lines[1].find("fault_trace_test.cpp("), std::string::npos) << text;
  EXPECT_NE(text.find("FaultTrace_NamesFaultingFileLineAndFunctionThenCallers_Test::TestBody()"),
            std::string::npos)
      << text;
}

TEST(FaultTrace, StaticFunctionResolves) {
  const std::string text = trace_of_fault([] { tracetarget::via_static(g_bad); }, "%s|%m\n");
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 2u) << text;
  EXPECT_EQ(lines[0], "tracetarget::fault_in_static()|diagnostics_fault_tests");
  EXPECT_EQ(lines[1], "tracetarget::via_static()|diagnostics_fault_tests");
}

TEST(FaultTrace, WalkStartsAtTheFaultAddressAndSkipsFromThere) {
  se_translator guard;
  try {
    tracetarget::read_through(g_bad);
    FAIL() << "no access violation";
  } catch (const se_translator::access_violation& e) {
    sym_engine engine(0);
    ASSERT_TRUE(engine.stack_first(e.pointers()->ContextRecord));
    char name[128];
    unsigned long displacement = 0;
    ASSERT_GT(engine.symbol(name, sizeof name, &displacement), 0u);
    EXPECT_STREQ(name, "tracetarget::read_through()");
    ASSERT_TRUE(engine.stack_next());
    ASSERT_GT(engine.symbol(name, sizeof name), 0u);
    EXPECT_STREQ(name,
                 "(anonymous namespace)::"
                 "FaultTrace_WalkStartsAtTheFaultAddressAndSkipsFromThere_Test::TestBody()");

    // Skipping the faulting frame starts the text at its caller.
    std::ostringstream skipped;
    ASSERT_TRUE(sym_engine::stack_trace(skipped, e.pointers()->ContextRecord, 1, "%s\n"));
    EXPECT_EQ(skipped.str().rfind(std::string(name) + "\r\n", 0), 0u) << skipped.str();
  }
}

// A call through a bad pointer (null, or into code that is gone, as through
// a freed object's table) stops at that pointer: the trace names it as an
// unknown frame and goes on with the caller, from the fault's record and
// from a bare register set alike.
__attribute__((noinline)) std::uintptr_t my_return_address() {
  const auto r = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  asm volatile("");
  return r;
}

TEST(FaultTrace, CallThroughABadPointerNamesAnUnknownFrameThenTheCaller) {
  const long page = sysconf(_SC_PAGESIZE);
  void* gone = mmap(nullptr, page, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(gone, MAP_FAILED);
  munmap(gone, page);
  for (void* target : {static_cast<void*>(nullptr), gone}) {
    SCOPED_TRACE(target);
    const std::string text = trace_of_fault(
        [target] { tracetarget::call_through(reinterpret_cast<int (*)()>(target)); }, "%s|%m\n");
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_GE(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0], "?()|?.?");
    EXPECT_EQ(lines[1], "tracetarget::call_through()|diagnostics_fault_tests");
  }

  // A register set alone: the return address is the word at the stack
  // pointer.
  std::uintptr_t stack[4] = {my_return_address(), 0, 0, 0};
  CONTEXT context{};
  context.Rip = reinterpret_cast<std::uintptr_t>(gone);
  context.Rsp = reinterpret_cast<std::uintptr_t>(stack);
  std::ostringstream os;
  ASSERT_TRUE(sym_engine::stack_trace(os, &context, 0, "%s\n"));
  const std::vector<std::string> lines = lines_of(os.str());
  ASSERT_GE(lines.size(), 2u) << os.str();
  EXPECT_EQ(lines[0], "?()");
  EXPECT_EQ(lines[1],
            "(anonymous namespace)::"
            "FaultTrace_CallThroughABadPointerNamesAnUnknownFrameThenTheCaller_Test::TestBody()");
}

}  // namespace
