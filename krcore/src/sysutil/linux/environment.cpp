// The Linux half of the process environment helpers.
//
// The executable's path comes from /proc/self/exe, or, without /proc, from
// the name the program was started by. The system configuration
// directory (/etc) stands in for the Windows directory: it is where the
// system keeps its machine-wide settings, which is what callers of the
// Windows directory look for. There is no window system on a server, so a
// message goes to standard error when that is a terminal, and a debugger is
// noticed through TracerPid in /proc/self/status. There is no component
// runtime either; its per-thread and per-process bookkeeping is kept here so
// that callers see the results they would see on Windows.
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "foundation/compiler.h"
#include "sysutil/environment.h"
#include "sysutil/linux/executable_link.h"
#include "foundation/errors.h"
#include "foundation/utf.h"

namespace krCore::detail {

// ---------------------------------------------------------------------------
// Paths and process
// ---------------------------------------------------------------------------

const wchar_t* const kPathSeparators = L"/";

std::string executable_from_link(std::string text, const std::string& link) {
  static constexpr char kDeleted[] = " (deleted)";
  constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
  if (text.size() <= kDeletedLength ||
      text.compare(text.size() - kDeletedLength, kDeletedLength, kDeleted) != 0)
    return text;
  struct stat running, named;
  if (::stat(link.c_str(), &running) == 0 && ::stat(text.c_str(), &named) == 0 &&
      running.st_dev == named.st_dev && running.st_ino == named.st_ino)
    return text;
  text.resize(text.size() - kDeletedLength);
  return text;
}

namespace {

// The executable's path as the program was started: the name execve was
// given (which the kernel keeps in the auxiliary vector), made absolute
// against the folder the process started in. For a process without /proc.
std::string executable_from_start(unsigned long& error) {
  const char* name = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
  if (!name || !*name) {
    error = kErrorFileNotFound;
    return {};
  }
  static const std::string start_folder = [] {
    std::string folder(4096, '\0');
    return ::getcwd(folder.data(), folder.size()) ? std::string(folder.c_str()) : std::string();
  }();
  error = 0;
  if (name[0] == '/' || start_folder.empty()) return name;
  std::string path = start_folder;
  if (path.back() != '/') path.push_back('/');
  return path.append(name[0] == '.' && name[1] == '/' ? name + 2 : name);
}

// Noted at start-up, while the working folder is still the one the program
// was started in.
void note_start_folder(int, char**, char**) {
  unsigned long ignored = 0;
  (void)executable_from_start(ignored);
}
KRCORE_START_UP_CALL void (*const g_note_start_folder)(int, char**, char**) = note_start_folder;

}  // namespace

std::wstring executable_path(unsigned long& error) {
  static const std::string link = "/proc/self/exe";
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
    if (n < 0) {
      // No /proc (a chroot, a hardened container): the name it was started by.
      if (errno == ENOENT) return wide_from_file_name(executable_from_start(error));
      error = last_errno_as_win32();
      return {};
    }
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);  // possibly cut short: try a bigger buffer
  }
  error = 0;
  return wide_from_file_name(executable_from_link(std::move(buf), link));
}

std::wstring system_directory(unsigned long& error) {
  error = 0;
  return L"/etc";
}

unsigned long current_process_id() { return static_cast<unsigned long>(getpid()); }

// ---------------------------------------------------------------------------
// Messages and the debugger
// ---------------------------------------------------------------------------

int present_message(const std::wstring& text, const std::wstring& title, unsigned long) {
  if (isatty(STDERR_FILENO) != 1) return 0;
  // One write, so that the lines of concurrent messages do not interleave.
  const std::string line = utf8_from_wide(title) + ": " + utf8_from_wide(text) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {

// The process id of the tracer (debugger) of this process, 0 when none.
long tracer_pid() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (!status) return 0;
  long pid = 0;
  char line[256];
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      pid = std::strtol(line + 10, nullptr, 10);
      break;
    }
  }
  (void)std::fclose(status);  // read only: closing cannot lose anything
  return pid;
}

}  // namespace

bool wait_for_debugger(unsigned long timeout_ms) {
  // The kernel offers no notification of a tracer attaching, so poll.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (tracer_pid() != 0) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::milliseconds(50), deadline - now));
  }
}

// ---------------------------------------------------------------------------
// Component-runtime stand-in
// ---------------------------------------------------------------------------

namespace {

constexpr long kEInvalidArg = static_cast<int>(0x80070057u);
constexpr long kRpcChangedMode = static_cast<int>(0x80010106u);
constexpr long kRpcTooLate = static_cast<int>(0x80010119u);
constexpr long kCoNotInitialized = static_cast<int>(0x800401F0u);
constexpr unsigned long kApartmentThreaded = 0x2;
constexpr unsigned long kKnownFlags = 0xF;  // apartment, no OLE1 DDE, speed over memory

// How often the thread is initialised, and in which apartment mode.
struct ThreadState {
  unsigned long count = 0;
  unsigned long mode = 0;
};
thread_local ThreadState t_state;

std::atomic<bool> g_securityInitialised{false};

}  // namespace

long com_initialize_thread(unsigned long coinit) {
  if (coinit & ~kKnownFlags) return kEInvalidArg;
  const unsigned long mode = coinit & kApartmentThreaded;
  if (t_state.count == 0) {
    t_state.mode = mode;
    t_state.count = 1;
    return 0;  // S_OK
  }
  if (t_state.mode != mode) return kRpcChangedMode;
  ++t_state.count;
  return 1;  // S_FALSE
}

void com_uninitialize_thread() {
  if (t_state.count > 0) --t_state.count;
}

long com_initialize_security(unsigned long, unsigned long) {
  if (t_state.count == 0) return kCoNotInitialized;
  return g_securityInitialised.exchange(true) ? kRpcTooLate : 0;
}

}  // namespace krCore::detail
