// A process's own arguments on Windows. The system keeps only the joined
// command line, so CommandLineArgs::ParseCommandLine() must read back the
// arguments the system's splitter gives for it: quoted, escaped, trailing
// backslashes and text outside ASCII included. A real child program is
// started with a chosen command line and reports what it parsed.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The child program beside this test program.
std::wstring child_path() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"cmdline_child.exe";
}

// Starts the child with `arguments` after its quoted path and returns its
// output lines, brackets removed; fails the test when it does not run or
// end well within a minute.
Lines run_child(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  EXPECT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + child_path() + L"\" " + arguments;
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    ADD_FAILURE() << "the child did not start, error " << GetLastError();
    CloseHandle(read_end);
    return {};
  }
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
    output.append(buffer, got);
  CloseHandle(read_end);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  Lines lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']')
      line = line.substr(1, line.size() - 2);
    lines.push_back(line);
  }
  return lines;
}

std::string utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

TEST(OwnArgumentsOnWindows, ParsedAsTheSystemSplitsTheCommandLine) {
  const Lines lines = run_child(
      L"Name=Gr\u00fc\u00dfe\u65e5\u672c \"/Sw itch\" \"say \\\"hi\\\"\" "
      LR"(C:\dir\ "tail\\" -Flag "" x="a b")");
  const std::string self = utf8(child_path());
  const std::string value = "Gr\u00fc\u00dfe\u65e5\u672c";
  // The system's split, then what the child parsed from its own arguments:
  // the module path, the named values and switches by name, the rest in
  // order (the empty argument too).
  // clang-format off
  const Lines expected{
      self, "Name=" + value, "/Sw itch", "say \"hi\"", R"(C:\dir\)", R"(tail\)", "-Flag", "", "x=a b",
      "--",
      self, "flag=true", "name=" + value, "sw itch=true", "x=a b",
      "?say \"hi\"", R"(?C:\dir\)", R"(?tail\)", "?"};
  // clang-format on
  EXPECT_EQ(lines, expected);
}

}  // namespace
