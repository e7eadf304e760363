// The internal log route: library code outside the logger writes through
// the process-wide logger here, or through the logger its thread serves.
#include <krcore/logging.h>

#include "logging/logsink.h"

namespace krCore::detail {
namespace {

thread_local logger* t_target = nullptr;

logger* target() { return t_target ? t_target : singleton<logger>::instance(); }

}  // namespace

bool log_enabled(unsigned level) {
  return target()->is_enabled(static_cast<logger::log_levels>(level));
}

void log_entry(unsigned level, const std::wstring& text) {
  target()->log(static_cast<logger::log_levels>(level), text.c_str(), false);
}

void log_flush() { target()->flush(); }

thread_log_target::thread_log_target(logger* target) : _previous(t_target) { t_target = target; }

thread_log_target::~thread_log_target() { t_target = _previous; }

}  // namespace krCore::detail
