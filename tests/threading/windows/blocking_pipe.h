// A way to keep a thread inside the system's code for as long as a test
// wants: a one-byte read from an empty anonymous pipe. The thread sits in
// the system's read call, which is no plain wait, so the forced end can
// neither end it there nor find it anywhere safer; it is marked and
// reported as not ended. A write lets the read return.
#pragma once

#include <windows.h>

namespace threadtest {

class blocking_pipe {
 public:
  blocking_pipe() { ::CreatePipe(&_read, &_write, nullptr, 0); }
  ~blocking_pipe() {
    ::CloseHandle(_read);
    ::CloseHandle(_write);
  }
  blocking_pipe(const blocking_pipe&) = delete;
  blocking_pipe& operator=(const blocking_pipe&) = delete;

  bool valid() const { return _read && _write; }
  // Blocks until write() was called (once per call).
  void read() const {
    char byte = 0;
    DWORD done = 0;
    ::ReadFile(_read, &byte, 1, &done, nullptr);
  }
  void write() const {
    const char byte = 1;
    DWORD done = 0;
    ::WriteFile(_write, &byte, 1, &done, nullptr);
  }

 private:
  HANDLE _read = nullptr;
  HANDLE _write = nullptr;
};

}  // namespace threadtest
