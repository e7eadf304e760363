// The Linux source of translated faults: synchronous signals.
//
// The process's handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP are
// installed once, on the first translator, and chain to whatever was there
// before. A handler translates only a fault the kernel raised on a thread
// that has a translator; anything else (a thread without one, a signal sent
// with kill or raise) goes to the previous disposition, so the process
// behaves as if the library were not there.
//
// Throwing out of a signal handler works because the runtime's unwinder
// steps through the kernel's signal frame into the interrupted code, which
// is built with -fnon-call-exceptions. Before it throws, the handler puts
// the thread back into the state the interrupted code had: the signal mask
// (the handler's own blocks the signal, and no sigreturn will restore it)
// and the floating-point control state (the kernel gives handlers a fresh
// one, with every floating-point trap masked).
#include <krcore/foundation.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>

#include "foundation/compiler.h"
#include "foundation/errors.h"
#include "diagnostics/fault_record.h"
#include "diagnostics/fault_signals.h"
#include "diagnostics/linux/fault_decode.h"
#include "diagnostics/linux/fault_unwind.h"
#include "foundation/linux/signal_chain.h"

namespace krCore::detail {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
chained_signal g_previous[kSignalCount];

// Measured high-water mark of the handler (walk and throw) is under 10 KiB;
// a host's stack below kMinHostStack (glibc's classic SIGSTKSZ is 8 KiB) is
// replaced by the library's own while a translator is in force.
constexpr std::size_t kAltStackSize = std::size_t{64} * 1024;
constexpr std::size_t kMinHostStack = std::size_t{32} * 1024;
constexpr std::uint64_t kEflagsAc = 1u << 18;

// Read by the handler: trivially constructed and initial-exec, so reading
// them from a signal handler never allocates.
__attribute__((tls_model(
    "initial-exec"))) thread_local se_translator::translator_function t_translator = nullptr;
KRCORE_TLS_INITIAL_EXEC thread_local std::uintptr_t t_stack_lo = 0;
KRCORE_TLS_INITIAL_EXEC thread_local std::uintptr_t t_stack_hi = 0;

// The thread's alternate signal stack (with a guard page below it), so the
// handler can run when the thread's own stack is used up. Made outside the
// handler, freed at thread exit. A stack the host already installed is used
// when it is large enough; a smaller one is set aside while the thread's
// translators are in force and put back when the outermost one ends.
class alt_stack {
 public:
  alt_stack() = default;
  alt_stack(const alt_stack&) = delete;
  alt_stack& operator=(const alt_stack&) = delete;
  ~alt_stack() { release(); }

  bool ready() const { return _base != nullptr || _foreign; }

  // The thread's first translator. Throws krException when the memory or
  // the stack cannot be set up.
  void attach() {
    if (!keep_host_stack()) {
      const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
      void* base = mmap(nullptr, kAltStackSize + page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
      if (base == MAP_FAILED) {
        throw krException(last_errno_as_win32(), "se_translator: mmap failed.", 4);
      }
      if (mprotect(base, page, PROT_NONE) != 0) {
        const unsigned long code = last_errno_as_win32();
        munmap(base, kAltStackSize + page);
        throw krException(code, "se_translator: mprotect failed.", 4);
      }
      _base = base;
      _length = kAltStackSize + page;
      install();
    }
  }

  // A translator is set again after the outermost one ended: when the host
  // had a stack too small, set it aside again. Throws krException.
  void enter() {
    if (_base && _saved_host && !_installed && !keep_host_stack()) install();
  }

  // The outermost translator ended: the host's own stack is put back.
  void leave() noexcept {
    if (!_installed || !_saved_host) return;
    stack_t host = _host;
    host.ss_flags = 0;
    sigaltstack(&host, nullptr);
    _installed = false;
  }

 private:
  // True when the stack in place is the host's and can be used (large
  // enough, or in use right now so that it cannot be swapped); otherwise
  // remembers a host stack to put back later.
  bool keep_host_stack() {
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE)) return false;
    if (current.ss_size >= kMinHostStack || (current.ss_flags & SS_ONSTACK)) {
      _foreign = _base == nullptr;
      return true;
    }
    _host = current;
    _saved_host = true;
    return false;
  }

