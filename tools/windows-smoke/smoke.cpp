// qmcore-smoke: the smallest program that proves qmcore.dll loads and runs
// on Windows. It writes one entry through the flat logging interface and
// prints the library's tick count, then exits 0; any failure to load the
// DLL or to resolve one of its exports ends the process before main runs.
#include <krcore/krlog.h>
#include <krcore/timing.h>

#include <cstdio>

int main() {
  krLog(L"qmcore-smoke: the library is loaded");
  const unsigned long long ticks = krCore::TickCountProvider::instance()->GetTickCount64();
  std::printf("qmcore-smoke: tick count %llu ms\n", ticks);
  krLogClose();
  return ticks != 0 ? 0 : 1;
}
