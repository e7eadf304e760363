// The logger's loud failures (see loud_failure.h): one line each, on
// standard error and on the debugger output.
#include "logging/loud_failure.h"

#include <krcore/exceptions.h>
#include <krcore/logger.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/utf.h"
#include "logging/debug_output.h"

namespace krCore::detail {
namespace {

std::atomic<bool> off_reported{false};
std::atomic<bool> unopened_reported{false};
std::atomic<bool> journal_drop_reported{false};

// To the debugger output, and to standard error unless the debugger output
// already goes there.
void say(const std::string& line) noexcept {
  debug_output(line);
  const char* listener = std::getenv("KRCORE_DEBUG_OUTPUT");
  if (listener && std::strcmp(listener, "stderr") == 0) return;
  (void)std::fputs(line.c_str(), stderr);
  (void)std::fflush(stderr);
}

}  // namespace

void report_logging_off_unset() noexcept {
  if (off_reported.exchange(true)) return;
  try {
    say("logger: logging is off: the value [" + utf8_from_wide(logger::REG_DWORD_ISENABLED) +
        "] of [HKEY_LOCAL_MACHINE\\" + utf8_from_wide(logger::REG_SUBKEY_KRLOGGING) +
        "] is not set; set it to 1 to log\n");
  } catch (...) {
  }
}

void report_log_unopened(const std::wstring& path, unsigned long error) noexcept {
  if (unopened_reported.exchange(true)) return;
  try {
    const std::string fault = folder_fault(path);
    say("logger: the log file [" + utf8_from_wide(path) + "] cannot be opened: " +
        (fault.empty() ? geterrormessage_shortstring(error) : fault) +
        "; its lines are dropped until it can be\n");
  } catch (...) {
  }
}

void report_journal_drop(const std::string& path, unsigned long error) noexcept {
  if (journal_drop_reported.exchange(true)) return;
  try {
    say("logger: the journal socket [" + path + "] does not take entries: " +
        geterrormessage_shortstring(error) +
        "; the journal's copies are dropped (and counted), the log file's are not\n");
  } catch (...) {
  }
}

void report_log_opened() noexcept { unopened_reported.store(false); }

}  // namespace krCore::detail
