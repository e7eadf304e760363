// Presses Ctrl-C in a console program's console, as a user at its window
// would, and reports how the program ended:
//   ctrl_c.exe <output file> <program> [arguments...]
// Starts the program in a console of its own making, its standard output
// and error going to <output file>, waits until that output holds the line
// the program prints once it watches the console ("Running until" or
// "Running for"), sends CTRL_C_EVENT to every process of the console, and
// waits for the program to end. The exit code is the program's; 100 and up
// are this tool's own failures, said on its standard error.
//
// A process that Wine starts from a shell without a terminal has a console
// that refuses control events, so the console is made here; the event goes
// to group 0 (the whole console), since a program started in a process
// group of its own ignores Ctrl-C.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kReadyTimeoutMs = 120000;  // a loaded machine starts Wine slowly
constexpr DWORD kStopTimeoutMs = 60000;
constexpr DWORD kPollMs = 100;

int failed(const char* what) {
  (void)std::fprintf(stderr, "ctrl_c: %s (error %lu)\n", what, GetLastError());
  return 100;
}

// Appends one argument to a command line, quoted as CommandLineToArgvW
// splits it.
void append_argument(std::wstring& line, const wchar_t* arg) {
  if (!line.empty()) line += L' ';
  line += L'"';
  std::size_t slashes = 0;
  for (const wchar_t* p = arg; *p; ++p) {
    if (*p == L'\\') {
      ++slashes;
      continue;
    }
    line.append(*p == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    line += *p;
  }
  line.append(2 * slashes, L'\\');
  line += L'"';
}

// Whether the file (open for reading, shared with its writer) holds the
// line the program prints once it is ready.
bool shows_ready(HANDLE file) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  while (text.size() < (1U << 20) && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
    text.append(buffer, got);
  return text.find("Running until") != std::string::npos ||
         text.find("Running for") != std::string::npos;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    (void)std::fprintf(stderr, "usage: ctrl_c.exe <output file> <program> [arguments...]\n");
    return 100;
  }
  FreeConsole();
  if (!AllocConsole()) return failed("cannot make a console");

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE output = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return failed("cannot make the output file");
  const HANDLE reader =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return failed("cannot read the output file");

  std::wstring line;
  for (int i = 2; i < argc; ++i) append_argument(line, argv[i]);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = output;
  start.hStdError = output;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                      &child))
    return failed("cannot start the program");
  CloseHandle(child.hThread);
  // This tool is in the console the event goes to and must outlive it. Only
  // now: a child inherits the choice to ignore Ctrl-C.
  if (!SetConsoleCtrlHandler(nullptr, TRUE)) {
    TerminateProcess(child.hProcess, 1);
    return failed("cannot ignore Ctrl-C");
  }

  // The program says when it is ready only in its output; an early end is
  // seen at once through its handle.
  DWORD waited = 0;
  while (!shows_ready(reader)) {
    if (WaitForSingleObject(child.hProcess, kPollMs) == WAIT_OBJECT_0) {
      (void)std::fprintf(stderr, "ctrl_c: the program ended before it was ready\n");
      return 101;
    }
    waited += kPollMs;
    if (waited >= kReadyTimeoutMs) {
      TerminateProcess(child.hProcess, 1);
      (void)std::fprintf(stderr, "ctrl_c: the program was not ready within %lu s\n",
                         kReadyTimeoutMs / 1000);
      return 102;
    }
  }
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    TerminateProcess(child.hProcess, 1);
    return failed("cannot send Ctrl-C");
  }
  if (WaitForSingleObject(child.hProcess, kStopTimeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(child.hProcess, 1);
    (void)std::fprintf(stderr, "ctrl_c: the program did not end within %lu s of Ctrl-C\n",
                       kStopTimeoutMs / 1000);
    return 103;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child.hProcess, &code)) return failed("no exit code");
  return static_cast<int>(code);
}
