// Processes on Windows: the system's process list and names, a child with a
// window that honours the close request, one without that is ended by
// force, and the system's management service answering process queries.
#include <gtest/gtest.h>
#include <windows.h>

#include <krcore/processes.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// The helper program beside this test program.
std::wstring child_path() {
  wchar_t own[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring path(own, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"proc_child.exe";
}

// A running child, ended by force at the end of the test if still there.
struct child {
  PROCESS_INFORMATION info{};
  explicit child(const std::wstring& arguments) {
    std::wstring line = L"\"" + child_path() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
      ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    if (info.hThread) CloseHandle(info.hThread);
  }
  ~child() {
    if (!info.hProcess) return;
    if (WaitForSingleObject(info.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 9);
    CloseHandle(info.hProcess);
  }
  DWORD exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return code;
  }
};

TEST(SystemProcesses, TheListHoldsUsAndOurChildWithTheirNames) {
  child c(L"wait");
  ASSERT_NE(c.info.hProcess, nullptr);
  std::vector<unsigned long> pids;
  ASSERT_EQ(krCore::EnumerateProcesses(pids), 0u);
  EXPECT_NE(std::find(pids.begin(), pids.end(), GetCurrentProcessId()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), c.info.dwProcessId), pids.end());
  // A list too small for all of them grows.
  std::vector<unsigned long> few(2);
  ASSERT_EQ(krCore::EnumerateProcesses(few), 0u);
  EXPECT_GT(few.size(), 2u);

  EXPECT_EQ(lower(krCore::GetProcessName(c.info.dwProcessId, false)), L"proc_child.exe");
  EXPECT_EQ(lower(krCore::GetProcessName(c.info.dwProcessId, true)), lower(child_path()));
  std::wstring name;
  EXPECT_EQ(krCore::GetProcessNameFromHandle(c.info.hProcess, name, false, false), 0u);
  EXPECT_EQ(lower(name), L"proc_child.exe");

  // A process id no process has (ids are multiples of four).
  EXPECT_EQ(krCore::GetProcessName(0x7FFFFFF3ul, name, false, false), 87u);
}

TEST(SystemProcesses, AChildWithAWindowEndsOnTheCloseRequest) {
  const std::wstring event_name = L"qmcore-proc-child-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  ASSERT_NE(ready, nullptr);
  child c(L"window " + event_name + L" 7");
  ASSERT_NE(c.info.hProcess, nullptr);
  const HANDLE either[] = {ready, c.info.hProcess};
  ASSERT_EQ(WaitForMultipleObjects(2, either, FALSE, 60000), WAIT_OBJECT_0);
  CloseHandle(ready);
  EXPECT_TRUE(krCore::terminate_child_process(c.info, 60000));
  EXPECT_EQ(c.exit_code(), 7u);  // its own answer, not the forced end's 1067
}

TEST(SystemProcesses, AChildWithoutWindowsIsEndedByForce) {
  child c(L"wait");
  ASSERT_NE(c.info.hProcess, nullptr);
  EXPECT_TRUE(krCore::terminateprocessbyid(c.info.dwProcessId, 100));
  EXPECT_EQ(WaitForSingleObject(c.info.hProcess, 0), WAIT_OBJECT_0);
  EXPECT_EQ(c.exit_code(), 0u);
}

TEST(SystemProcesses, TheManagementServiceListsProcesses) {
  child c(L"wait");
  ASSERT_NE(c.info.hProcess, nullptr);
  std::map<int, std::wstring> processes;
  ASSERT_EQ(krCore::enumerateprocessesbynamex64withpid(processes), 0u);
  const auto found = processes.find(static_cast<int>(c.info.dwProcessId));
  ASSERT_NE(found, processes.end());
  EXPECT_EQ(lower(found->second), L"proc_child.exe");

  std::wstring boot;
  EXPECT_EQ(krCore::GetLastBootUpTime(boot), 0);
  EXPECT_GE(boot.size(), 14u);  // yyyymmddHHMMSS...
}

}  // namespace
