// The symbol handler on Windows: the system's debug-help library over the
// process's loaded modules (see symbols.h for the interface and its
// locking; every call here is made with the handler lock held, which is
// also what the debug-help library, not thread-safe itself, needs).
//
// Names: a module's CodeView debug information (a PDB) gives functions,
// files and lines; without it, the module's export table gives the names of
// exported functions only. Mangled C++ names are demangled here. Paths
// come back with forward slashes, like the Linux half's.
#include <windows.h>
#include <cxxabi.h>
#include <dbghelp.h>

#include <cstdlib>
#include <cstring>

#include "diagnostics/symbols.h"
#include "diagnostics/windows/stack_capture.h"
#include "foundation/utf.h"

namespace krCore::detail {
namespace {

bool g_open = false;

std::string forward_slashes(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// A demangled name without its parameter list: "ns::f(int) const" gives
// "ns::f". Names that are not mangled come back as they are.
std::string plain_name(const char* name) {
  std::string text = name;
  if (text.rfind("_Z", 0) == 0) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0 && demangled) text = demangled;
    std::free(demangled);
  }
  // The parameter list is the last top-level parenthesis pair that is not
  // part of a name such as "(anonymous namespace)".
  int depth = 0;
  for (std::size_t i = text.size(); i-- > 0;) {
    if (text[i] == ')') {
      ++depth;
    } else if (text[i] == '(' && --depth == 0) {
      if (text.compare(i, 21, "(anonymous namespace)") != 0) {
        text.erase(i);
        break;
      }
    }
  }
  return text;
}

// Makes sure the module holding `address` is known to the handler,
// reporting modules loaded since the last lookup first.
bool module_known(std::uintptr_t address) {
  HANDLE process = ::GetCurrentProcess();
  if (::SymGetModuleBase64(process, address) != 0) return true;
  ::SymRefreshModuleList(process);
  return ::SymGetModuleBase64(process, address) != 0;
}

}  // namespace

bool symbol_handler_open() {
  ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES |
                  SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
  g_open = ::SymInitializeW(::GetCurrentProcess(), nullptr, TRUE) != FALSE;
  return g_open;
}

void symbol_handler_close() {
  if (g_open) ::SymCleanup(::GetCurrentProcess());
  g_open = false;
}

bool symbol_module_path(std::uintptr_t address, std::string* path) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(address), &module))
    return false;
  wchar_t name[MAX_PATH * 4];
  const DWORD n = ::GetModuleFileNameW(module, name, sizeof name / sizeof name[0]);
  if (n == 0 || n >= sizeof name / sizeof name[0]) return false;
  *path = forward_slashes(utf8_from_wide(std::wstring(name, n)));
  return true;
}

bool symbol_function(std::uintptr_t address, std::string* name, std::uintptr_t* displacement) {
  if (!g_open || !module_known(address)) return false;
  alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
  std::memset(symbol, 0, sizeof(SYMBOL_INFO));
  symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
  symbol->MaxNameLen = MAX_SYM_NAME;
  DWORD64 offset = 0;
  if (!::SymFromAddr(::GetCurrentProcess(), address, &offset, symbol) || symbol->NameLen == 0)
    return false;
  *name = plain_name(symbol->Name);
  *displacement = static_cast<std::uintptr_t>(offset);
  return true;
}

bool symbol_line(std::uintptr_t address, std::string* file, unsigned* line,
                 std::uintptr_t* displacement) {
  if (!g_open || !module_known(address)) return false;
  IMAGEHLP_LINE64 found{};
  found.SizeOfStruct = sizeof found;
  DWORD offset = 0;
  if (!::SymGetLineFromAddr64(::GetCurrentProcess(), address, &offset, &found) ||
      !found.FileName)
    return false;
  *file = forward_slashes(found.FileName);
  *line = found.LineNumber;
  *displacement = offset;
  return true;
}

std::size_t symbol_walk(const CONTEXT& context, stack_frame* frames, std::size_t capacity) {
  // The stack is the committed region that holds the stack pointer.
#if defined(_WIN64)
  const std::uintptr_t sp = context.Rsp;
#else
  const std::uintptr_t sp = context.Esp;
#endif
  MEMORY_BASIC_INFORMATION region{};
  if (!::VirtualQuery(reinterpret_cast<const void*>(sp), &region, sizeof region) ||
      region.State != MEM_COMMIT || (region.Protect & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) == 0)
    return 0;
  const auto low = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
  return walk_from_context(context, true, low, low + region.RegionSize, frames, capacity);
}

}  // namespace krCore::detail
