// The Linux half of the process environment helpers.
//
// The executable's path comes from /proc/self/exe. The system configuration
// directory (/etc) stands in for the Windows directory: it is where the
// system keeps its machine-wide settings, which is what callers of the
// Windows directory look for. There is no window system on a server, so a
// message goes to standard error when that is a terminal, and a debugger is
// noticed through TracerPid in /proc/self/status. There is no component
// runtime either; its per-thread and per-process bookkeeping is kept here so
// that callers see the results they would see on Windows.
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

#include "sysutil/environment.h"
#include "foundation/errors.h"
#include "foundation/utf.h"

namespace krCore::detail {

// ---------------------------------------------------------------------------
// Paths and process
// ---------------------------------------------------------------------------

const wchar_t* const kPathSeparators = L"/";

std::wstring executable_path(unsigned long& error) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      error = last_errno_as_win32();
      return {};
    }
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);  // possibly cut short: try a bigger buffer
  }
  // The kernel marks an executable whose file was replaced or removed.
  static constexpr char kDeleted[] = " (deleted)";
  constexpr std::size_t kDeletedLength = sizeof kDeleted - 1;
  if (buf.size() > kDeletedLength &&
      buf.compare(buf.size() - kDeletedLength, kDeletedLength, kDeleted) == 0)
    buf.resize(buf.size() - kDeletedLength);
  error = 0;
  return wide_from_file_name(buf);
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
