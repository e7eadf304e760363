// Crash diagnostics on Windows: not available yet.
//
// Stack capture, symbol lookup, the system facts of a fault report and the
// translation of structured exceptions fail here (no frames, no symbols,
// unknown facts, no translator in force), each saying once on the debugger
// output that it is missing.
#include <atomic>

#include "diagnostics/fault_signals.h"
#include "diagnostics/symbols.h"
#include "diagnostics/system_facts.h"
#include "foundation/windows/not_available.h"

namespace krCore::detail {

namespace {
std::atomic<bool> g_reported_stacks{false};
std::atomic<bool> g_reported_translator{false};
thread_local se_translator::translator_function t_translator = nullptr;
}  // namespace

bool symbol_handler_open() {
  not_available(g_reported_stacks, L"symbol lookup");
  return false;
}
void symbol_handler_close() {}
bool symbol_module_path(std::uintptr_t, std::string*) { return false; }
bool symbol_function(std::uintptr_t, std::string*, std::uintptr_t*) { return false; }
bool symbol_line(std::uintptr_t, std::string*, unsigned*, std::uintptr_t*) { return false; }

std::size_t symbol_walk(const CONTEXT&, stack_frame*, std::size_t) {
  not_available(g_reported_stacks, L"stack capture");
  return 0;
}

std::size_t capture_own_stack(stack_frame*, std::size_t, unsigned) {
  not_available(g_reported_stacks, L"stack capture");
  return 0;
}

bool safe_read(const void*, void*, std::size_t) noexcept { return false; }

system_facts read_system_facts() noexcept {
  system_facts facts;
  ::GetLocalTime(&facts.local_time);
  return facts;
}

// Kept per thread so that se_translator's restore works, but never called.
se_translator::translator_function set_thread_translator(se_translator::translator_function fn) {
  not_available(g_reported_translator, L"translation of structured exceptions");
  const auto previous = t_translator;
  t_translator = fn;
  return previous;
}

}  // namespace krCore::detail
