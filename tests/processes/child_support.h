// Test support: real children of the helper program, started through the
// library's CreateProcessW and reported ready over a pipe, so a test acts
// only once the child has set itself up.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <krcore/processes.h>

#include <string>

namespace proctest {

inline std::string child_program() { return PROC_CHILD_PATH; }

// Owns a started child; ends and closes it when the test did not.
struct child {
  PROCESS_INFORMATION pi{};
  child() = default;
  child(const child&) = delete;
  child& operator=(const child&) = delete;
  ~child() {
    if (!pi.hProcess) return;
    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
  }
  DWORD exit_code() const {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    return code;
  }
};

// Starts `program` with `arguments`; true once it is running.
inline bool spawn(child& c, const std::string& program, const std::string& arguments) {
  const std::wstring line = L"\"" + std::wstring(program.begin(), program.end()) + L"\" " +
                            std::wstring(arguments.begin(), arguments.end());
  std::wstring buffer = line;
  return CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr,
                        &c.pi) != 0;
}

// Starts `program` in a mode that reports ready, and waits for the report;
// `report` (may be null) receives all the child wrote.
inline bool spawn_ready(child& c, const std::string& mode,
                        const std::string& program = child_program(),
                        std::string* report = nullptr) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ::fcntl(fds[1], F_SETFD, 0);  // only the write end reaches the child
  const bool started = spawn(c, program, mode + " " + std::to_string(fds[1]));
  ::close(fds[1]);
  std::string text;
  char buffer[64];
  ssize_t n;
  while (started && (n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  ::close(fds[0]);
  if (report) *report = text;
  return started && !text.empty();
}

}  // namespace proctest
