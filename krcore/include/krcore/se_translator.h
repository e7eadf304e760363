// The guard that turns hardware faults on the calling thread into typed C++
// exceptions, the base class of those exceptions and one class per fault code.
//
// Part of the diagnostics family (diagnostics.h includes it); it has its own
// header because the foundation's object exceptions derive from
// se_translator::exception.
//
// On Linux the faults arrive as synchronous signals (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP). A thread with an installed translator gets them as thrown
// objects at the faulting instruction; code that is to catch them must be
// built with -fnon-call-exceptions. Threads without a translator, and signals
// sent with kill/raise, see the process's previous signal dispositions, as
// the kernel would have delivered them (mask, SA_NODEFER, SA_RESETHAND,
// SIG_IGN, SIG_DFL). The handlers are installed at the first guard of the
// process: a host installs its own for these signals before that, or not
// at all. The library also takes SIGRTMAX-3 (a forced thread end) and
// SIGRTMAX-4 (lowering a privilege on another thread); see the README.
//
// What can be caught: a fault in code built with -fnon-call-exceptions; a
// fault in a function without cleanups built without it (a C library
// routine such as strlen or memcpy); a fault in a frame built without it
// that has cleanups at the faulting instruction, which is then thrown from
// its caller as if the call had faulted (that frame's destructors do not
// run) — each as long as every frame between the fault and a catch clause
// taking its class lets exceptions pass at the call it is in.
// What cannot: a fault beneath a frame that forbids exceptions there — a
// noexcept function or destructor, or a call the compiler judged unable to
// throw (a C library function called directly from a function with
// destructors to run, such as a local std::string) — and a fault that no
// catch clause on the stack takes. Throwing would end in std::terminate;
// instead the fault is reported as the exception analysis reports any fault
// (log, flushed, and the event log; a write access violation ends the
// process there with status 5), and then it takes its course as if it were
// not translated: the handler in place before the library's gets it, or the
// process is killed by the signal.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <exception>
#include <string>

namespace krCore::detail {
struct fault_slot;
struct fault_access;
}  // namespace krCore::detail

// Installs the fault translator on the calling thread for its lifetime and
// restores the previous one when it ends; nested guards restore each other
// in reverse order. A guard must be destroyed on the thread that made it.
// The first guard in a process installs the process's fault signal handlers
// (once, chaining to the ones found); the first guard on a thread gives that
// thread an alternate signal stack, so that stack overflows can be reported.
// A stack the host installed is used when it holds at least 32 KiB; a
// smaller one is set aside while the thread's guards are in force and is
// back in place when the outermost guard ends. Construction throws
// krException when the signal stack cannot be set up.
class KRCORE_API se_translator {
 public:
  // The translator function type: called with the exception code and the
  // record on the faulting thread. It is expected to throw; when it returns,
  // the fault is handled as if no translator were installed.
  typedef void (*translator_function)(unsigned int, EXCEPTION_POINTERS*);

  // Base of every translated exception. The record pointer refers to the
  // fault's record, which stays valid while any object made from it (or
  // copied from one) exists, however many are kept (unless memory for one
  // more record runs out: then the oldest is reused), including across
  // threads through std::exception_ptr; it is null for objects not made by
  // the translator.
  // Thread-compatible value type.
  class KRCORE_API exception : public std::exception {
   public:
    exception();
    exception(const char* const& message);
    exception(const std::wstring& message);
    ~exception() override;

    // The message given at construction, or "se_translator::exception".
    const char* what() const noexcept override;
    // True without a record, else true when bit 0 of the record's flags is clear.
    virtual bool is_continuable() const;
    // The record's code; 0xC000000D without a record.
    unsigned int code() const;
    // The faulting address; null without a record.
    void* address() const;
    // se_translator::name(code()) and se_translator::description(code()).
    std::string name() const;
    std::string description() const;
    // The record, or null (exposed for the exception analysis).
    EXCEPTION_POINTERS* pointers() const { return _pointers; }

   protected:
    // Refers to `pointers` without copying it. When `pointers` is the record
    // of the fault being translated on this thread, the object keeps that
    // record alive.
    explicit exception(EXCEPTION_POINTERS* pointers);
    // Copies the record pointer only; the copy has no message of its own.
    exception(const exception& other);
    exception& operator=(const exception& other);

   private:
    friend class se_translator;
    friend struct krCore::detail::fault_access;
    EXCEPTION_POINTERS* _pointers = nullptr;
    std::string _message;
    krCore::detail::fault_slot* _slot = nullptr;  // keeps a fault's record alive
  };

  // One class per fault code, each derived directly from `exception`. Made
  // only by the translator (protected constructor); copyable by anyone.

  // 0xC0000005, information word 0 = 0 read, 1 write, 8 instruction fetch;
  // word 1 = the inaccessible address.
  class KRCORE_API access_violation : public exception {
   public:
    access_violation(const access_violation& other) = default;
    // True when information word 0 is 0. Reads the record unchecked.
    bool is_read_op() const;
    // Information word 1. Reads the record unchecked.
    unsigned long inaccessible_address() const;

