// The system-information block: its exact text for given facts, the facts
// read from this machine, and the shape of crash-dump file names.
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cwchar>
#include <string>

#include "diagnostics/system_facts.h"

namespace {

using krCore::detail::format_system_information;
using krCore::detail::read_system_facts;
using krCore::detail::system_facts;

constexpr unsigned long long kMiB = 1024 * 1024;

std::wstring self_path() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::wstring(buf, buf + n) : std::wstring();
}

TEST(SystemInformation, BlockText) {
  system_facts f;
  f.local_time.wYear = 2026;
  f.local_time.wMonth = 3;
  f.local_time.wDay = 7;
  f.local_time.wHour = 9;
  f.local_time.wMinute = 5;
  f.local_time.wSecond = 37;  // shown at two-second resolution
  f.executable = L"/opt/agent/bin/agentd";
  f.user = L"svc";
  f.os_known = true;
  f.os_major = 6;
  f.os_minor = 1;
  f.os_build = 0x10000 + 55;  // only the low 16 bits are shown
  f.processors = 2;
  f.processor_type = 8664;
  f.memory_load = 41;
  f.total_physical = 24 * 1024 * kMiB;
  f.free_physical = kMiB + 1;  // rounds up
  f.total_paging = 1;
  f.free_paging = 0;
  f.total_virtual = 1ull << 47;
  f.free_virtual = (1ull << 47) - 3 * kMiB;
  EXPECT_EQ(format_system_information(f),
            L"Fatal Error occurred at 3/7/2026 09:05:36\r\n"
            L"/opt/agent/bin/agentd running as svc\r\n"
            L"Operating system:  6.1.55\r\n"
            L"2 processor(s), type 8664.\r\n"
            L"41% memory in use.\r\n"
            L"24576 MBytes physical memory.\r\n"
            L"2 MBytes physical memory free.\r\n"
            L"1 MBytes paging file.\r\n"
            L"0 MBytes paging file free.\r\n"
            L"134217728 MBytes user address space.\r\n"
            L"134217725 MBytes user address space free.\r\n");

  system_facts unknown;
  const std::wstring text = format_system_information(unknown);
  EXPECT_NE(text.find(L"\r\nUnknown running as Unknown\r\nOperating system:  unknown\r\n"),
            std::wstring::npos)
      << text;
}

TEST(SystemInformation, FactsOfThisMachine) {
  const system_facts f = read_system_facts();
  EXPECT_EQ(f.executable, self_path());
  EXPECT_FALSE(f.user.empty());
  EXPECT_TRUE(f.os_known && f.os_major >= 3u);
  EXPECT_EQ(f.processor_type, 8664u);
  EXPECT_TRUE(f.total_physical > 0 && f.free_physical <= f.total_physical);
  EXPECT_LE(f.memory_load, 100u);
  EXPECT_TRUE(f.total_paging > 0 && f.free_paging <= f.total_paging);
  rlimit as{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &as), 0);
  if (as.rlim_cur == RLIM_INFINITY) {
    EXPECT_EQ(f.total_virtual, 1ull << 47);
  }
  EXPECT_TRUE(f.free_virtual > 0 && f.free_virtual < f.total_virtual);
  EXPECT_GE(f.local_time.wYear, 2020);

  // The block itself, as the analysis writes it, never fails.
  sym_engine::dumpsysteminformation();
  EXPECT_TRUE(sym_engine::mini_dump(nullptr));
}

TEST(DumpFileName, PathTickCountProcessId) {
  wchar_t name[260];
  krCore::GenerateDumpFileName(name);
  const std::wstring text = name, path = self_path();
  const std::wstring tail = L"." + std::to_wstring(getpid()) + L".CRASH.DMP";
  ASSERT_TRUE(text.starts_with(path + L".") && text.ends_with(tail)) << text;
  const std::wstring tick =
      text.substr(path.size() + 1, text.size() - path.size() - 1 - tail.size());
  EXPECT_TRUE(!tick.empty() && tick.find_first_not_of(L"0123456789") == std::wstring::npos) << text;
}

}  // namespace
