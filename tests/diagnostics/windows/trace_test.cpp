// Stack traces on Windows beyond the portable fault traces of
// fault_trace_test.cpp: a walk from a captured register set and the calling
// thread's own stack resolve to modules and functions; and the system facts
// come from the system.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/system_facts.h"
#include "diagnostics/trace_lines.h"

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
