// The report of a hardware fault that no handler can catch: where the
// runtime would call std::terminate (a frame on the way that forbids
// exceptions, or no catch clause that takes the fault's class), the fault
// is analysed as a guard's catch-all would analyse it, announced on the
// debugger output, logged, flushed and sent to the event log before the
// fault source lets the process end as an unhandled fault does.
#include <krcore/diagnostics.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "diagnostics/fault_signals.h"
#include "logging/debug_output.h"

namespace krCore::detail {
namespace {

// Long enough for a symbolised trace on a loaded machine; a report that
// takes longer is waiting for something the frozen faulting thread holds.
constexpr std::chrono::seconds kReportBound{30};

// Reaches the guard's protected event-log helper.
class unhandled_report : public se_exception_initializer {
 public:
  void write(const std::exception_ptr& fault) {
    try {
      std::rethrow_exception(fault);
    } catch (const se_translator::exception& e) {
      debug_output("se_translator - " + e.name() +
                   " that no handler can catch, process will be terminated!\n");
    } catch (...) {
    }
    // The analysis logs the fault with its stack trace; a write access
    // violation ends the process inside it.
    try {
      std::rethrow_exception(fault);
    } catch (...) {
      Analyze(__FILE__, __LINE__);
    }
    if (info_count() == 0) return;
    const se_exception_info entry = info().back();
    debug_output(entry.context() + L"\n");
    try {
      std::rethrow_exception(fault);
    } catch (se_translator::exception& e) {
      LogEventMessage(e, entry, L"Unhandled exception, process will be terminated!", true);
    } catch (...) {
    }
  }
};

void write_report(const std::exception_ptr& fault) noexcept {
  try {
    unhandled_report().write(fault);
  } catch (...) {
    // Nothing more can be reported; the process ends all the same.
  }
}

}  // namespace

void report_unhandled_fault(const std::exception_ptr& fault) noexcept {
  try {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([fault, done] {
      write_report(fault);
      done->set_value();
    }).detach();
    finished.wait_for(kReportBound);
  } catch (...) {
    write_report(fault);  // no thread could be started: report from here
  }
}

}  // namespace krCore::detail
