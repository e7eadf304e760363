// Faults that no handler takes, in a child program: each is caught, or
// reported by the crash diagnostics (with a minidump) and ends the process
// with the fault's code, as an unhandled fault ends it — never in
// std::terminate, and never waiting for a debugger.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

namespace {

struct outcome {
  DWORD code = 0;
  DWORD pid = 0;
  std::string output;  // standard output and error together
};

std::wstring test_folder() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

// Runs unhandled_child_O2 on case `which` with the bad address 0x20, its
// debugger output sent to standard error.
outcome run_child(const std::wstring& which) {
  outcome out;
  std::wstring command =
      L"\"" + test_folder() + L"\\unhandled_child_O2.exe\" " + which + L" 0x20";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return out;
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = write_end;
  start.hStdError = write_end;
  ::SetEnvironmentVariableW(L"KRCORE_DEBUG_OUTPUT", L"stderr");
  PROCESS_INFORMATION child{};
  const bool started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &start, &child);
  ::CloseHandle(write_end);
  if (started) {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
      out.output.append(buffer, n);
    ::WaitForSingleObject(child.hProcess, INFINITE);
    ::GetExitCodeProcess(child.hProcess, &out.code);
    out.pid = child.dwProcessId;
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
  }
  ::CloseHandle(read_end);
  return out;
}

// Removes the child's minidumps and says whether one was there with data.
bool took_minidump(const outcome& o) {
  const std::wstring folder = test_folder();
  const std::wstring pattern =
      folder + L"\\unhandled_child_O2.exe.*." + std::to_wstring(o.pid) + L".CRASH.DMP";
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool with_data = false;
  do {
    with_data |= found.nFileSizeLow > 0 || found.nFileSizeHigh > 0;
    ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return with_data;
}

// Reported: ended with the fault's code (std::terminate would end with 3)
// after writing its minidump.
void expect_reported(const outcome& o, DWORD code) {
  EXPECT_EQ(o.code, code) << o.output;
  EXPECT_EQ(o.output.find("terminate called"), std::string::npos) << o.output;
  EXPECT_TRUE(took_minidump(o));
}

TEST(UnhandledFaultOnWindows, IsCaughtOrReportedWithADumpAndEndsWithItsCode) {
  for (const wchar_t* which : {L"memcpy", L"wrong-clause", L"strlen", L"recurse"}) {
    SCOPED_TRACE(std::string(which, which + wcslen(which)));
    const outcome o = run_child(which);
    if (o.code != 0) {
      expect_reported(o, std::wstring(which) == L"recurse" ? 0xC00000FD : 0xC0000005);
    }
  }
  // A frame that forbids exceptions: reported, not terminated.
  const outcome in_noexcept = run_child(L"noexcept");
  expect_reported(in_noexcept, 0xC0000005);
}

TEST(UnhandledFaultOnWindows, AFaultOnAThreadWithoutATranslatorIsReportedAndEndsTheProcess) {
  const outcome o = run_child(L"other-thread");
  expect_reported(o, 0xC0000005);
}

}  // namespace
