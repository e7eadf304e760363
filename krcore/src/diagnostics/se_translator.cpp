// The fault translator guard, the translator function and the fixed texts of
// the fault codes.
#include <krcore/se_translator.h>

#include <sstream>
#include <typeinfo>

#include "diagnostics/fault_signals.h"

namespace {

struct code_text {
  unsigned int code;
  const char* name;
  const char* description;  // null: the unknown-code description
};

constexpr code_text kTexts[] = {
    {0xC0000005, "Access Violation",
     "The thread attempted to read from or write to a virtual address for which it does not "
     "have the appropriate access"},
    {0xC0000017, "No Memory",
     "The allocation attempt failed because of a lack of available memory or heap corruption."},
    {0x80000002, "Datatype Misalignment",
     "The thread attempted to read or write data that is misaligned on hardware that does not "
     "provide alignment. For example, 16-bit values must be aligned on 2-byte boundaries, 32-bit "
     "values on 4-byte boundaries, and so on"},
    {0x80000003, "Breakpoint", "A breakpoint was encountered"},
    {0x80000004, "Single Step",
     "A trace trap or other single-instruction mechanism signaled that one instruction has been "
     "executed"},
    {0xC000008C, "Array Bounds Exceeded",
     "The thread attempted to access an array element that is out of bounds, and the underlying "
     "hardware supports bounds checking"},
    {0xC000008D, "Float Denormal Operand",
     "One of the operands in a floating-point operation is denormal. A denormal value is one "
     "that is too small to represent as a standard floating-point value"},
    {0xC000008E, "Float Divide by Zero",
     "The thread attempted to divide a floating-point value by a floating-point divisor of zero"},
    {0xC000008F, "Float Inexact Result",
     "The result of a floating-point operation cannot be represented exactly as a decimal "
     "fraction"},
    {0xC0000090, "Float Invalid Operation",
     "This exception represents any floating-point exception not included in this list"},
    {0xC0000091, "Float Overflow",
     "The exponent of a floating-point operation is greater than the magnitude allowed by the "
     "corresponding type"},
    {0xC0000092, "Float Stack Check",
     "The stack overflowed or underflowed as the result of a floating-point operation"},
    {0xC0000093, "Float Underflow",
     "The exponent of a floating-point operation is less than the magnitude allowed by the "
     "corresponding type"},
    {0xC0000094, "Integer Divide by Zero",
     "The thread attempted to divide an integer value by an integer divisor of zero"},
    {0xC0000095, "Integer Overflow",
     "The result of an integer operation caused a carry out of the most significant bit of the "
     "result"},
    {0xC0000096, "Privileged Instruction",
     "The thread attempted to execute an instruction whose operation is not allowed in the "
     "current machine mode"},
    {0xC0000006, "In Page Error",
     "The thread tried to access a page that was not present, and the system was unable to load "
     "the page. For example, this exception might occur if a network connection is lost while "
     "running a program over the network"},
    {0xC000001D, "Illegal Instruction", "The thread tried to execute an invalid instruction"},
    {0xC0000025, "Noncontinuable Exception",
     "The thread attempted to continue execution after a noncontinuable exception occurred"},
    {0xC00000FD, "Stack Overflow", "The thread used up its stack"},
    {0xC0000026, "Invalid Disposition",
     "An exception handler returned an invalid disposition to the exception dispatcher. "
     "Programmers using a high-level language such as C should never encounter this exception"},
    {0x80000001, "Guard Page", "Guard Page Exception"},
    {0xC0000008, "Invalid Handle", "Invalid Handle Exception"},
    {0xE06D7363, "Microsoft C++ Exception", "Microsoft C++ Exception"},
    {0x40000015, "Fatal App Exit", nullptr},
};

const code_text* find_text(unsigned int code) {
  for (const code_text& t : kTexts)
    if (t.code == code) return &t;
  return nullptr;
}

}  // namespace

se_translator::se_translator() : _previous(krCore::detail::set_thread_translator(&translator)) {}

se_translator::~se_translator() { krCore::detail::set_thread_translator(_previous); }

se_translator& se_translator::operator=(const se_translator& other) {
  _previous = other._previous;
  return *this;
}

// The class thrown for each code; both the translator and the fault source
// (which must know the class before it throws) read this one list.
#define KRCORE_TRANSLATED_CLASSES(X)                                                           \
  X(0xC0000005, access_violation)                                                              \
  X(0xC0000017, no_memory) X(0x80000002, datatype_misalignment) X(0x80000003, breakpoint)      \
  X(0x80000004, single_step) X(0xC000008C, array_bounds_exceeded)                              \
  X(0xC000008D, flt_denormal_operand) X(0xC000008E, flt_divide_by_zero)                        \
  X(0xC000008F, flt_inexact_result) X(0xC0000090, flt_invalid_operation)                       \
  X(0xC0000091, flt_overflow) X(0xC0000092, flt_stack_check) X(0xC0000093, flt_underflow)      \
  X(0xC0000094, int_divide_by_zero) X(0xC0000095, int_overflow)                                \
  X(0xC0000096, priv_instruction) X(0xC0000006, in_page_error)                                 \
  X(0xC000001D, illegal_instruction) X(0xC0000025, noncontinuable_exception)                   \
  X(0xC00000FD, stack_overflow) X(0xC0000026, invalid_disposition) X(0x80000001, guard_page)   \
  X(0xC0000008, invalid_handle) X(0xE06D7363, microsoft_cpp) X(0x40000015, fatal_app_exit)

void se_translator::translator(unsigned int, EXCEPTION_POINTERS* pointers) {
#define KRCORE_THROW_CASE(code, cls) \
  case code:                         \
    throw cls(pointers);
  switch (pointers->ExceptionRecord->ExceptionCode) {
    KRCORE_TRANSLATED_CLASSES(KRCORE_THROW_CASE)
    default:
      throw exception(pointers);
  }
#undef KRCORE_THROW_CASE
}

const std::type_info* krCore::detail::translated_type(unsigned int code) noexcept {
#define KRCORE_TYPE_CASE(code, cls) \
  case code:                        \
    return &typeid(se_translator::cls);
  switch (code) {
    KRCORE_TRANSLATED_CLASSES(KRCORE_TYPE_CASE)
    default:
      return &typeid(se_translator::exception);
  }
#undef KRCORE_TYPE_CASE
}

std::string se_translator::name(unsigned int code) {
  if (const code_text* t = find_text(code)) return t->name;
  std::ostringstream os;
  os << "SEH:Unknown:excode=[" << code << ",0x" << std::hex << code << std::dec << "]";
  return os.str();
}

std::string se_translator::description(unsigned int code) {
  const code_text* t = find_text(code);
  return t && t->description ? t->description : "Unknown SEH Exception";
}

bool se_translator::access_violation::is_read_op() const {
  return pointers()->ExceptionRecord->ExceptionInformation[0] == 0;
}

unsigned long se_translator::access_violation::inaccessible_address() const {
  return static_cast<unsigned long>(pointers()->ExceptionRecord->ExceptionInformation[1]);
}

unsigned int se_translator::no_memory::mem_size() const {
  return static_cast<unsigned int>(pointers()->ExceptionRecord->ExceptionInformation[0]);
}
