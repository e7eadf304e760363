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
// sent with kill/raise, see the process's previous signal dispositions.
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
// Construction throws krException when the signal stack cannot be set up.
class KRCORE_API se_translator {
 public:
  // The translator function type: called with the exception code and the
  // record on the faulting thread. It is expected to throw; when it returns,
  // the fault is handled as if no translator were installed.
  typedef void (*translator_function)(unsigned int, EXCEPTION_POINTERS*);

  // Base of every translated exception. The record pointer refers to the
  // fault's record, which stays valid while any object made from it (or
  // copied from one) exists, including across threads through
  // std::exception_ptr; it is null for objects not made by the translator.
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

// One class per fault code; made only by the translator (protected
// constructor), copyable by anyone.
#define KRCORE_SE_EXCEPTION_CLASS(cls, extra)                          \
  class KRCORE_API cls : public exception {                            \
   public:                                                             \
    cls(const cls& other) = default;                                   \
    extra                                                              \
   protected:                                                          \
    explicit cls(EXCEPTION_POINTERS* pointers) : exception(pointers) {} \
    friend class se_translator;                                        \
  };

  // 0xC0000005. is_read_op(): information word 0 is 0 (the access was a
  // read; 1 is a write, 8 an instruction fetch). inaccessible_address():
  // information word 1. Both read the record unchecked.
  KRCORE_SE_EXCEPTION_CLASS(access_violation, bool is_read_op() const;
                            unsigned long inaccessible_address() const;)
  // 0xC0000017. mem_size(): information word 0, read unchecked.
  KRCORE_SE_EXCEPTION_CLASS(no_memory, unsigned int mem_size() const;)
  KRCORE_SE_EXCEPTION_CLASS(datatype_misalignment, )     // 0x80000002
  KRCORE_SE_EXCEPTION_CLASS(breakpoint, )                // 0x80000003
  KRCORE_SE_EXCEPTION_CLASS(single_step, )               // 0x80000004
  KRCORE_SE_EXCEPTION_CLASS(array_bounds_exceeded, )     // 0xC000008C
  KRCORE_SE_EXCEPTION_CLASS(flt_denormal_operand, )      // 0xC000008D
  KRCORE_SE_EXCEPTION_CLASS(flt_divide_by_zero, )        // 0xC000008E
  KRCORE_SE_EXCEPTION_CLASS(flt_inexact_result, )        // 0xC000008F
  KRCORE_SE_EXCEPTION_CLASS(flt_invalid_operation, )     // 0xC0000090
  KRCORE_SE_EXCEPTION_CLASS(flt_overflow, )              // 0xC0000091
  KRCORE_SE_EXCEPTION_CLASS(flt_stack_check, )           // 0xC0000092
  KRCORE_SE_EXCEPTION_CLASS(flt_underflow, )             // 0xC0000093
  KRCORE_SE_EXCEPTION_CLASS(int_divide_by_zero, )        // 0xC0000094
  KRCORE_SE_EXCEPTION_CLASS(int_overflow, )              // 0xC0000095
  KRCORE_SE_EXCEPTION_CLASS(priv_instruction, )          // 0xC0000096
  KRCORE_SE_EXCEPTION_CLASS(in_page_error, )             // 0xC0000006
  KRCORE_SE_EXCEPTION_CLASS(illegal_instruction, )       // 0xC000001D
  KRCORE_SE_EXCEPTION_CLASS(noncontinuable_exception, )  // 0xC0000025
  KRCORE_SE_EXCEPTION_CLASS(stack_overflow, )            // 0xC00000FD
  KRCORE_SE_EXCEPTION_CLASS(invalid_disposition, )       // 0xC0000026
  KRCORE_SE_EXCEPTION_CLASS(guard_page, )                // 0x80000001
  KRCORE_SE_EXCEPTION_CLASS(invalid_handle, )            // 0xC0000008
  KRCORE_SE_EXCEPTION_CLASS(microsoft_cpp, )             // 0xE06D7363
  KRCORE_SE_EXCEPTION_CLASS(fatal_app_exit, )            // 0x40000015
#undef KRCORE_SE_EXCEPTION_CLASS

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
