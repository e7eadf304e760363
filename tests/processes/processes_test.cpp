// Process handles, enumeration, names, waits and the three terminations,
// all against real children of the helper program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <krcore/processes.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>
#include <boost/filesystem.hpp>

#include "processes/child_support.h"
#include "processes/log_record.h"
#include "foundation/waitable.h"
#include "processes/process_table.h"

namespace {

using namespace proctest;

class Processes : public LoggedTest {};

std::wstring base_name(const std::string& path) {
  return boost::filesystem::path(path).filename().wstring();
}

// A pid that no process has: a child that exited and was collected.
DWORD vacant_pid() {
  child c;
  EXPECT_TRUE(spawn(c, child_program(), "exit 0"));
  WaitForSingleObject(c.pi.hProcess, INFINITE);
  const DWORD pid = c.pi.dwProcessId;
  CloseHandle(c.pi.hProcess);
  c.pi.hProcess = nullptr;
  return pid;
}

TEST_F(Processes, EnumerationListsUsAndOurChildWithTheirNames) {
  child c;
  ASSERT_TRUE(spawn_ready(c, "wait"));
  std::vector<unsigned long> pids(2);  // too small at first: doubles until all fit
  ASSERT_EQ(krCore::EnumerateProcesses(pids), 0u);
  EXPECT_GT(pids.size(), 2u);
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<unsigned long>(::getpid())), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), c.pi.dwProcessId), pids.end());

  EXPECT_EQ(krCore::GetProcessName(c.pi.dwProcessId, false), base_name(child_program()));
  EXPECT_EQ(krCore::GetProcessName(c.pi.dwProcessId, true),
            boost::filesystem::canonical(child_program()).wstring());
  EXPECT_EQ(krCore::GetProcessName(::getpid(), false), L"processes_tests");
  std::wstring name;
  EXPECT_EQ(krCore::GetProcessNameFromHandle(c.pi.hProcess, name, false, false), 0u);
  EXPECT_EQ(name, base_name(child_program()));

  std::map<int, std::wstring> all;
  ASSERT_EQ(krCore::enumerateprocessesbynamex64withpid(all), 0u);
  EXPECT_EQ(all[static_cast<int>(c.pi.dwProcessId)], base_name(child_program()));
}

// A host that closes descriptors it does not know of, and opens a folder
// that then gets the number the library kept /proc under: the names still
// come from /proc, not from that folder.
TEST_F(Processes, NamesComeFromProcAfterTheHostReusedItsDescriptor) {
  const std::wstring real = krCore::GetProcessName(::getpid(), true);
  int kept = -1;
  for (const auto& entry : boost::filesystem::directory_iterator("/proc/self/fd")) {
    boost::system::error_code ignored;
    if (boost::filesystem::read_symlink(entry.path(), ignored).string() == "/proc")
      kept = std::stoi(entry.path().filename().string());
  }
  ASSERT_GE(kept, 0) << "no descriptor of /proc is open";
  const boost::filesystem::path fake =
      boost::filesystem::temp_directory_path() / ("qmcore-fake-proc-" + std::to_string(::getpid()));
  boost::filesystem::create_directories(fake / std::to_string(::getpid()));
  boost::filesystem::create_symlink("/fake/planted", fake / std::to_string(::getpid()) / "exe");
  const int other = ::open(fake.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::dup2(other, kept), kept);  // closes the library's copy first
  ::close(other);
  EXPECT_EQ(krCore::GetProcessName(::getpid(), true), real);
  ::close(kept);
  boost::filesystem::remove_all(fake);
  EXPECT_EQ(krCore::GetProcessName(::getpid(), true), real);
}

TEST_F(Processes, NamesOfMissingProcessesFailWith87) {
  const DWORD pid = vacant_pid();
  std::wstring name;
  EXPECT_EQ(krCore::GetProcessName(pid, name, false, false), 87u);
  EXPECT_EQ(with(L"GetProcessName() failed for PID [" + std::to_wstring(pid) + L"], error code [87]").size(), 1u);
  EXPECT_THROW(krCore::GetProcessName(pid, false), krException);
  EXPECT_EQ(krCore::GetProcessNameNoThrow(pid, false), L"");
  EXPECT_EQ(krCore::GetProcessNameNoThrow(0, false), L"");
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, 0, pid), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(Processes, KernelThreadsAreNamedByTheirShortName) {
  // pid 2 is the kernel's thread creator on every Linux system; outside a
  // pid namespace it exists and has no executable.
  std::wstring name;
  if (krCore::GetProcessName(2, name, false, false) != 0) GTEST_SKIP() << "no kthreadd here";
  EXPECT_EQ(name, L"kthreadd");
}

