// The exception analysis of a translated fault on Windows: the recorded
// text names the fault, the access and the place, and carries the stack
// trace down from the faulting function; the thread goes on.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <string>

#include "faults/fault_generators.h"

namespace {

using krCore::se_exception_initializer;

TEST(FaultAnalysisOnWindows, AReadViolationIsRecordedWithItsStackTraceAndTheThreadGoesOn) {
  se_exception_initializer guard;
  for (int i = 0; i < 2; ++i) {
    try {
      faultgen::read_at(reinterpret_cast<void*>(0x8));
    } catch (...) {
      guard.Analyze("work.cpp", 7);
    }
  }
  ASSERT_EQ(guard.info_count(), 2u);
  const std::string text = krCore::convertwstringtostring(guard.info()[0].context());
  EXPECT_EQ(text.rfind("Access Violation at 0x", 0), 0u) << text;
  EXPECT_NE(text.find(", thread attempts to read at 0x8, Flags: [0x0], Code: [0xc0000005]\r\n"
                      "File: work.cpp, Line: 7, Stack trace : \r\n"),
            std::string::npos)
      << text;
  // The trace starts in the faulting function and reaches this test.
  const std::size_t fault_line = text.find("at faultgen::read_at()\r\n");
  const std::size_t test_line =
      text.find("FaultAnalysisOnWindows_AReadViolationIsRecordedWithItsStackTraceAndTheThreadGoesOn"
                "_Test::TestBody()");
  EXPECT_NE(fault_line, std::string::npos) << text;
  EXPECT_NE(test_line, std::string::npos) << text;
  EXPECT_LT(fault_line, test_line) << text;
  EXPECT_NE(text.find("fault_generators.cpp("), std::string::npos) << text;
}

}  // namespace
