// The logger's lines on the system's debugger channel, read the way a
// debug-output viewer reads them: through the shared buffer "DBWIN_BUFFER"
// and its two events, without a debugger attached.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_capture.h"

namespace {

using namespace logtest;

// A debug-output monitor: owns the buffer and its events while it lives
// and collects the texts the process itself sends. The system's writer
// waits for "buffer ready", fills the buffer (process id, then the text in
// the ANSI code page) and signals "data ready".
class dbwin_monitor {
 public:
  dbwin_monitor() {
    _buffer = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize,
                                 L"DBWIN_BUFFER");
    _bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    _dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    _stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (_buffer) _view = static_cast<const char*>(MapViewOfFile(_buffer, FILE_MAP_READ, 0, 0, 0));
    if (_view && _bufferReady && _dataReady && _stop) _thread = std::thread([this] { run(); });
  }
  ~dbwin_monitor() {
    if (_stop) SetEvent(_stop);
    if (_thread.joinable()) _thread.join();
    if (_view) UnmapViewOfFile(_view);
    for (HANDLE h : {_buffer, _bufferReady, _dataReady, _stop})
      if (h) CloseHandle(h);
  }
  dbwin_monitor(const dbwin_monitor&) = delete;
  dbwin_monitor& operator=(const dbwin_monitor&) = delete;

  bool listening() const { return _thread.joinable(); }

  // Waits (20 s at most) for a text of this process that contains `part`;
  // returns it, or an empty text.
  std::string wait_for(const std::string& part) {
    std::unique_lock<std::mutex> lock(_mutex);
    std::string found;
    _arrived.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const std::string& text : _texts)
        if (text.find(part) != std::string::npos) found = text;
      return !found.empty();
    });
    return found;
  }

 private:
  static constexpr DWORD kSize = 4096;

  void run() {
    const DWORD self = GetCurrentProcessId();
    const HANDLE until[2] = {_stop, _dataReady};
    for (;;) {
      SetEvent(_bufferReady);
      if (WaitForMultipleObjects(2, until, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
      DWORD pid = 0;
      std::memcpy(&pid, _view, sizeof pid);
      if (pid != self) continue;  // another program of the session
      const char* text = _view + sizeof pid;
      const std::string copy(text, strnlen(text, kSize - sizeof pid));
      std::lock_guard<std::mutex> lock(_mutex);
      _texts.push_back(copy);
      _arrived.notify_all();
    }
  }

  HANDLE _buffer = nullptr, _bufferReady = nullptr, _dataReady = nullptr, _stop = nullptr;
  const char* _view = nullptr;
  std::thread _thread;
  std::mutex _mutex;
  std::condition_variable _arrived;
  std::vector<std::string> _texts;
};

// What a viewer shows of wide text: the ANSI code page's form of it.
std::string ansi(const std::wstring& text) {
  // An ANSI code page takes at most two bytes for a UTF-16 unit.
  std::string out(text.size() * 2, '\0');
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                       out.data(), static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size > 0 ? size : 0));
  return out;
}

TEST_F(LoggerTest, ConsoleLinesReachADebugOutputMonitor) {
  dbwin_monitor monitor;
  ASSERT_TRUE(monitor.listening()) << GetLastError();
  // The system's own writer first: without it there is nothing to test.
  OutputDebugStringW(L"qmcore monitor probe\r\n");
  if (monitor.wait_for("qmcore monitor probe").empty())
    GTEST_SKIP() << "Wine gap: OutputDebugStringW does not fill the DBWIN_BUFFER of a monitor";

  start(0x2, logger::log_normal);
  const std::wstring message = L"d\u00e9j\u00e0 vu \U0001F600 end of line";
  testing::internal::CaptureStdout();
  log->log(logger::log_warning, message.c_str());
  log->log(logger::log_error, "narrow caf\xc3\xa9");
  testing::internal::GetCapturedStdout();

  const std::string wide = monitor.wait_for("end of line");
  ASSERT_FALSE(wide.empty());
  EXPECT_NE(wide.find(" PID: "), std::string::npos) << wide;
  EXPECT_TRUE(wide.ends_with(ansi(L" [WARN] " + message + L"\r\n"))) << wide;
  const std::string narrow = monitor.wait_for("narrow");
  EXPECT_TRUE(narrow.ends_with(ansi(L" [ERROR] narrow caf\u00e9\r\n"))) << narrow;
}

}  // namespace
