// The process-level calls of portable code on Windows: the runtime's error
// number, modules, the immediate exit, fork (which Windows does not have),
// the system's random bytes and the address waits under the spin lock.
#include <windows.h>

#include <bcrypt.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <krcore/foundation.h>

#include "foundation/errors.h"
#include "foundation/fork_child.h"
#include "foundation/process_calls.h"
#include "foundation/random.h"
#include "foundation/spin_lock.h"

namespace krCore::detail {

int runtime_error_number() { return errno; }

void unload_module(void* module) {
  if (module) ::FreeLibrary(static_cast<HMODULE>(module));
}

// A Windows process never runs with rights its starter lacks and chose the
// environment for, so the environment is read as it is.
const char* library_setting(const char* name) { return std::getenv(name); }

void exit_process_now(int code) {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  std::_Exit(code);  // not reached
}

// No process on Windows is a forked copy of another: nothing to reset, and
// every process is of generation 0.
void at_fork_child(void (*)()) {}
void at_fork(void (*)(), void (*)(), void (*)()) {}
unsigned fork_generation() { return 0; }

// The system's preferred generator; no batch is kept, as the call does not
// enter the kernel for small sizes.
unsigned long random_bytes(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size) {
    const ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    const NTSTATUS status = ::BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return static_cast<unsigned long>(HRESULT_FROM_NT(status));
    bytes += chunk;
    size -= chunk;
  }
  return kErrorSuccess;
}

bool several_processors() {
  static const bool several = [] {
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask)) return true;
    return (process_mask & (process_mask - 1)) != 0;
  }();
  return several;
}

void wait_on_address(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
  ::WaitOnAddress(word, &expected, sizeof expected, INFINITE);
}

void wake_one_on_address(std::atomic<std::uint32_t>* word) { ::WakeByAddressSingle(word); }

void wake_all_on_address(std::atomic<std::uint32_t>* word) { ::WakeByAddressAll(word); }

}  // namespace krCore::detail
