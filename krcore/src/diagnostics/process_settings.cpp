// The process fault settings: an error mode without dialogs and a handler
// that turns reports of invalid arguments into exceptions, applied once per
// process by the first exception guard.
#include <atomic>
#include <string>

#include "diagnostics/process_settings.h"

namespace krCore {
namespace {

// SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT
// | SEM_NOOPENFILEERRORBOX.
constexpr unsigned int kServiceErrorMode = 0x8007;

std::atomic<unsigned int> g_errorMode{0};
std::atomic<krProcessSettings::invalid_parameter_handler> g_handler{nullptr};
std::atomic<krProcessSettings*> g_instance{nullptr};

critical_section& settings_lock() {
  static critical_section* cs = new critical_section;  // outlives every static user
  return *cs;
}

std::string narrow_or_empty(const wchar_t* text) {
  return text ? convertwstringtostring(text) : std::string();
}

}  // namespace

namespace detail {
unsigned int process_error_mode() { return g_errorMode.load(); }
krProcessSettings::invalid_parameter_handler invalid_parameter_handler() {
  return g_handler.load();
}
}  // namespace detail

krProcessSettings::krProcessSettings()
    : _previousHandler(g_handler.exchange(&InvalidParameterHandler)),
      _previousErrorMode(g_errorMode.exchange(kServiceErrorMode)) {
  detail::apply_error_mode(kServiceErrorMode);
  detail::apply_invalid_parameter_handler(&InvalidParameterHandler);
}

krProcessSettings* krProcessSettings::instance() {
  krProcessSettings* settings = g_instance.load(std::memory_order_acquire);
  if (settings) return settings;
  auto_lock lock(settings_lock());
  settings = g_instance.load(std::memory_order_acquire);
  if (!settings) {
    settings = new krProcessSettings;
    g_instance.exchange(settings, std::memory_order_acq_rel);
  }
  return settings;
}

void krProcessSettings::close() {
  auto_lock lock(settings_lock());
  krProcessSettings* settings = g_instance.exchange(nullptr, std::memory_order_acq_rel);
  if (!settings) return;
  g_handler.store(settings->_previousHandler);
  detail::apply_invalid_parameter_handler(settings->_previousHandler);
  delete settings;
}

void krProcessSettings::InvalidParameterHandler(const wchar_t* expression, const wchar_t* function,
                                                const wchar_t* file, unsigned int line,
                                                std::uintptr_t) {
  const std::string text = "Invalid parameter detected in function (" + narrow_or_empty(function) +
                           ") File: (" + narrow_or_empty(file) + ") Line: (" +
                           std::to_string(static_cast<int>(line)) +
                           ") Expression: " + narrow_or_empty(expression);
  throw krException(0xC000000Dul, text.c_str(), 4);
}

krProcessSettings::invalid_parameter_handler krProcessSettings::SetInvalidParameterHandler(
    invalid_parameter_handler handler) {
  auto_lock lock(settings_lock());
  detail::apply_invalid_parameter_handler(handler);
  return g_handler.exchange(handler);
}

krProcessSettings::invalid_parameter_handler krProcessSettings::GetRuntimeInvalidParameterHandler()
    const {
  return _previousHandler;
}

}  // namespace krCore
