// The cost of one fault-to-catch round trip on Windows: a read of an
// unmapped address translated into se_translator::access_violation and
// caught, against an ordinary C++ throw and catch in the same run. (Google
// Benchmark has no MinGW build in Debian: this program times rounds of each
// with the performance counter and reports the medians.)
#include <windows.h>
#include <krcore/se_translator.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

// Built with -fnon-call-exceptions; the address comes through a volatile so
// the read cannot be folded away.
void* volatile g_bad_address = reinterpret_cast<void*>(0x10);
volatile unsigned g_sink = 0;

__attribute__((noinline)) int read_bad() { return *static_cast<volatile int*>(g_bad_address); }

__attribute__((noinline)) void throw_plain() { throw std::runtime_error("plain"); }

void translated_fault() {
  try {
    g_sink = g_sink + static_cast<unsigned>(read_bad());
  } catch (const se_translator::access_violation& e) {
    g_sink = g_sink + e.code();
  }
}

void cpp_throw_catch() {
  try {
    throw_plain();
  } catch (const std::runtime_error& e) {
    g_sink = g_sink + static_cast<unsigned>(e.what()[0]);
  }
}

// Nanoseconds per call of `fn`, timed over `calls` calls.
double time_per_call(void (*fn)(), int calls) {
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  for (int i = 0; i < calls; ++i) fn();
  ::QueryPerformanceCounter(&end);
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 /
         static_cast<double>(frequency.QuadPart) / calls;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  se_translator guard;
  constexpr int kRounds = 15, kCalls = 2000;
  std::vector<double> fault, plain;
  translated_fault();  // warm up: the first fault sets up the thread's records
  cpp_throw_catch();
  // Interleaved rounds, so that a load on the machine touches both alike.
  for (int round = 0; round < kRounds; ++round) {
    fault.push_back(time_per_call(&translated_fault, kCalls));
    plain.push_back(time_per_call(&cpp_throw_catch, kCalls));
  }
  const double f = median(fault), p = median(plain);
  std::printf("translated fault:                    %10.0f ns\n", f);
  std::printf("C++ throw-catch:                     %10.0f ns\n", p);
  std::printf("translated fault / C++ throw-catch:  %10.1fx\n", f / p);
  return 0;
}
