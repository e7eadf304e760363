// se_translator::exception: the base of the translated fault exceptions, and
// the exception that the library's own objects throw with a message.
#include <krcore/foundation.h>
#include <krcore/se_translator.h>

#include "diagnostics/fault_record.h"

namespace {
constexpr unsigned int kNoRecordCode = 0xC000000D;
}

namespace fr = krCore::detail;

se_translator::exception::exception() = default;

se_translator::exception::exception(const char* const& message)
    : _message(message ? message : "") {}

se_translator::exception::exception(const std::wstring& message)
    : _message(krCore::convertwstringtostring(message)) {}

se_translator::exception::exception(EXCEPTION_POINTERS* pointers)
    : _pointers(pointers), _slot(fr::fault_slot_claim(pointers)) {}

se_translator::exception::exception(const exception& other)
    : std::exception(other), _pointers(other._pointers), _slot(other._slot) {
  if (_slot) fr::fault_slot_retain(_slot);
}

se_translator::exception& se_translator::exception::operator=(const exception& other) {
  if (this == &other) return *this;
  if (other._slot) fr::fault_slot_retain(other._slot);
  if (_slot) fr::fault_slot_release(_slot);
  _pointers = other._pointers;
  _slot = other._slot;
  _message.clear();
  return *this;
}

se_translator::exception::~exception() {
  if (_slot) fr::fault_slot_release(_slot);
}

const char* se_translator::exception::what() const noexcept {
  return _message.empty() ? "se_translator::exception" : _message.c_str();
}

bool se_translator::exception::is_continuable() const {
  return !_pointers || (_pointers->ExceptionRecord->ExceptionFlags & 1u) == 0;
}

unsigned int se_translator::exception::code() const {
  return _pointers ? _pointers->ExceptionRecord->ExceptionCode : kNoRecordCode;
}

void* se_translator::exception::address() const {
  return _pointers ? _pointers->ExceptionRecord->ExceptionAddress : nullptr;
}

std::string se_translator::exception::name() const { return se_translator::name(code()); }

std::string se_translator::exception::description() const {
  return se_translator::description(code());
}
