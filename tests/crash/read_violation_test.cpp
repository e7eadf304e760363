// A read access violation analysed, on Linux and on Windows: the record
// names the fault, the faulting instruction (inside the faulting function),
// the access and the place, and carries the stack trace down from the
// faulting function to the test; the thread goes on and faults again.
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include <cstdint>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>

#include "faults/fault_generators.h"

namespace {

TEST(FaultAnalysis, AReadViolationIsRecordedWithItsStackTraceAndTheThreadGoesOn) {
  krCore::se_exception_initializer guard;
  faultgen::read_null_twice_analysed(guard);
  ASSERT_EQ(guard.info_count(), 2u);
  const auto recorded = guard.info()[0];
  EXPECT_EQ(recorded.code(), static_cast<long>(static_cast<int>(0xC0000005u)));
  EXPECT_EQ(recorded.message(), recorded.context());
  // "at 0x" is followed by the faulting instruction, inside read_at, in 16
  // upper-case digits.
  const std::string text = krCore::convertwstringtostring(recorded.context());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      text, m,
      std::regex("^Access Violation at 0x([0-9A-F]{16}), thread attempts to read at 0x8, Flags: "
                 "\\[0x0\\], Code: \\[0xc0000005\\]\r\nFile: work.cpp, Line: 7, Stack trace : "
                 "\r\n")))
      << text;
  const std::uintptr_t at = std::stoull(m[1], nullptr, 16);
  const auto fn = reinterpret_cast<std::uintptr_t>(&faultgen::read_at);
  EXPECT_TRUE(at >= fn && at < fn + 64) << text;
  // The trace starts in the faulting function and reaches this test.
  const std::size_t fault_line = text.find("at faultgen::read_at()\r\n");
  const std::size_t test_line = text.find(
      "FaultAnalysis_AReadViolationIsRecordedWithItsStackTraceAndTheThreadGoesOn_Test::TestBody()");
  EXPECT_NE(fault_line, std::string::npos) << text;
  EXPECT_NE(test_line, std::string::npos) << text;
  EXPECT_LT(fault_line, test_line) << text;
  EXPECT_NE(text.find("fault_generators.cpp("), std::string::npos) << text;
}

}  // namespace
