// The Windows source of translated faults: a vectored exception handler.
//
// The handler is added once, on the first translator, ahead of the other
// vectored handlers. It translates only a hardware fault on a thread that
// has a translator; any other exception, and any fault on a thread without
// one, is left to the handlers after it and to the frames' own, so the
// process behaves as if the library were not there.
//
// To translate, the handler records the fault (record, registers, and the
// stack walked from the faulting instruction) and resumes the faulting
// thread in a trampoline instead of at the fault. The trampoline behaves as
// if the faulting instruction had called it: it pushes the instruction's
// address (plus one, so that a lookup one byte back lands inside it) as its
// return address on the faulting stack pointer, then calls the thrower,
// which calls the translator. The C++ runtime unwinds the exception with
// the system's tables of function entries, from the trampoline into the
// faulting function and on to a catch clause, like any throw. A call to an
// address that cannot run is thrown from the call instead, its return
// address popped.
//
// Stack overflow: the system reserves a guaranteed part of the stack for
// the handler, the thrower and the unwinding (SetThreadStackGuarantee), and
// uses up the stack's guard pages to report it. They are set up again, as
// far below the stack pointer as the guarantee reaches, once the record of
// the overflow is released, which is after its catch clause has ended.
#include <windows.h>
#include <krcore/foundation.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "diagnostics/fault_record.h"
#include "diagnostics/fault_signals.h"
#include "diagnostics/windows/stack_capture.h"
#include "diagnostics/windows/unhandled_filter.h"
#include "foundation/compiler.h"

namespace krCore::detail {
namespace {

constexpr DWORD kAccessViolation = 0xC0000005;
constexpr DWORD kStackOverflow = 0xC00000FD;
// What the handler, the thrower and the unwinding of a throw need, with
// room to spare: the system's dispatch of the throw copies registers and
// records several times.
constexpr ULONG kStackGuarantee = 64 * 1024;

// What the handler knows of a thread with a translator, allocated on its
// first translator and found through a fiber-local slot of the system's:
// reading it never allocates, so a fault on any thread (one that holds the
// heap's lock, say) costs the handler one lookup. The slot's callback frees
// it as the thread ends; a C++ thread-exit destructor would do that too, but
// the C++ runtime holds a DLL with such destructors loaded until every
// thread that ran one has ended, so a host that unloads the library from a
// thread that once set a translator could never unload it. The callback
// may run after the thread's thread-local storage is gone (MinGW emulates
// it, and the C++ runtime's threads free it first), so what it needs is
// here: the thread's pool of fault records, to give up.
struct thread_state {
  DWORD thread = ::GetCurrentThreadId();
  fault_pool* pool = nullptr;
  se_translator::translator_function translator = nullptr;
  // The fault the trampoline is to throw.
  se_translator::translator_function fn = nullptr;
  unsigned int code = 0;
  fault_slot* slot = nullptr;
  // The address of a fault whose translator returned: when it happens again
  // at once (the thread resumes at the faulting instruction), it passes.
  std::uintptr_t pass_address = 0;
  // A stack overflow used up the guard pages, which are not back yet.
  bool guard_spent = false;
  // The thread is in the handler or about to resume at a fault: deep in the
  // stack, where guard pages must not be set up.
  bool handling = false;
};

DWORD g_state_slot = FLS_OUT_OF_INDEXES;
// The handler as the system keeps it, for its removal.
void* g_handler = nullptr;

thread_state* current_state() {
  return g_state_slot == FLS_OUT_OF_INDEXES ? nullptr
                                            : static_cast<thread_state*>(::FlsGetValue(g_state_slot));
}

// The slot's callback: as a thread ends, its state and its pool go. Run on
// another thread (the slot is freed as the library is unloaded), only the
// state goes: the pool is the thread's, and the library's code that could
// refer to it goes with the library. Reads no thread-local.
void WINAPI release_state(void* value) {
  auto* state = static_cast<thread_state*>(value);
  if (state->thread == ::GetCurrentThreadId()) fault_pool_release_ended_thread(state->pool);
  delete state;
}

}  // namespace
}  // namespace krCore::detail

// The thrower, called by the trampoline. Never returns: the translator
// throws, or the thread resumes at the fault with the registers it had.
extern "C" [[noreturn]] KRCORE_NOINLINE void krcore_throw_translated_fault() {
  using namespace krCore::detail;
  thread_state& state = *current_state();
  fault_slot* const slot = state.slot;
  state.fn(state.code, &slot->pointers);
  // The translator returned: the fault is not translated after all.
  state.handling = true;
  CONTEXT original = slot->context;
  state.pass_address = reinterpret_cast<std::uintptr_t>(slot->record.ExceptionAddress);
  fault_slot_abandon_pending();
#if defined(_WIN64)
  ::RtlRestoreContext(&original, nullptr);
#else
  ::SetThreadContext(::GetCurrentThread(), &original);
#endif
  std::abort();
}

