// Stack traces on Windows: a translated fault's captured frames, a walk from
// a register set and the calling thread's own stack resolve to modules,
// functions, files and lines; and the system facts come from the system.
#include <windows.h>
#include <dbghelp.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/system_facts.h"
#include "diagnostics/trace_lines.h"
#include "diagnostics/trace_targets.h"
#include "foundation/compiler.h"

namespace {

volatile int* const g_bad = reinterpret_cast<volatile int*>(0x18);
volatile int g_sink = 0;

// The line of the call to the fault in trace_of_fault().
int g_fault_call_line = 0;

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

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FaultTraceOnWindows, NamesTheFaultingFileLineFunctionAndModuleThenTheCallers) {
  // The faulting read follows a write on the line before: the faulting
  // frame is looked up at its instruction, not one byte back.
  const std::string text = trace_of_fault(
      [] { tracetarget::read_after_write(&g_sink, g_bad); }, "%f(%l) : %m at %s\n");
  const std::vector<std::string> lines = tracetest::lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  EXPECT_TRUE(ends_with(lines[0], "trace_targets.cpp(" +
                                      std::to_string(tracetarget::kReadAfterWriteLine) +
                                      ") : diagnostics_fault_tests.exe at "
                                      "tracetarget::read_after_write()"))
      << text;
  // The callers' return addresses are looked up inside their calls.
  EXPECT_NE(lines[1].find("trace_test.cpp(" + std::to_string(g_fault_call_line) +
                          ") : diagnostics_fault_tests.exe at "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("FaultTraceOnWindows_NamesTheFaultingFileLineFunctionAndModuleThenTheCallers_"
                      "Test::TestBody()"),
            std::string::npos)
      << text;

  // Skipping the faulting frame starts at its caller; a function with
  // internal linkage resolves too.
  const std::string skipped = trace_of_fault([] { tracetarget::read_through(g_bad); }, "%s\n", 1);
  EXPECT_EQ(skipped.find("tracetarget::read_through()"), std::string::npos) << skipped;
  const std::vector<std::string> via =
      tracetest::lines_of(trace_of_fault([] { tracetarget::via_static(g_bad); }, "%s\n"));
  ASSERT_GE(via.size(), 2u);
  EXPECT_EQ(via[0], "tracetarget::fault_in_static()");
  EXPECT_EQ(via[1], "tracetarget::via_static()");
}

// A fault at a function's first instruction: the function's opening line
// and its first statement start at the same address, and the statement's,
// the later row, is the instruction's line.
TEST(FaultTraceOnWindows, AFaultAtAFunctionsFirstInstructionHasItsStatementsLine) {
  const std::vector<std::string> lines = tracetest::lines_of(
      trace_of_fault([] { tracetarget::read_through(g_bad); }, "%f(%l) : %s\n"));
  ASSERT_FALSE(lines.empty());
  IMAGEHLP_LINE64 line{};
  line.SizeOfStruct = sizeof line;
  DWORD offset = 0;
  if (::SymGetLineFromAddr64(::GetCurrentProcess(),
                             reinterpret_cast<DWORD64>(&tracetarget::read_through), &offset,
                             &line) &&
      static_cast<int>(line.LineNumber) == tracetarget::kReadLine - 1)
    GTEST_SKIP() << "Wine's dbghelp keeps the first of the line rows that start at one address "
                    "(the function's opening line), not the last";
  EXPECT_TRUE(ends_with(lines[0], "trace_targets.cpp(" + std::to_string(tracetarget::kReadLine) +
                                      ") : tracetarget::read_through()"))
      << lines[0];
}

TEST(OwnStackTraceOnWindows, StartsInTheLibraryAndReachesTheCaller) {
  std::ostringstream os;
  ASSERT_TRUE(sym_engine::stack_trace(os, 0, "%m!%s\n"));
  const std::vector<std::string> lines = tracetest::lines_of(os.str());
  ASSERT_GE(lines.size(), 3u) << os.str();
  EXPECT_EQ(lines[0], "diagnostics_fault_tests.exe!sym_engine::stack_trace()") << os.str();
  EXPECT_TRUE(ends_with(lines[1], "OwnStackTraceOnWindows_StartsInTheLibraryAndReachesTheCaller_"
                                  "Test::TestBody()"))
      << os.str();
}

TEST(RegisterWalkOnWindows, UnwindsFromACapturedContextAndRejectsAnUnreadableOne) {
  CONTEXT c{};
  ::RtlCaptureContext(&c);
  std::ostringstream os;
  ASSERT_TRUE(sym_engine::stack_trace(os, &c, 0, "%s\n"));
  const std::vector<std::string> lines = tracetest::lines_of(os.str());
  ASSERT_GE(lines.size(), 3u) << os.str();
  EXPECT_TRUE(ends_with(
      lines[0], "RegisterWalkOnWindows_UnwindsFromACapturedContextAndRejectsAnUnreadableOne_Test::"
      "TestBody()"))
      << os.str();
  EXPECT_NE(os.str().find("testing::"), std::string::npos) << os.str();

  sym_engine engine(0);
  EXPECT_FALSE(engine.stack_first(reinterpret_cast<CONTEXT*>(0x20)));
}

// A register set whose instruction pointer lies in no module (a call through
// a bad pointer) walks on from the return address at its stack pointer: an
// unknown frame, then the caller.
KRCORE_NOINLINE std::uintptr_t my_return_address() {
  const auto r = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  asm volatile("");
  return r;
}

TEST(RegisterWalkOnWindows, ABadInstructionPointerIsAnUnknownFrameThenTheCaller) {
  void* gone = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_EXECUTE_READ);
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(::VirtualFree(gone, 0, MEM_RELEASE));
  for (const std::uintptr_t pc : {std::uintptr_t{0x1000}, reinterpret_cast<std::uintptr_t>(gone)}) {
    SCOPED_TRACE(pc);
    const std::uintptr_t stack[4] = {my_return_address(), 0, 0, 0};
    CONTEXT context{};
    context.Rip = pc;
    context.Rsp = reinterpret_cast<std::uintptr_t>(stack);
    std::ostringstream os;
    ASSERT_TRUE(sym_engine::stack_trace(os, &context, 0, "%s|%m\n"));
    const std::vector<std::string> lines = tracetest::lines_of(os.str());
    ASSERT_GE(lines.size(), 2u) << os.str();
    EXPECT_EQ(lines[0], "?()|?.?");
    EXPECT_EQ(lines[1],
              "RegisterWalkOnWindows_ABadInstructionPointerIsAnUnknownFrameThenTheCaller_Test::"
              "TestBody()|diagnostics_fault_tests.exe");
  }
}

TEST(SystemFactsOnWindows, ComeFromTheSystem) {
  const krCore::detail::system_facts f = krCore::detail::read_system_facts();
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_EQ(f.executable, std::wstring(path, n));
  EXPECT_FALSE(f.user.empty());
  EXPECT_TRUE(f.os_known);
  EXPECT_GE(f.os_major, 6u);
  EXPECT_GT(f.processors, 0u);
  EXPECT_EQ(f.processor_type, 8664u);
  EXPECT_GT(f.total_physical, 0u);
  EXPECT_LE(f.free_physical, f.total_physical);
  EXPECT_GT(f.total_virtual, f.free_virtual);
  const std::wstring block = krCore::detail::format_system_information(f);
  EXPECT_NE(block.find(L"Operating system:  " + std::to_wstring(f.os_major) + L"."),
            std::wstring::npos)
      << block;
}

}  // namespace
