// The fault translator guard and the code tables.
// (Minimal first version: the signal-based translation is not in place yet.)
#include <krcore/se_translator.h>

#include <sstream>

se_translator::se_translator() : _previous(nullptr) {}
se_translator::~se_translator() = default;

se_translator& se_translator::operator=(const se_translator& other) {
  _previous = other._previous;
  return *this;
}

namespace {
struct record_exception : se_translator::exception {
  explicit record_exception(EXCEPTION_POINTERS* p) : se_translator::exception(p) {}
};
}  // namespace

void se_translator::translator(unsigned int, EXCEPTION_POINTERS* pointers) {
  throw record_exception(pointers);
}

std::string se_translator::name(unsigned int code) {
  std::ostringstream os;
  os << "SEH:Unknown:excode=[" << code << ",0x" << std::hex << code << std::dec << "]";
  return os.str();
}

std::string se_translator::description(unsigned int) { return "Unknown SEH Exception"; }
