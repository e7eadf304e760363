// The broadcast listener on Windows: a hidden top-level window owned by the
// listening thread. The window system sends its broadcasts (WM_TIMECHANGE
// among them) to every top-level window; a message-only window would never
// see them. The window is never shown.
//
// Each listener registers a window class of its own, named after the
// process, the tick count and the listener, so that instances in one
// process or across processes never share (or unregister) a class.
#include <windows.h>

#include <time.h>

#include <cwchar>

#include "scheduling/broadcast.h"

namespace krCore::detail {
namespace {

constexpr wchar_t kWindowTitle[] = L"notification_window";

// A broadcast is usually sent, not posted: it reaches the window procedure
// directly, while the thread's loop only sees its queue. So a sent
// WM_TIMECHANGE is put into the queue as a thread message; a posted one
// arrives in the queue by itself and never comes through here. Local-time
// rules are brought up to date first, so the loop already sees the new
// zone.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMECHANGE) {
    _tzset();
    PostThreadMessageW(GetCurrentThreadId(), WM_TIMECHANGE, 0, 0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

class notification_window final : public broadcast_listener {
 public:
  explicit notification_window(DWORD thread_id) {
    std::swprintf(_class, sizeof _class / sizeof _class[0], L"notification_thread:%lu:%lu:%p",
                  GetCurrentProcessId(), GetTickCount(), static_cast<void*>(this));
    WNDCLASSEXW description{};
    description.cbSize = sizeof description;
    description.lpfnWndProc = &window_procedure;
    description.hInstance = module();
    description.lpszClassName = _class;
    if (!RegisterClassExW(&description)) return;
    _registered = true;
    _window = CreateWindowExW(0, _class, kWindowTitle, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, module(), nullptr);
    (void)thread_id;  // the window belongs to the calling thread, which is it
  }
  ~notification_window() override {
    if (_window) DestroyWindow(_window);
    if (_registered) UnregisterClassW(_class, module());
  }
  notification_window(const notification_window&) = delete;
  notification_window& operator=(const notification_window&) = delete;

  bool ready() const { return _window != nullptr; }

 private:
  // The module of this library, which the class is registered for.
  static HINSTANCE module() {
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const wchar_t*>(&window_procedure), &self);
    return self;
  }

  wchar_t _class[256] = {};
  bool _registered = false;
  HWND _window = nullptr;
};

}  // namespace

std::unique_ptr<broadcast_listener> listen_for_broadcasts(DWORD thread_id) noexcept {
  try {
    auto window = std::make_unique<notification_window>(thread_id);
    if (!window->ready()) return nullptr;
    return window;
  } catch (...) {
    return nullptr;
  }
}

void dispatch_message(const MSG& msg) noexcept {
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

}  // namespace krCore::detail
