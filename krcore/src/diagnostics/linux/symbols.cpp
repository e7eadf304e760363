// The symbol handler on Linux: elfutils' libdwfl over the process's own
// loaded modules (see symbols.h for the interface and its locking).
//
// Modules are reported from the process's mappings and reported again when
// the dynamic loader's count of loaded or unloaded objects has moved since,
// so a library that came with dlopen is found; modules reported before keep
// the symbol and line tables they have already read. Walks from a register
// set run libdwfl's call-frame unwinder on the calling process, with memory
// read through safe_read so that a bogus register set cannot fault.
#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <cstring>

#include "diagnostics/symbols.h"

namespace krCore::detail {
namespace {

char* g_debuginfo_path = nullptr;
const Dwfl_Callbacks g_callbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    &g_debuginfo_path,
};

Dwfl* g_dwfl = nullptr;
bool g_can_walk = false;  // the unwinder state is attached
// The dynamic loader's counts of objects loaded and unloaded when the
// modules were last reported.
unsigned long long g_adds = 0, g_subs = 0;
// The register set of the walk in progress (the handler lock is held).
const CONTEXT* g_walk_context = nullptr;

// The last function lookup: libdwfl searches a module's symbol table from
// end to end for every address, and the formatter asks for each frame's
// function twice (for its name, and to bound the search for its line).
struct function_lookup {
  bool valid = false;
  std::uintptr_t address = 0;
  bool found = false;
  std::string name;
  std::uintptr_t displacement = 0;
};
function_lookup g_last_function;

struct loader_counts {
  unsigned long long adds = 0, subs = 0;
};

int read_counts(dl_phdr_info* info, std::size_t size, void* arg) {
  auto* counts = static_cast<loader_counts*>(arg);
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    counts->adds = info->dlpi_adds;
    counts->subs = info->dlpi_subs;
  }
  return 1;  // every entry carries the same counts: one is enough
}

loader_counts current_counts() {
  loader_counts counts;
  dl_iterate_phdr(&read_counts, &counts);
  return counts;
}

bool report_modules() {
  const loader_counts counts = current_counts();
  dwfl_report_begin(g_dwfl);
  const int rc = dwfl_linux_proc_report(g_dwfl, getpid());
  g_last_function.valid = false;
  if (dwfl_report_end(g_dwfl, nullptr, nullptr) != 0 || rc != 0) return false;
  g_adds = counts.adds;
  g_subs = counts.subs;
  return true;
}

Dwfl_Module* module_of(std::uintptr_t address) {
  if (!g_dwfl) return nullptr;
  // Asked on every lookup: a library loaded since the last report may lie
  // in a gap that an earlier module's reported range spans.
  const loader_counts counts = current_counts();
  if ((counts.adds != g_adds || counts.subs != g_subs) && !report_modules()) return nullptr;
  Dwfl_Module* mod = dwfl_addrmodule(g_dwfl, address);
  if (!mod) return nullptr;
  // libdwfl answers an address above the last module's end (a stack, an
  // unmapped or a non-canonical address) with that last module.
  Dwarf_Addr low = 0, high = 0;
  dwfl_module_info(mod, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr);
  return address >= low && address < high ? mod : nullptr;
}

// "ns::f(int) const" -> "ns::f": the demangled name without the parameter
// list of the function itself (the last balanced parenthesis group).
std::string strip_parameters(const std::string& name) {
  const std::size_t close = name.rfind(')');
  if (close == std::string::npos) return name;
  int depth = 0;
  for (std::size_t i = close + 1; i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) return i > 0 ? name.substr(0, i) : name;
  }
  return name;
}

std::string display_name(const char* symbol) {
  // Versioned symbols carry their version after an '@' ("f@@LIB_1.2").
  std::string bare(symbol, std::strcspn(symbol, "@"));
  int status = 0;
  char* demangled = abi::__cxa_demangle(bare.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !demangled) return bare;
  std::string name = strip_parameters(demangled);
  std::free(demangled);
  return name;
}

// --- the unwinder's view of this process: one thread, the walk's registers

pid_t next_thread(Dwfl*, void*, void** thread_argp) {
  if (*thread_argp) return 0;
  *thread_argp = &g_walk_context;
  return getpid();
}

bool get_thread(Dwfl*, pid_t, void*, void** thread_argp) {
  *thread_argp = &g_walk_context;
  return true;
}

bool memory_read(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void*) {
  return safe_read(reinterpret_cast<const void*>(address), result, sizeof *result);
}

bool set_initial_registers(Dwfl_Thread* thread, void*) {
  const CONTEXT& c = *g_walk_context;
  // DWARF register numbers 0..16 of x86-64.
  const Dwarf_Word regs[17] = {c.Rax, c.Rdx, c.Rcx, c.Rbx, c.Rsi, c.Rdi, c.Rbp, c.Rsp, c.R8,
                               c.R9,  c.R10, c.R11, c.R12, c.R13, c.R14, c.R15, c.Rip};
  return dwfl_thread_state_registers(thread, 0, 17, regs);
}

const Dwfl_Thread_Callbacks g_thread_callbacks = {
    next_thread, get_thread, memory_read, set_initial_registers, nullptr, nullptr,
};

