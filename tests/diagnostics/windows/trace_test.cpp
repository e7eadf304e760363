// Stack traces on Windows: a translated fault's captured frames, a walk from
// a register set and the calling thread's own stack resolve to modules,
// functions, files and lines; and the system facts come from the system.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/system_facts.h"
#include "diagnostics/trace_lines.h"
#include "diagnostics/trace_targets.h"

namespace {

volatile int* const g_bad = reinterpret_cast<volatile int*>(0x18);

std::string trace_of_fault(void (*fault)(), const char* format, unsigned skip = 0) {
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

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(FaultTraceOnWindows, NamesTheFaultingFileLineFunctionAndModuleThenTheCallers) {
  const std::string text = trace_of_fault([] { tracetarget::read_through(g_bad); },
                                          "%f(%l) : %m at %s\n");
  const std::vector<std::string> lines = tracetest::lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  EXPECT_TRUE(ends_with(lines[0], "trace_targets.cpp(" + std::to_string(tracetarget::kReadLine) +
                                      ") : diagnostics_fault_tests.exe at "
                                      "tracetarget::read_through()"))
      << text;
  EXPECT_NE(lines[1].find("trace_test.cpp("), std::string::npos) << text;
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

TEST(RegisterWalkOnWindows, UnwindsFromACapturedContextAndRejectsABadOne) {
  CONTEXT c{};
  ::RtlCaptureContext(&c);
  std::ostringstream os;
  ASSERT_TRUE(sym_engine::stack_trace(os, &c, 0, "%s\n"));
  const std::vector<std::string> lines = tracetest::lines_of(os.str());
  ASSERT_GE(lines.size(), 3u) << os.str();
  EXPECT_TRUE(ends_with(
      lines[0], "RegisterWalkOnWindows_UnwindsFromACapturedContextAndRejectsABadOne_Test::TestBody()"))
      << os.str();
  EXPECT_NE(os.str().find("testing::"), std::string::npos) << os.str();

  sym_engine engine(0);
  EXPECT_FALSE(engine.stack_first(reinterpret_cast<CONTEXT*>(0x20)));
  CONTEXT nowhere{};
  nowhere.Rip = 0x1000;
  nowhere.Rsp = c.Rsp;
  EXPECT_FALSE(engine.stack_first(&nowhere));
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