  void install() {
    stack_t ss{};
    ss.ss_sp = static_cast<char*>(_base) + (_length - kAltStackSize);
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
      throw krException(last_errno_as_win32(), "se_translator: sigaltstack failed.", 4);
    }
    _installed = true;
  }

  void release() {
    if (!_base) return;
    if (_installed) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
      leave();
    }
    munmap(_base, _length);
    _base = nullptr;
  }

  void* _base = nullptr;
  std::size_t _length = 0;
  bool _foreign = false;
  bool _installed = false;   // ours is the thread's stack now
  bool _saved_host = false;  // _host holds a host stack to put back
  stack_t _host{};
};

thread_local alt_stack t_alt_stack;

void record_stack_bounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
    t_stack_lo = reinterpret_cast<std::uintptr_t>(addr);
    t_stack_hi = t_stack_lo + size;
  }
  pthread_attr_destroy(&attr);
}

// Hands a signal this module does not translate to the disposition that was
// in place before the library's handler.
void chain(int sig, siginfo_t* info, void* context) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) g_previous[i].pass_on(sig, info, context);
}

// Puts the interrupted code's floating-point control state back: the
// exception masks, rounding and flush modes of MXCSR (without the sticky
// flags) and the x87 control word.
void restore_float_control(const ucontext_t* uc) {
  const auto* fp = uc->uc_mcontext.fpregs;
  if (!fp) return;
  const std::uint32_t mxcsr = fp->mxcsr & ~0x3Fu;
  const std::uint16_t cw = fp->cwd;
  asm volatile("fnclex\n\tfldcw %0\n\tldmxcsr %1" : : "m"(cw), "m"(mxcsr));
}

void fill_context(const ucontext_t* uc, CONTEXT* c) {
  const greg_t* g = uc->uc_mcontext.gregs;
  auto r = [&](int i) { return static_cast<std::uint64_t>(g[i]); };
  c->Rax = r(REG_RAX), c->Rcx = r(REG_RCX), c->Rdx = r(REG_RDX), c->Rbx = r(REG_RBX);
  c->Rsp = r(REG_RSP), c->Rbp = r(REG_RBP), c->Rsi = r(REG_RSI), c->Rdi = r(REG_RDI);
  c->R8 = r(REG_R8), c->R9 = r(REG_R9), c->R10 = r(REG_R10), c->R11 = r(REG_R11);
  c->R12 = r(REG_R12), c->R13 = r(REG_R13), c->R14 = r(REG_R14), c->R15 = r(REG_R15);
  c->Rip = r(REG_RIP);
  c->EFlags = static_cast<DWORD>(r(REG_EFL));
  // REG_CSGSFS packs cs, gs, fs and ss in 16-bit fields.
  c->SegCs = static_cast<WORD>(r(REG_CSGSFS) & 0xFFFF);
  c->SegSs = static_cast<WORD>((r(REG_CSGSFS) >> 48) & 0xFFFF);
  if (uc->uc_mcontext.fpregs) c->MxCsr = uc->uc_mcontext.fpregs->mxcsr;
}

// A fault whose exception no handler would catch: throwing it would end in
// std::terminate, which reports nothing of the fault. The exception is made
// and caught here instead and goes to the crash report; the caller then lets
// the fault take its course as if it were not translated, which ends the
// process as an unhandled fault does (or passes it to the host's handler).
void report_uncaught(se_translator::translator_function fn, unsigned int code, fault_slot* slot) {
  std::exception_ptr fault;
  try {
    fn(code, &slot->pointers);
  } catch (...) {
    fault = std::current_exception();
  }
  if (fault) report_unhandled_fault(fault);
}