TEST_F(Processes, ExitCodesOfOurChildren) {
  child c;
  ASSERT_TRUE(spawn(c, child_program(), "exit 7"));
  ASSERT_EQ(WaitForSingleObject(c.pi.hProcess, 10000), 0u);
  EXPECT_EQ(c.exit_code(), 7u);
  // A second handle to the same child sees the same code, also after the
  // first collected it.
  child d;
  ASSERT_TRUE(spawn_ready(d, "wait"));
  HANDLE other = OpenProcess(SYNCHRONIZE, 0, d.pi.dwProcessId);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(d.exit_code(), STILL_ACTIVE);
  ASSERT_TRUE(TerminateProcess(d.pi.hProcess, 42));
  ASSERT_EQ(WaitForSingleObject(other, 10000), 0u);
  EXPECT_EQ(d.exit_code(), 42u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(other, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(TerminateProcess(other, 1));  // ending an ended process succeeds
  CloseHandle(other);
  EXPECT_EQ(GetProcessId(d.pi.hProcess), d.pi.dwProcessId);
}

// True while `pid` is an uncollected child of ours (a zombie once it ended).
bool our_zombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  char state = 0;
  long parent = 0;
  std::istringstream(text.substr(close + 1)) >> state >> parent;
  return state == 'Z' && parent == static_cast<long>(getpid());
}

TEST_F(Processes, ChildrenWhoseHandlesWereClosedAreCollectedWhenTheyEnd) {
  std::vector<int> ends;  // our own descriptors of the children, to end them and see them end
  std::vector<pid_t> pids;
  for (int i = 0; i < 20; ++i) {
    child c;
    ASSERT_TRUE(spawn_ready(c, "wait"));
    pids.push_back(static_cast<pid_t>(c.pi.dwProcessId));
    ends.push_back(static_cast<int>(syscall(SYS_pidfd_open, pids.back(), 0)));
    ASSERT_GE(ends.back(), 0);
    CloseHandle(c.pi.hProcess);
    c.pi.hProcess = nullptr;
  }
  for (int fd : ends) ASSERT_EQ(syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0), 0);
  for (int fd : ends) {
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1);
    close(fd);
  }
  // The collection follows each end; nothing announces it, so look.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::size_t left = pids.size();
  while (left > 0 && std::chrono::steady_clock::now() < deadline) {
    left = static_cast<std::size_t>(std::count_if(pids.begin(), pids.end(), our_zombie));
    if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(left, 0u);
}

TEST_F(Processes, ExitCodeOfAnotherProcessIsReadWhileItsParentHasNotCollectedIt) {
  child parent;
  std::string report;
  ASSERT_TRUE(spawn_ready(parent, "orphan", child_program(), &report));
  HANDLE h = OpenProcess(SYNCHRONIZE, 0, static_cast<DWORD>(std::stoul(report)));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 10000), 0u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(h, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(h);
}

TEST_F(Processes, CreateProcessReportsAMissingProgram) {
  PROCESS_INFORMATION pi{};
  std::wstring line = L"/nonexistent/program arg";
  EXPECT_FALSE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, 0, 0, nullptr, nullptr,
                              nullptr, &pi));
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_FALSE(CreateProcessW(nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, &pi));
  EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(Processes, ProcessHandleJoinsWaitsBesideAnEvent) {
  HANDLE event = krCore::detail::create_event(true, false, L"");
  ASSERT_NE(event, nullptr);
  child c;
  ASSERT_TRUE(spawn_ready(c, "wait"));
  HANDLE both[2] = {event, c.pi.hProcess};
  EXPECT_EQ(WaitForMultipleObjects(2, both, 0, 50), 258u);
  ::kill(static_cast<pid_t>(c.pi.dwProcessId), SIGTERM);
  EXPECT_EQ(WaitForMultipleObjects(2, both, 0, 10000), 1u);
  EXPECT_EQ(c.exit_code(), 128u + SIGTERM);
  // An ended process stays signalled; the lower index still wins.
  krCore::detail::set_event(event);
  EXPECT_EQ(WaitForMultipleObjects(2, both, 0, 0), 0u);
  EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 0), 0u);
  CloseHandle(event);
}

