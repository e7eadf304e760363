// Traces of translated faults, on Linux and on Windows: the frames captured
// at the fault resolve to the faulting function's file, line, name and
// module, through callers back to the test; functions with internal linkage
// resolve as well; a skip starts the text at the caller; and a call through
// a bad pointer is an unknown frame, then the caller.
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#if defined(_WIN32)
#include <windows.h>
#include <dbghelp.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/trace_lines.h"
#include "diagnostics/trace_targets.h"
#include "foundation/compiler.h"

namespace {

#if defined(_WIN32)
const std::string kModule = "diagnostics_fault_tests.exe";
#else
const std::string kModule = "diagnostics_fault_tests";
#endif

volatile int* const g_bad = reinterpret_cast<volatile int*>(0x18);
volatile int g_sink = 0;

// The line of the call to the fault in trace_of_fault().
int g_fault_call_line = 0;

// Every line of a trace ends with CR LF.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines = tracetest::lines_of(text);
  std::size_t total = 0;
  for (const std::string& line : lines) total += line.size() + 2;
  EXPECT_EQ(total, text.size()) << "every line ends with CR LF";
  return lines;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Runs `fault`, which must raise an access violation, and returns the trace
// of the caught exception's record in `format`.
std::string trace_of_fault(void (*fault)(), const char* format, unsigned skip = 0) {
  se_translator guard;
  try {
    g_fault_call_line = __LINE__ + 1;
    fault();
  } catch (const se_translator::access_violation& e) {
    std::ostringstream os;
    EXPECT_TRUE(sym_engine::stack_trace(os, e.pointers()->ContextRecord, skip, format));
    return os.str();
  }
  ADD_FAILURE() << "no access violation";
  return {};
}

TEST(FaultTrace, NamesTheFaultingFileLineFunctionAndModuleThenTheCallers) {
  // The faulting read follows a write on the line before: the faulting
  // frame is looked up at its instruction, not one byte back.
  const std::string text =
      trace_of_fault([] { tracetarget::read_after_write(&g_sink, g_bad); }, "%f(%l) : %m at %s\n");
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  EXPECT_TRUE(ends_with(lines[0], "trace_targets.cpp(" +
                                      std::to_string(tracetarget::kReadAfterWriteLine) +
                                      ") : " + kModule + " at tracetarget::read_after_write()"))
      << text;
#if !defined(_WIN32)
  EXPECT_EQ(lines[0][0], '/') << "the file carries its full path: " << lines[0];
#endif
  // The callers' return addresses are looked up inside their calls.
  EXPECT_NE(lines[1].find("fault_trace_test.cpp(" + std::to_string(g_fault_call_line) +
                          ") : " + kModule + " at "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("FaultTrace_NamesTheFaultingFileLineFunctionAndModuleThenTheCallers_"
                      "Test::TestBody()"),
            std::string::npos)
      << text;
}

// A fault at a function's first instruction: the function's opening line
// and its first statement start at the same address, and the statement's,
// the later row, is the instruction's line.
TEST(FaultTrace, AFaultAtAFunctionsFirstInstructionHasItsStatementsLine) {
  const std::vector<std::string> lines =
      lines_of(trace_of_fault([] { tracetarget::read_through(g_bad); }, "%f(%l) : %s\n"));
  ASSERT_FALSE(lines.empty());
#if defined(_WIN32)
  IMAGEHLP_LINE64 line{};
  line.SizeOfStruct = sizeof line;
  DWORD offset = 0;
  if (::SymGetLineFromAddr64(::GetCurrentProcess(),
                             reinterpret_cast<DWORD64>(&tracetarget::read_through), &offset,
                             &line) &&
      static_cast<int>(line.LineNumber) == tracetarget::kReadLine - 1)
    GTEST_SKIP() << "Wine's dbghelp keeps the first of the line rows that start at one address "
                    "(the function's opening line), not the last";
#endif
  EXPECT_TRUE(ends_with(lines[0], "trace_targets.cpp(" + std::to_string(tracetarget::kReadLine) +
                                      ") : tracetarget::read_through()"))
      << lines[0];
}

TEST(FaultTrace, StaticFunctionResolves) {
  const std::vector<std::string> lines =
      lines_of(trace_of_fault([] { tracetarget::via_static(g_bad); }, "%s|%m\n"));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "tracetarget::fault_in_static()|" + kModule);
  EXPECT_EQ(lines[1], "tracetarget::via_static()|" + kModule);
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
    EXPECT_TRUE(ends_with(name,
                          "FaultTrace_WalkStartsAtTheFaultAddressAndSkipsFromThere_Test::"
                          "TestBody()"))
        << name;

    // Skipping the faulting frame starts the text at its caller.
    std::ostringstream skipped;
    ASSERT_TRUE(sym_engine::stack_trace(skipped, e.pointers()->ContextRecord, 1, "%s\n"));
    EXPECT_EQ(skipped.str().rfind(std::string(name) + "\r\n", 0), 0u) << skipped.str();
  }
}

// A call through a bad pointer (null, or into code that is gone, as through
// a freed object's table) stops at that pointer: the trace names it as an
// unknown frame and goes on with the caller, from the fault's record (on
// Linux) and from a bare register set, whose return address is the word at
// the stack pointer.
KRCORE_NOINLINE std::uintptr_t my_return_address() {
  const auto r = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  asm volatile("");
  return r;
}

TEST(FaultTrace, CallThroughABadPointerNamesAnUnknownFrameThenTheCaller) {
#if defined(_WIN32)
  void* gone = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_EXECUTE_READ);
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(::VirtualFree(gone, 0, MEM_RELEASE));
#else
  const long page = sysconf(_SC_PAGESIZE);
  void* gone = mmap(nullptr, page, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(gone, MAP_FAILED);
  munmap(gone, page);
  static void* target = nullptr;
  for (void* t : {static_cast<void*>(nullptr), gone}) {
    SCOPED_TRACE(t);
    target = t;
    const std::vector<std::string> lines = lines_of(trace_of_fault(
        [] { tracetarget::call_through(reinterpret_cast<int (*)()>(target)); }, "%s|%m\n"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "?()|?.?");
    EXPECT_EQ(lines[1], "tracetarget::call_through()|" + kModule);
  }
#endif

  for (const std::uintptr_t pc : {std::uintptr_t{0x1000}, reinterpret_cast<std::uintptr_t>(gone)}) {
    SCOPED_TRACE(pc);
    const std::uintptr_t stack[4] = {my_return_address(), 0, 0, 0};
    CONTEXT context{};
    context.Rip = pc;
    context.Rsp = reinterpret_cast<std::uintptr_t>(stack);
    std::ostringstream os;
    ASSERT_TRUE(sym_engine::stack_trace(os, &context, 0, "%s|%m\n"));
    const std::vector<std::string> lines = lines_of(os.str());
    ASSERT_GE(lines.size(), 2u) << os.str();
    EXPECT_EQ(lines[0], "?()|?.?");
    EXPECT_TRUE(ends_with(lines[1],
                          "FaultTrace_CallThroughABadPointerNamesAnUnknownFrameThenTheCaller_Test::"
                          "TestBody()|" +
                              kModule))
        << lines[1];
  }
}

}  // namespace
