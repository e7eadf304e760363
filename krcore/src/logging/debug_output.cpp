// The debugger output channel: the test hook and the dispatch to the
// platform's listener.
//
// The silent case is the common one and costs one relaxed atomic load plus
// one initialised-static check per call, so callers can send their
// diagnostics unconditionally.
#include "logging/debug_output.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "foundation/kill_hold.h"
#include "foundation/utf.h"

namespace krCore::detail {
namespace {

std::atomic<bool> g_hooked{false};
library_mutex g_hookMutex;
std::shared_ptr<const debug_output_hook> g_hook;

// Hands a wide text to the hook; false when none is installed.
bool to_hook(const std::wstring& text) noexcept {
  std::shared_ptr<const debug_output_hook> hook;
  {
    std::lock_guard<library_mutex> lock(g_hookMutex);
    hook = g_hook;
  }
  if (!hook) return false;
  try {
    (*hook)(text);
  } catch (...) {
    // A failing hook loses the text, like an absent listener.
  }
  return true;
}

}  // namespace

bool debug_output_active() noexcept {
  return g_hooked.load(std::memory_order_relaxed) || debug_listener_ready();
}

void debug_output(std::wstring_view text) noexcept {
  if (!debug_output_active()) return;
  try {
    if (g_hooked.load(std::memory_order_acquire) && to_hook(std::wstring(text))) return;
    if (debug_listener_ready()) debug_listener_write(utf8_from_wide(text));
  } catch (...) {
    // Out of memory while converting: the text is lost.
  }
}

void debug_output(std::string_view text) noexcept {
  if (!debug_output_active()) return;
  try {
    if (g_hooked.load(std::memory_order_acquire) && to_hook(wide_from_utf8(text))) return;
    if (debug_listener_ready()) debug_listener_write(text);
  } catch (...) {
  }
}

void set_debug_output_hook(debug_output_hook hook) {
  std::shared_ptr<const debug_output_hook> next;
  if (hook) next = std::make_shared<const debug_output_hook>(std::move(hook));
  std::lock_guard<library_mutex> lock(g_hookMutex);
  g_hook = std::move(next);
  g_hooked.store(g_hook != nullptr, std::memory_order_release);
}

}  // namespace krCore::detail