// The trampoline. Its entry pushes the return address the handler left in
// the accumulator (a scratch register, free at any instruction); from then
// on its unwind data describe it as a function called from the fault, whose
// frame pointer keeps the unwinding right however the stack was aligned.
#if defined(_WIN64)
asm(R"(
    .text
    .p2align 4
    .def krcore_fault_entry; .scl 3; .type 32; .endef
krcore_fault_entry:
    pushq %rax
    .def krcore_fault_trampoline; .scl 3; .type 32; .endef
krcore_fault_trampoline:
    .seh_proc krcore_fault_trampoline
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call krcore_throw_translated_fault
    int3
    .seh_endproc
)");
#else
asm(R"(
    .text
    .p2align 4
    .def _krcore_fault_entry; .scl 3; .type 32; .endef
_krcore_fault_entry:
    pushl %eax
_krcore_fault_trampoline:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    call _krcore_throw_translated_fault
    int3
    .cfi_endproc
)");
#endif
extern "C" void krcore_fault_entry();

namespace krCore::detail {
namespace {

// Records the fault in a slot of the thread's pool and points the thread at
// the trampoline. False (the registers untouched) when it cannot.
bool redirect(thread_state& state, EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& rec = *pointers->ExceptionRecord;
  CONTEXT& regs = *pointers->ContextRecord;
  fault_slot* slot = fault_slot_begin();
  if (!slot) return false;
  slot->record = rec;
  slot->record.ExceptionRecord = nullptr;
  slot->context = regs;
  const auto address = reinterpret_cast<std::uintptr_t>(rec.ExceptionAddress);
  std::uintptr_t low = 0, high = 0;
  current_stack_range(&low, &high);
  stack_frame frames[fault_slot::kMaxFrames];
  std::size_t count = 0;
#if defined(_WIN64)
  std::uintptr_t sp = regs.Rsp;
  std::uintptr_t return_address = address + 1;
  slot->context.Rip = address;  // a breakpoint reports its trap byte
  if (rec.ExceptionCode == kAccessViolation && rec.NumberParameters >= 2 &&
      rec.ExceptionInformation[0] == 8 && rec.ExceptionInformation[1] == regs.Rip) {
    // A call to an address that cannot run: thrown from the call.
    std::uint64_t caller = 0;
    if (!safe_read(reinterpret_cast<const void*>(sp), &caller, sizeof caller)) {
      fault_slot_abandon_pending();
      return false;
    }
    frames[count++] = stack_frame{address, true};
    CONTEXT from_call = regs;
    from_call.Rip = caller;
    from_call.Rsp = sp + sizeof caller;
    count += walk_from_context(from_call, false, low, high, frames + 1,
                               fault_slot::kMaxFrames - 1);
    sp += sizeof caller;
    return_address = caller;
  } else {
    count = walk_from_context(slot->context, true, low, high, frames, fault_slot::kMaxFrames);
  }
#else
  std::uintptr_t sp = regs.Esp;
  const std::uintptr_t return_address = address + 1;
  count = walk_from_context(slot->context, true, low, high, frames, fault_slot::kMaxFrames);
#endif
  for (std::size_t i = 0; i < count; ++i)
    slot->frames[i] = reinterpret_cast<const void*>(frames[i].pc);
  slot->frame_count = count;

  state.fn = state.translator;
  state.code = static_cast<unsigned int>(rec.ExceptionCode);
  state.slot = slot;
  if (rec.ExceptionCode == kStackOverflow) state.guard_spent = true;
  // Resume in the trampoline, with the trap and alignment-check flags and
  // the floating-point exception flags clear (the masks stay as they were).
  regs.EFlags &= ~static_cast<DWORD>(0x100 | 0x40000);
#if defined(_WIN64)
  regs.Rax = return_address;
  regs.Rsp = sp;
  regs.Rip = reinterpret_cast<std::uintptr_t>(&krcore_fault_entry);
  regs.MxCsr &= ~0x3Fu;
  regs.FltSave.MxCsr &= ~0x3Fu;
  regs.FltSave.StatusWord &= static_cast<WORD>(~0x80FFu);
#else
  regs.Eax = return_address;
  regs.Esp = sp;
  regs.Eip = reinterpret_cast<std::uintptr_t>(&krcore_fault_entry);
  regs.FloatSave.StatusWord &= ~0x80FFul;
#endif
  return true;
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& rec = *pointers->ExceptionRecord;
  if (!is_hardware_fault(rec.ExceptionCode) || (rec.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
    return EXCEPTION_CONTINUE_SEARCH;
  const DWORD saved_error = ::GetLastError();  // the lookup sets it
  thread_state* state = current_state();
  LONG verdict = EXCEPTION_CONTINUE_SEARCH;
  if (state && state->translator) {
    const auto address = reinterpret_cast<std::uintptr_t>(rec.ExceptionAddress);
    const std::uintptr_t pass = state->pass_address;
    state->pass_address = 0;
    state->handling = true;
    if (pass != address && redirect(*state, pointers)) verdict = EXCEPTION_CONTINUE_EXECUTION;
    state->handling = false;
  }
  ::SetLastError(saved_error);
  return verdict;
}

void add_handler() {
  g_state_slot = ::FlsAlloc(&release_state);
  if (g_state_slot == FLS_OUT_OF_INDEXES)
    throw krException(::GetLastError(), "se_translator: FlsAlloc failed.", 4);
  g_handler = ::AddVectoredExceptionHandler(1, &on_exception);
  if (!g_handler)
    throw krException(ERROR_NOT_ENOUGH_MEMORY, "se_translator: AddVectoredExceptionHandler failed.",
                      4);
  install_unhandled_filter();
}

// Sets the guard pages up again below the calling frame after a stack
// overflow used them up: the guarantee plus a page, just below the page the
// stack pointer is in, as long as that leaves the stack's last page alone.
// (The system moves them down again as the stack grows.)
void restore_stack_guard() noexcept {
  thread_state* state = current_state();
  if (!state || !state->guard_spent || state->handling) return;
  volatile char here = 0;
  const auto sp = reinterpret_cast<std::uintptr_t>(&here);
  MEMORY_BASIC_INFORMATION stack{};
  if (!::VirtualQuery(reinterpret_cast<const void*>(sp), &stack, sizeof stack)) return;
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  const std::uintptr_t page = system.dwPageSize;
  ULONG guarantee = 0;
  (void)::SetThreadStackGuarantee(&guarantee);  // zero asks for the size in force
  const std::uintptr_t size = ((guarantee + page - 1) & ~(page - 1)) + page;
  const std::uintptr_t lowest = reinterpret_cast<std::uintptr_t>(stack.AllocationBase) + page;
  const std::uintptr_t guard = (sp & ~(page - 1)) - size;
  if (guard < lowest || guard > sp) return;
  DWORD previous = 0;
  void* at = reinterpret_cast<void*>(guard);
  if (::VirtualAlloc(at, size, MEM_COMMIT, PAGE_READWRITE) &&
      ::VirtualProtect(at, size, PAGE_READWRITE | PAGE_GUARD, &previous))
    state->guard_spent = false;
}

}  // namespace

bool is_hardware_fault(DWORD code) {
  switch (code) {
    case kAccessViolation:
    case 0xC0000006:  // in-page error
    case 0x80000002:  // datatype misalignment
    case 0x80000003:  // breakpoint
    case 0x80000004:  // single step
    case 0xC000001D:  // illegal instruction
    case 0xC0000096:  // privileged instruction
    case kStackOverflow:
      return true;
    default:
      return code >= 0xC000008C && code <= 0xC0000095;  // bounds, float and integer traps
  }
}

void fault_record_released() noexcept { restore_stack_guard(); }

se_translator::translator_function set_thread_translator(se_translator::translator_function fn) {
  thread_state* state = current_state();
  if (fn && !state) {
    static std::once_flag added;
    std::call_once(added, add_handler);
    fault_pool* const pool = fault_pool_attach_thread(false);
    // Without the guarantee a stack overflow cannot be translated, but every
    // other fault can: a refusal is no reason to refuse the translator.
    ULONG guarantee = kStackGuarantee;
    (void)::SetThreadStackGuarantee(&guarantee);
    auto made = std::make_unique<thread_state>();
    made->pool = pool;
    if (!::FlsSetValue(g_state_slot, made.get()))
      throw krException(::GetLastError(), "se_translator: FlsSetValue failed.", 4);
    state = made.release();
  }
  if (!state) return nullptr;  // no translator was ever set on this thread
  if (fn) restore_stack_guard();
  const se_translator::translator_function previous = state->translator;
  state->translator = fn;
  return previous;
}

void release_fault_handlers() noexcept {
  if (g_handler) ::RemoveVectoredExceptionHandler(g_handler);
  g_handler = nullptr;
  uninstall_unhandled_filter();
  const DWORD slot = g_state_slot;
  g_state_slot = FLS_OUT_OF_INDEXES;
  if (slot != FLS_OUT_OF_INDEXES) ::FlsFree(slot);
}

}  // namespace krCore::detail
