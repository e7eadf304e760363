// The guard that turns hardware faults on the calling thread into typed C++
// exceptions, and the base class of those exceptions.
//
// Part of the diagnostics family (diagnostics.h includes it); it has its own
// header because the foundation's object exceptions derive from
// se_translator::exception.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <exception>
#include <string>

// Installs the fault translator on the calling thread for its lifetime and
// restores the previous one when it ends; nested guards restore each other
// in reverse order. A guard must be destroyed on the thread that made it.
class KRCORE_API se_translator {
 public:
  // The translator function type: called with the exception code and the
  // record on the faulting thread; it throws and never returns.
  typedef void (*translator_function)(unsigned int, EXCEPTION_POINTERS*);

  // Base of every translated exception. The record pointer refers to the
  // fault's record, valid while the exception is being handled; it is null
  // for objects not made by the translator.
  class KRCORE_API exception : public std::exception {
   public:
    exception();
    exception(const char* const& message);
    exception(const std::wstring& message);
    ~exception() override;

    // The message given at construction, or "se_translator::exception".
    const char* what() const noexcept override;
    virtual bool is_continuable() const;
    // The record's code; 0xC000000D without a record.
    unsigned int code() const;
    // The faulting address; null without a record.
    void* address() const;
    std::string name() const;
    std::string description() const;
    // The record, or null (exposed for the exception analysis).
    EXCEPTION_POINTERS* pointers() const { return _pointers; }

   protected:
    explicit exception(EXCEPTION_POINTERS* pointers);
    // Copies the record pointer only; the copy has no message of its own.
    exception(const exception& other);

   private:
    EXCEPTION_POINTERS* _pointers = nullptr;
    std::string _message;
  };

  se_translator();
  ~se_translator();
  se_translator(const se_translator&) = delete;
  // Copies the kept translator; installs nothing.
  se_translator& operator=(const se_translator& other);

  // Throws the class for the record's code; never returns.
  [[noreturn]] static void translator(unsigned int code, EXCEPTION_POINTERS* pointers);
  static std::string name(unsigned int code);
  static std::string description(unsigned int code);

 private:
  translator_function _previous;
};