TEST_F(Processes, WaitProcessExitAndItsLogLines) {
  child c;
  ASSERT_TRUE(spawn_ready(c, "wait"));
  EXPECT_FALSE(krCore::WaitProcessExit(c.pi.hProcess, 10, 0));
  EXPECT_FALSE(krCore::WaitProcessExitAndLog(c.pi.hProcess, 10, 2, L"pre -", L"n", 12, 5));
  EXPECT_EQ(with(L"pre - Process (n) with PID (12) failed to be terminated. Error Code: [0x5] : Access is denied.").size(), 1u);
  ASSERT_TRUE(TerminateProcess(c.pi.hProcess, 0));
  EXPECT_TRUE(krCore::WaitProcessExit(c.pi.hProcess, 10000, 1));
  EXPECT_TRUE(krCore::WaitProcessExitAndLog(c.pi.hProcess, 10, 1, L"pre -", L"n", 12, 0));
  EXPECT_EQ(with(L"pre - the process (n) with PID: 12 is no longer active.").size(), 1u);
  EXPECT_TRUE(krCore::WaitProcessExitAndLog(c.pi.hProcess, 10, 1, L"pre -", L"n", 12, 0x1f));
  EXPECT_EQ(with(L"pre - TerminateProcess failed [0x1f] HOWEVER the process is no longer active: n with PID: 12.").size(), 1u);
  EXPECT_FALSE(krCore::WaitProcessExit(nullptr, 10, 1));
  EXPECT_EQ(with(L"GetExitCodeProcess failed with error [0x6], loop (1) of {1)").size(), 1u);
}

TEST_F(Processes, ChildThatHonoursTheRequestEndsWithoutTheKill) {
  child c;
  ASSERT_TRUE(spawn_ready(c, "cooperate"));
  EXPECT_TRUE(krCore::terminate_child_process(c.pi, 10000));
  EXPECT_EQ(c.exit_code(), 3u);  // its own code, not the kill's 1067
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(with(L"failed to respond").empty());
  EXPECT_EQ(with(L"exited with code (3)").size(), 1u);
}

TEST_F(Processes, ChildThatIgnoresTheRequestIsKilledAfterTheWait) {
  child c;
  ASSERT_TRUE(spawn_ready(c, "ignore"));
  EXPECT_TRUE(krCore::terminate_child_process(c.pi, 100));
  EXPECT_EQ(c.exit_code(), 1067u);
  const auto warned = with(L"failed to respond to WM_CLOSE after (100) ms. Wait code (258)");
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].level, logger::log_warning);

  child d;  // without the request, only the kill ends it
  ASSERT_TRUE(spawn_ready(d, "cooperate"));
  EXPECT_TRUE(krCore::terminate_child_process(d.pi.hProcess, d.pi.dwProcessId, false, 50));
  EXPECT_EQ(d.exit_code(), 1067u);
  EXPECT_EQ(with(L"failed shutdown after (50) ms").size(), 1u);
}

TEST_F(Processes, TerminateByIdAsksThenKills) {
  child polite;
  ASSERT_TRUE(spawn_ready(polite, "cooperate"));
  EXPECT_TRUE(krCore::terminateprocessbyid(polite.pi.dwProcessId, 10000));
  EXPECT_EQ(polite.exit_code(), 3u);
  EXPECT_EQ(with(L"after sending a WM_CLOSE for 2 seconds and the process with ID (" +
                 std::to_wstring(polite.pi.dwProcessId) + L") terminated.").size(), 1u);

  child stubborn;
  ASSERT_TRUE(spawn_ready(stubborn, "ignore"));
  EXPECT_TRUE(krCore::terminateprocessbyid(stubborn.pi.dwProcessId, 100));
  EXPECT_EQ(stubborn.exit_code(), 0u);  // the code the kill asked for
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(with(L"terminateprocessbyid() - Process with PID (" +
                 std::to_wstring(stubborn.pi.dwProcessId) + L") was terminated.").size(), 1u);
}

