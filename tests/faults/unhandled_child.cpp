// A program that faults where no handler can catch the translated
// exception, built at several optimisation levels (the calls a compiler
// judges unable to throw differ between them). argv[1] names the case:
//   strlen, memcpy  libc reads a bad pointer, called from a function with a
//                   local std::string;
//   noexcept        a read through a bad pointer inside a noexcept function;
//   write           a write through a bad pointer inside a noexcept function;
//   wrong-clause    a read under a catch clause for another class (main's
//                   clause takes it);
//   recurse         direct recursion until the stack is used up;
//   other-thread    a read through a bad pointer on a thread without a
//                   translator (left to the system).
// The main function catches every translated exception, prints "caught"
// and exits with 0; any other end is the library's doing.
#include <krcore/se_translator.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

namespace {

// The bad address comes from outside, so no optimiser can see it.
const char* g_bad = nullptr;

__attribute__((noinline)) std::size_t length_with_text() {
  std::string text = "length: ";
  const std::size_t n = strlen(g_bad);
  text += std::to_string(n);
  return text.size();
}

__attribute__((noinline)) std::size_t copy_with_text() {
  std::string text = "copied: ";
  char buffer[64];
  memcpy(buffer, g_bad, sizeof buffer);
  text.append(buffer, 8);
  return text.size();
}

__attribute__((noinline)) int read_noexcept() noexcept {
  return *reinterpret_cast<const volatile int*>(g_bad);
}

__attribute__((noinline)) void write_noexcept() noexcept {
  *reinterpret_cast<volatile int*>(const_cast<char*>(g_bad)) = 1;
}

__attribute__((noinline)) int read_in_wrong_clause() {
  try {
    return *reinterpret_cast<const volatile int*>(g_bad);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (!g_bad) return frame[0];  // never: keeps the compiler from calling it endless
  return recurse(depth + 1) + frame[0];
}

int run(const std::string& which) {
  if (which == "strlen") return static_cast<int>(length_with_text());
  if (which == "memcpy") return static_cast<int>(copy_with_text());
  if (which == "noexcept") return read_noexcept();
  if (which == "write") {
    write_noexcept();
    return 0;
  }
  if (which == "wrong-clause") return read_in_wrong_clause();
  if (which == "recurse") return recurse(0);
  if (which == "other-thread") {
    int value = 0;
    std::thread([&value] { value = *reinterpret_cast<const volatile int*>(g_bad); }).join();
    return value;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_bad = reinterpret_cast<const char*>(std::strtoull(argv[2], nullptr, 0));
  se_translator guard;
  try {
    std::printf("returned %d\n", run(argv[1]));
    return 3;
  } catch (const se_translator::exception& e) {
    std::printf("caught %s\n", e.name().c_str());
    return 0;
  }
}
