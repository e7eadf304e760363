// A helper program for the waitable-object tests: a second process that
// opens named objects by name, so that sharing, abandonment by a killed
// process and the create race are tested across real process boundaries.
//
//   sync_helper hold-mutex NAME READY     own the mutex, signal READY, sleep
//   sync_helper signal-event NAME         open the event, signal it; exit 0
//                                         when it existed already
//   sync_helper leave-event NAME READY    create the event signalled, signal
//                                         READY, sleep (to be killed)
//   sync_helper take-mutex NAME           open the mutex someone else made,
//                                         wait for it and release it; exit 0
//                                         when it existed and was taken
//   sync_helper race NAME START COUNT DONE
//                                         wait for START, create the mutex,
//                                         release COUNT, wait for DONE; exit
//                                         0 when it created, 183 when it
//                                         opened an existing one
#include <krcore/foundation.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

std::wstring wide(const char* s) { return krCore::convertstringtowstring(s); }

[[noreturn]] void sleep_forever() {
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string cmd = argv[1];
  try {
    if (cmd == "hold-mutex" && argc == 4) {
      krCore::mutex m(false, wide(argv[2]));
      if (!m.aquire(INFINITE)) return 2;
      krCore::manualresetevent ready(wide(argv[3]));
      ready.signal();
      sleep_forever();
    }
    if (cmd == "signal-event" && argc == 3) {
      krCore::autoresetevent e(wide(argv[2]));
      const bool existed = GetLastError() == 183;
      e.signal();
      return existed ? 0 : 1;
    }
    if (cmd == "take-mutex" && argc == 3) {
      krCore::mutex m(false, wide(argv[2]));
      if (m.own()) return 1;
      if (!m.aquire(60000)) return 2;
      return m.release() == 0 ? 0 : 3;
    }
    if (cmd == "leave-event" && argc == 4) {
      krCore::manualresetevent e(true, wide(argv[2]));
      krCore::manualresetevent ready(wide(argv[3]));
      ready.signal();
      sleep_forever();
    }
    if (cmd == "race" && argc == 6) {
      krCore::manualresetevent start(wide(argv[3]));
      krCore::semaphore count(64, 0, wide(argv[4]));
      krCore::manualresetevent done(wide(argv[5]));
      if (WaitForSingleObject(start, 60000) != 0) return 3;
      krCore::mutex m(false, wide(argv[2]));
      const int result = m.own() ? 0 : 183;
      count.release(1);
      if (WaitForSingleObject(done, 60000) != 0) return 4;
      return result;
    }
  } catch (const std::exception& e) {
    return 5;
  }
  return 64;
}