   protected:
    explicit access_violation(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000017.
  class KRCORE_API no_memory : public exception {
   public:
    no_memory(const no_memory& other) = default;
    // Information word 0, the size of the failed allocation. Unchecked.
    unsigned int mem_size() const;

   protected:
    explicit no_memory(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0x80000002.
  class KRCORE_API datatype_misalignment : public exception {
   public:
    datatype_misalignment(const datatype_misalignment& other) = default;

   protected:
    explicit datatype_misalignment(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0x80000003.
  class KRCORE_API breakpoint : public exception {
   public:
    breakpoint(const breakpoint& other) = default;

   protected:
    explicit breakpoint(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0x80000004.
  class KRCORE_API single_step : public exception {
   public:
    single_step(const single_step& other) = default;

   protected:
    explicit single_step(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC000008C.
  class KRCORE_API array_bounds_exceeded : public exception {
   public:
    array_bounds_exceeded(const array_bounds_exceeded& other) = default;

   protected:
    explicit array_bounds_exceeded(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC000008D.
  class KRCORE_API flt_denormal_operand : public exception {
   public:
    flt_denormal_operand(const flt_denormal_operand& other) = default;

   protected:
    explicit flt_denormal_operand(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC000008E.
  class KRCORE_API flt_divide_by_zero : public exception {
   public:
    flt_divide_by_zero(const flt_divide_by_zero& other) = default;

   protected:
    explicit flt_divide_by_zero(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC000008F.
  class KRCORE_API flt_inexact_result : public exception {
   public:
    flt_inexact_result(const flt_inexact_result& other) = default;

   protected:
    explicit flt_inexact_result(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000090.
  class KRCORE_API flt_invalid_operation : public exception {
   public:
    flt_invalid_operation(const flt_invalid_operation& other) = default;

   protected:
    explicit flt_invalid_operation(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000091.
  class KRCORE_API flt_overflow : public exception {
   public:
    flt_overflow(const flt_overflow& other) = default;

   protected:
    explicit flt_overflow(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000092.
  class KRCORE_API flt_stack_check : public exception {
   public:
    flt_stack_check(const flt_stack_check& other) = default;

   protected:
    explicit flt_stack_check(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000093.
  class KRCORE_API flt_underflow : public exception {
   public:
    flt_underflow(const flt_underflow& other) = default;

   protected:
    explicit flt_underflow(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000094.
  class KRCORE_API int_divide_by_zero : public exception {
   public:
    int_divide_by_zero(const int_divide_by_zero& other) = default;

   protected:
    explicit int_divide_by_zero(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000095.
  class KRCORE_API int_overflow : public exception {
   public:
    int_overflow(const int_overflow& other) = default;

   protected:
    explicit int_overflow(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000096.
  class KRCORE_API priv_instruction : public exception {
   public:
    priv_instruction(const priv_instruction& other) = default;

   protected:
    explicit priv_instruction(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000006.
  class KRCORE_API in_page_error : public exception {
   public:
    in_page_error(const in_page_error& other) = default;

   protected:
    explicit in_page_error(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC000001D.
  class KRCORE_API illegal_instruction : public exception {
   public:
    illegal_instruction(const illegal_instruction& other) = default;

   protected:
    explicit illegal_instruction(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000025.
  class KRCORE_API noncontinuable_exception : public exception {
   public:
    noncontinuable_exception(const noncontinuable_exception& other) = default;

   protected:
    explicit noncontinuable_exception(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC00000FD.
  class KRCORE_API stack_overflow : public exception {
   public:
    stack_overflow(const stack_overflow& other) = default;

   protected:
    explicit stack_overflow(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000026.
  class KRCORE_API invalid_disposition : public exception {
   public:
    invalid_disposition(const invalid_disposition& other) = default;

   protected:
    explicit invalid_disposition(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0x80000001.
  class KRCORE_API guard_page : public exception {
   public:
    guard_page(const guard_page& other) = default;

   protected:
    explicit guard_page(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xC0000008.
  class KRCORE_API invalid_handle : public exception {
   public:
    invalid_handle(const invalid_handle& other) = default;

   protected:
    explicit invalid_handle(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0xE06D7363.
  class KRCORE_API microsoft_cpp : public exception {
   public:
    microsoft_cpp(const microsoft_cpp& other) = default;

   protected:
    explicit microsoft_cpp(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  // 0x40000015.
  class KRCORE_API fatal_app_exit : public exception {
   public:
    fatal_app_exit(const fatal_app_exit& other) = default;

   protected:
    explicit fatal_app_exit(EXCEPTION_POINTERS* pointers) : exception(pointers) {}
    friend class se_translator;
  };

  se_translator();
  ~se_translator();
  se_translator(const se_translator&) = delete;
  // Copies the kept translator; installs nothing.
  se_translator& operator=(const se_translator& other);

  // Throws the class for the record's code (the first argument is unused);
  // an unknown code throws se_translator::exception. Never returns.
  [[noreturn]] static void translator(unsigned int code, EXCEPTION_POINTERS* pointers);
  // The fixed English name and description of a code; never throw except
  // std::bad_alloc. Unknown codes: "SEH:Unknown:excode=[<dec>,0x<hex>]" and
  // "Unknown SEH Exception".
  static std::string name(unsigned int code);
  static std::string description(unsigned int code);

 private:
  translator_function _previous;
};