TEST_F(Processes, TerminateByIdOfMissingAndZeroPids) {
  const DWORD pid = vacant_pid();
  EXPECT_TRUE(krCore::terminateprocessbyid(pid, 10));
  EXPECT_EQ(with(L"krCore::terminateprocessbyid() OpenProcess failed while attempting to terminate "
                 L"process with ID (" + std::to_wstring(pid) +
                 L") but we assume that process does not exist. Error Code: 0x57").size(), 1u);
  EXPECT_FALSE(krCore::terminateprocessbyid(0, 10));
  EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(Processes, TerminateByNameEndsEveryMatch) {
  // A copy of the helper under a name no other process has.
  const boost::filesystem::path dir = boost::filesystem::temp_directory_path() /
                                      ("krproc" + std::to_string(::getpid()));
  boost::filesystem::create_directories(dir);
  const boost::filesystem::path program = dir / ("kpn" + std::to_string(::getpid()));
  boost::filesystem::copy_file(child_program(), program, boost::filesystem::copy_options::overwrite_existing);
  {
    child a, b;
    ASSERT_TRUE(spawn_ready(a, "ignore", program.string()));
    ASSERT_TRUE(spawn_ready(b, "cooperate", program.string()));
    std::wstring upper = program.filename().wstring();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    EXPECT_TRUE(krCore::terminateprocessbyname(upper, 200));
    EXPECT_EQ(WaitForSingleObject(a.pi.hProcess, 0), 0u);
    EXPECT_EQ(WaitForSingleObject(b.pi.hProcess, 0), 0u);
    EXPECT_EQ(a.exit_code(), 0u);
    EXPECT_EQ(b.exit_code(), 3u);
    EXPECT_EQ(with(L") was terminated.").size(), 2u);
  }
  boost::filesystem::remove_all(dir);
}

// Another account may neither signal our process nor open it for
// termination (refused at once, as the right to signal it is missing);
// opening it to wait for it is not refused.
TEST_F(Processes, AnotherAccountsProcessIsNotSignalledNorOpenedForTermination) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a helper as another user";
  child target;
  ASSERT_TRUE(spawn_ready(target, "wait"));
  for (const char* how : {"asuser", "openas"}) {
    SCOPED_TRACE(how);
    child other;
    ASSERT_TRUE(spawn(other, child_program(),
                      std::string(how) + " 65534 " + std::to_string(target.pi.dwProcessId)));
    ASSERT_EQ(WaitForSingleObject(other.pi.hProcess, 20000), 0u);
    EXPECT_EQ(other.exit_code(), 5u);
    EXPECT_EQ(target.exit_code(), STILL_ACTIVE);
  }
  // Its own process it may open for termination.
  child own;
  ASSERT_TRUE(spawn(own, child_program(), "openas 65534 self"));
  ASSERT_EQ(WaitForSingleObject(own.pi.hProcess, 20000), 0u);
  EXPECT_EQ(own.exit_code(), 0u);
}

// A host that collects its children (a SIGCHLD handler reaping every child,
// or SIGCHLD ignored) takes their status with them: the child is still
// started and waited for, but no exit code is made up for it.
TEST_F(Processes, ChildrenCollectedByTheHostReportNoMadeUpCode) {
  child reaped;
  ASSERT_TRUE(spawn(reaped, child_program(), "exit 7"));
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, reaped.pi.dwProcessId, &info, WEXITED), 0);
  ASSERT_EQ(WaitForSingleObject(reaped.pi.hProcess, 10000), 0u);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(reaped.pi.hProcess, &code));
  EXPECT_EQ(GetLastError(), 128u);

  struct sigaction ignore {}, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
  int started = 0, made_up = 0;
  for (int i = 0; i < 20; ++i) {
    child quick;
    if (!spawn(quick, child_program(), "exit 7")) continue;
    ++started;
    EXPECT_EQ(WaitForSingleObject(quick.pi.hProcess, 10000), 0u);
    if (GetExitCodeProcess(quick.pi.hProcess, &code)) {
      if (code != 7) ++made_up;
    } else {
      EXPECT_EQ(GetLastError(), 128u);
    }
  }
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(started, 20);
  EXPECT_EQ(made_up, 0);
}

TEST_F(Processes, RequestThroughTheWindowCallback) {
  child c;
  ASSERT_TRUE(spawn_ready(c, "cooperate"));
  // Another process's window is left alone.
  EXPECT_TRUE(krCore::terminateappenum(reinterpret_cast<HWND>(std::uintptr_t{1}),
                                       static_cast<long>(c.pi.dwProcessId)));
  EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 50), 258u);
  EXPECT_TRUE(krCore::terminateappenum(reinterpret_cast<HWND>(std::uintptr_t{c.pi.dwProcessId}),
                                       static_cast<long>(c.pi.dwProcessId)));
  EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 10000), 0u);
  EXPECT_EQ(c.exit_code(), 3u);
}

}  // namespace