// Translates the fault into a thrown exception. Returns (false) only when
// the fault is not translated; the context is then as it was.
bool translate(int sig, siginfo_t* info, ucontext_t* uc) {
  const se_translator::translator_function fn = t_translator;
  if (!fn || info->si_code <= 0) return false;  // no translator, or sent by kill/raise
  fault_facts facts;
  if (!decode_fault(sig, info, uc, stack_bounds{t_stack_lo, t_stack_hi}, &facts)) return false;
  fault_slot* slot = fault_slot_begin();
  if (!slot) return false;

  EXCEPTION_RECORD& rec = slot->record;
  rec.ExceptionCode = facts.code;
  rec.ExceptionAddress = reinterpret_cast<void*>(facts.address);
  rec.NumberParameters = facts.info_count;
  rec.ExceptionInformation[0] = facts.info[0];
  rec.ExceptionInformation[1] = facts.info[1];
  fill_context(uc, &slot->context);
  slot->context.Rip = facts.address;  // a breakpoint reports the trap byte

  gregset_t original;
  std::memcpy(original, uc->uc_mcontext.gregs, sizeof original);
  slot->frames[0] = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  slot->frame_count = 1;
  std::uintptr_t return_address = 0;
  if (facts.execute &&
      facts.info[1] == static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]) &&
      pop_bad_call(uc, &return_address)) {
    slot->frames[slot->frame_count++] = reinterpret_cast<const void*>(return_address);
  } else if (facts.code == 0x80000003) {
    // Unwind from the trap instruction, which lies inside the function even
    // when it is the function's last byte.
    uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(facts.address);
  }
  const std::type_info* thrown = fn == &se_translator::translator ? translated_type(facts.code)
                                                                  : nullptr;
  const unwind_plan plan =
      prepare_unwind(uc, slot->frames, fault_slot::kMaxFrames, &slot->frame_count, thrown);
  if (plan != unwind_plan::caught) {
    std::memcpy(uc->uc_mcontext.gregs, original, sizeof original);
    if (plan == unwind_plan::uncaught) report_uncaught(fn, facts.code, slot);
    fault_slot_abandon_pending();
    return false;
  }

  uc->uc_mcontext.gregs[REG_EFL] &= ~static_cast<greg_t>(kEflagsAc);
  pthread_sigmask(SIG_SETMASK, &uc->uc_sigmask, nullptr);
  restore_float_control(uc);
  fn(facts.code, &slot->pointers);

  // The translator returned: the fault is not translated after all.
  std::memcpy(uc->uc_mcontext.gregs, original, sizeof original);
  fault_slot_abandon_pending();
  return false;
}

void fault_handler(int sig, siginfo_t* info, void* context) {
  // The kernel keeps the interrupted code's alignment-check flag for the
  // handler; clear it so the handler's own unaligned accesses do not fault.
  asm volatile("pushfq\n\tandq %0, (%%rsp)\n\tpopfq"
               :
               : "i"(~static_cast<std::int64_t>(kEflagsAc))
               : "cc", "memory");
  const int saved_errno = errno;
  if (!translate(sig, info, static_cast<ucontext_t*>(context))) chain(sig, info, context);
  errno = saved_errno;
}

void install_handlers() {
  sigset_t none;
  sigemptyset(&none);
  for (int i = 0; i < kSignalCount; ++i) {
    if (const int e = g_previous[i].install(kSignals[i], &fault_handler, SA_ONSTACK, none)) {
      throw krException(win32_from_errno(e), "se_translator: sigaction failed.", 4);
    }
  }
}

}  // namespace

se_translator::translator_function set_thread_translator(se_translator::translator_function fn) {
  if (fn && !t_alt_stack.ready()) {
    static std::once_flag installed;
    std::call_once(installed, install_handlers);
    fault_pool_attach_thread();
    record_stack_bounds();
    t_alt_stack.attach();
  } else if (fn && !t_translator) {
    t_alt_stack.enter();
  }
  const se_translator::translator_function previous = t_translator;
  t_translator = fn;
  if (!fn && previous) t_alt_stack.leave();
  return previous;
}

}  // namespace krCore::detail
