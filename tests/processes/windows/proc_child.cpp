// The child program of the process tests on Windows. Modes:
//   wait                      sleep until ended
//   window <event> <code>     make a top-level window, signal the named
//                             event, and exit with <code> when the window
//                             is asked to close
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

int g_close_code = 0;

LRESULT CALLBACK on_message(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE) ::ExitProcess(static_cast<UINT>(g_close_code));
  return ::DefWindowProcW(window, message, w, l);
}

int run_window(const char* event_name, int code) {
  g_close_code = code;
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = on_message;
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"qmcore-proc-child";
  if (!::RegisterClassW(&window_class)) return 97;
  if (!::CreateWindowW(L"qmcore-proc-child", L"child", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                       nullptr, window_class.hInstance, nullptr))
    return 96;
  const HANDLE ready = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, event_name);
  if (!ready || !::SetEvent(ready)) return 95;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 94;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "wait") == 0) {
    ::Sleep(INFINITE);
    return 0;
  }
  if (argc >= 4 && std::strcmp(argv[1], "window") == 0)
    return run_window(argv[2], std::atoi(argv[3]));
  return 99;
}
