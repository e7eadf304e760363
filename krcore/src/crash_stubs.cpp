// First versions of the crash-diagnostics pieces: no symbols yet, fault
// settings recorded only, and an exception analysis that records every
// exception as unknown. The full versions replace this file.
#include <krcore/diagnostics.h>

#include <cstdio>
#include <sstream>

#include "logsink.h"

sym_engine::sym_engine(unsigned int address) : _address(address) {}
sym_engine::~sym_engine() = default;
sym_engine& sym_engine::operator=(const sym_engine& other) {
  _address = other._address;
  _initialised = other._initialised;
  _context = other._context;
  return *this;
}
void sym_engine::address(unsigned long address) { _address = address; }
unsigned int sym_engine::module(char*, unsigned int) { return 0; }
unsigned int sym_engine::symbol(char*, unsigned int, unsigned long*) { return 0; }
unsigned int sym_engine::fileline(char*, unsigned int, unsigned int*, unsigned long*) { return 0; }
bool sym_engine::stack_first(CONTEXT*) { return false; }
bool sym_engine::stack_next() { return false; }
bool sym_engine::stack_trace(std::ostream&, CONTEXT*, unsigned int, const char*) { return false; }
bool sym_engine::stack_trace(std::ostream&, unsigned int, const char*) { return false; }
bool sym_engine::stack_trace(std::ostream&, sym_engine&, CONTEXT*, unsigned int, const char*) {
  return false;
}
void sym_engine::dumpsysteminformation() {}
bool sym_engine::mini_dump(EXCEPTION_POINTERS*) { return true; }
const char* sym_engine::default_fmt() { return "%f(%l) : %m at %s\n"; }
bool sym_engine::check() { return false; }
sym_engine::guard& sym_engine::guard::instance() {
  static guard g;
  return g;
}
bool sym_engine::guard::init() { return false; }
bool sym_engine::guard::fail() const { return true; }
sym_engine::guard::~guard() = default;

namespace krCore {

void GenerateDumpFileName(wchar_t* buffer) { buffer[0] = 0; }

}  // namespace krCore