struct walk_output {
  stack_frame* frames;
  std::size_t capacity;
  std::size_t count;
};

int take_frame(Dwfl_Frame* state, void* arg) {
  auto* out = static_cast<walk_output*>(arg);
  Dwarf_Addr pc = 0;
  bool activation = false;
  if (!dwfl_frame_pc(state, &pc, &activation) || pc == 0) return DWARF_CB_ABORT;
  out->frames[out->count++] = stack_frame{static_cast<std::uintptr_t>(pc), activation};
  return out->count == out->capacity ? DWARF_CB_ABORT : DWARF_CB_OK;
}

}  // namespace

bool symbol_handler_open() {
  if (g_dwfl) return true;
  g_dwfl = dwfl_begin(&g_callbacks);
  if (!g_dwfl) return false;
  if (!report_modules()) {
    symbol_handler_close();
    return false;
  }
  // Without the unwinder state, walks from a register set give only their
  // first frame; symbols still work.
  g_can_walk = dwfl_attach_state(g_dwfl, nullptr, getpid(), &g_thread_callbacks, nullptr);
  return true;
}

void symbol_handler_close() {
  if (g_dwfl) dwfl_end(g_dwfl);
  g_dwfl = nullptr;
  g_can_walk = false;
  g_last_function = function_lookup{};
}

bool symbol_module_path(std::uintptr_t address, std::string* path) {
  Dwfl_Module* mod = module_of(address);
  if (!mod) return false;
  const char* name =
      dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!name) return false;
  *path = name;
  return true;
}

bool symbol_function(std::uintptr_t address, std::string* name, std::uintptr_t* displacement) {
  Dwfl_Module* mod = module_of(address);
  if (!mod) return false;
  function_lookup& last = g_last_function;
  if (!last.valid || last.address != address) {
    last.valid = false;
    GElf_Off offset = 0;
    GElf_Sym sym;
    const char* symbol =
        dwfl_module_addrinfo(mod, address, &offset, &sym, nullptr, nullptr, nullptr);
    last.found = symbol && *symbol;
    last.name = last.found ? display_name(symbol) : std::string();
    last.displacement = static_cast<std::uintptr_t>(offset);
    last.address = address;
    last.valid = true;
  }
  if (!last.found) return false;
  *name = last.name;
  *displacement = last.displacement;
  return true;
}

bool symbol_line(std::uintptr_t address, std::string* file, unsigned* line,
                 std::uintptr_t* displacement) {
  Dwfl_Module* mod = module_of(address);
  if (!mod) return false;
  Dwfl_Line* entry = dwfl_module_getsrc(mod, address);
  if (!entry) return false;
  Dwarf_Addr start = 0;
  int number = 0;
  const char* source = dwfl_lineinfo(entry, &start, &number, nullptr, nullptr, nullptr);
  if (!source) return false;
  *file = source;
  // A unit compiled from a relative path (a compiler cache or a prefix map
  // rewrites them so) names its files relative to its compilation folder:
  // the trace still gives the full path.
  if (source[0] != '/') {
    Dwarf_Die* cu = dwfl_linecu(entry);
    Dwarf_Attribute attr;
    const char* dir = cu ? dwarf_formstring(dwarf_attr(cu, DW_AT_comp_dir, &attr)) : nullptr;
    if (dir && dir[0] == '/')
      *file = (std::filesystem::path(dir) / source).lexically_normal().string();
  }
  *line = static_cast<unsigned>(number);
  *displacement = static_cast<std::uintptr_t>(address - start);
  return true;
}

std::size_t symbol_walk(const CONTEXT& context, stack_frame* frames, std::size_t capacity) {
  if (capacity == 0) return 0;
  if (!g_can_walk) {
    frames[0] = stack_frame{static_cast<std::uintptr_t>(context.Rip), true};
    return 1;
  }
  // A call through a bad pointer stopped at that pointer, outside every
  // module: the frame is unknown, and its caller's return address is the
  // word the call pushed. The walk goes on from there.
  CONTEXT popped;
  const CONTEXT* start = &context;
  std::size_t first = 0;
  std::uintptr_t ret = 0;
  if (capacity > 1 && !module_of(static_cast<std::uintptr_t>(context.Rip)) &&
      safe_read(reinterpret_cast<const void*>(context.Rsp), &ret, sizeof ret) && ret &&
      module_of(ret - 1)) {
    popped = context;
    popped.Rip = ret;
    popped.Rsp = context.Rsp + sizeof ret;
    start = &popped;
    frames[0] = stack_frame{static_cast<std::uintptr_t>(context.Rip), true};
    first = 1;
  }
  g_walk_context = start;
  walk_output out{frames + first, capacity - first, 0};
  dwfl_getthread_frames(g_dwfl, getpid(), &take_frame, &out);
  g_walk_context = nullptr;
  if (first) {
    if (out.count == 0) out.count = 1;
    frames[1] = stack_frame{ret, false};  // a return address, not the instruction
  }
  if (first + out.count == 0) {
    frames[0] = stack_frame{static_cast<std::uintptr_t>(context.Rip), true};
    return 1;
  }
  return first + out.count;
}

}  // namespace krCore::detail
