// Stack walking for fault translation (see fault_unwind.h).
//
// The walk runs on the alternate signal stack with the unwinder of the C++
// runtime (_Unwind_Backtrace), so it sees the same frames, unwind tables and
// language-specific data the throw will use. It must never be linked
// against another unwinder: that would split the two.
#include "diagnostics/linux/fault_unwind.h"

#include <unwind.h>

#include <cstring>
#include <typeinfo>

extern "C" {
// The runtime's lookup of the unwind entry covering a code address (part of
// libgcc_s, declared in its unwind-dw2-fde.h, which is not installed).
struct dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);
}

namespace krCore::detail {
namespace {

// DWARF exception-header pointer encodings (value formats and "omit").
enum : std::uint8_t {
  kEhAbsptr = 0x00,
  kEhUleb128 = 0x01,
  kEhUdata2 = 0x02,
  kEhUdata4 = 0x03,
  kEhUdata8 = 0x04,
  kEhSleb128 = 0x09,
  kEhSdata2 = 0x0A,
  kEhSdata4 = 0x0B,
  kEhSdata8 = 0x0C,
  kEhOmit = 0xFF,
};

// LEB128, sign-extended when `is_signed`.
std::uint64_t read_leb(const std::uint8_t*& p, bool is_signed) {
  std::uint64_t v = 0;
  unsigned shift = 0;
  std::uint8_t b;
  do {
    b = *p++;
    if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
    shift += 7;
  } while (b & 0x80);
  if (is_signed && shift < 64 && (b & 0x40)) v |= ~std::uint64_t{0} << shift;
  return v;
}

std::uint64_t read_uleb(const std::uint8_t*& p) { return read_leb(p, false); }

template <typename T>
std::uint64_t read_fixed(const std::uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return static_cast<std::uint64_t>(v);
}

// Reads the value format of `enc`; the application part (pc-relative and
// so on) is ignored, which is right for call-site offsets and harmless for
// fields that are only skipped. False for formats this reader does not know.
bool read_encoded(std::uint8_t enc, const std::uint8_t*& p, std::uint64_t* out) {
  switch (enc & 0x0F) {
    case kEhAbsptr:
      *out = read_fixed<std::uint64_t>(p);
      return true;
    case kEhUleb128:
      *out = read_uleb(p);
      return true;
    case kEhUdata2:
      *out = read_fixed<std::uint16_t>(p);
      return true;
    case kEhUdata4:
      *out = read_fixed<std::uint32_t>(p);
      return true;
    case kEhUdata8:
      *out = read_fixed<std::uint64_t>(p);
      return true;
    case kEhSleb128:
      *out = read_leb(p, true);
      return true;
    case kEhSdata2:
      *out = static_cast<std::uint64_t>(static_cast<std::int64_t>(read_fixed<std::int16_t>(p)));
      return true;
    case kEhSdata4:
      *out = static_cast<std::uint64_t>(static_cast<std::int64_t>(read_fixed<std::int32_t>(p)));
      return true;
    case kEhSdata8:
      *out = read_fixed<std::uint64_t>(p);
      return true;
    default:
      return false;
  }
}

// Applies the application part of a type-table entry's encoding (relative
// to the entry itself, then indirect), as the runtime does: a zero entry
// stays null. False for encodings this reader cannot resolve.
bool resolve_type_entry(std::uint8_t enc, const std::uint8_t* entry, std::uint64_t raw,
                        std::uint64_t* out) {
  constexpr std::uint8_t kPcrel = 0x10, kIndirect = 0x80;
  if (raw == 0) {  // catch (...): null whatever the encoding
    *out = 0;
    return true;
  }
  switch (enc & 0x70) {
    case 0x00:
      break;
    case kPcrel:
      raw += reinterpret_cast<std::uintptr_t>(entry);
      break;
    default:
      return false;
  }
  if ((enc & kIndirect) && raw) std::memcpy(&raw, reinterpret_cast<const void*>(raw), sizeof raw);
  *out = raw;
  return true;
}

std::size_t encoded_size(std::uint8_t enc) {
  switch (enc & 0x0F) {
    case kEhUdata2:
    case kEhSdata2:
      return 2;
    case kEhUdata4:
    case kEhSdata4:
      return 4;
    case kEhAbsptr:
    case kEhUdata8:
    case kEhSdata8:
      return 8;
    default:
      return 0;
  }
}

// What the language-specific data of one frame says about a pc in it.
struct lsda_entry {
  bool has_lsda = false;
  bool covered = false;  // a call-site entry covers the pc
  bool readable = true;  // the data is in a format this reader knows
  bool any_landing_pad = false;  // some call-site entry has cleanups or handlers
  std::uint64_t landing_pad = 0;
  std::uint64_t action = 0;  // 1 + offset into the action table, 0 for none
  const std::uint8_t* actions = nullptr;
  const std::uint8_t* types = nullptr;  // the end of the type table
  std::uint8_t type_enc = kEhOmit;
};

lsda_entry lookup_lsda(_Unwind_Context* ctx, std::uintptr_t pc) {
  lsda_entry e;
  const auto* p = static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(ctx));
  if (!p) return e;
  e.has_lsda = true;
  std::uint64_t skipped;
  const std::uint8_t lpstart_enc = *p++;
  if (lpstart_enc != kEhOmit && !read_encoded(lpstart_enc, p, &skipped)) {
    e.readable = false;
    return e;
  }
  e.type_enc = *p++;
  if (e.type_enc != kEhOmit) {
    const std::uint64_t offset = read_uleb(p);
    e.types = p + offset;
  }
  const std::uint8_t cs_enc = *p++;
  const std::uint64_t cs_length = read_uleb(p);
  const std::uint8_t* const end = p + cs_length;
  e.actions = end;
  const std::uintptr_t region = _Unwind_GetRegionStart(ctx);
  while (p < end) {
    std::uint64_t start, length, landing_pad;
    if (!read_encoded(cs_enc, p, &start) || !read_encoded(cs_enc, p, &length) ||
        !read_encoded(cs_enc, p, &landing_pad)) {
      e.readable = false;
      return e;
    }
    const std::uint64_t action = read_uleb(p);
    if (landing_pad) e.any_landing_pad = true;
    if (e.covered || pc < region + start) continue;  // the table is sorted
    if (pc < region + start + length) {
      e.covered = true;
      e.landing_pad = landing_pad;
      e.action = action;
    }
  }
  return e;
}

// How a throw from `pc` in the frame of `ctx` would fare in that frame.
enum class throw_point {
  no_unwind_info,  // the runtime cannot unwind it at all
  throwable,       // no language-specific data, or a call-site entry covers pc
  uncovered,       // code built without -fnon-call-exceptions: the call-site
                   // table covers its calls (it has cleanups) but not pc
  forbidden,       // language-specific data with no cleanup or handler at
                   // all: it is there only to let nothing pass (noexcept)
};

// The personality routine calls std::terminate for a pc its call-site
// table does not cover, which is the case of the last two.
throw_point classify_throw_point(_Unwind_Context* ctx, std::uintptr_t pc) {
  dwarf_eh_bases bases;
  if (!_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases)) return throw_point::no_unwind_info;
  const lsda_entry e = lookup_lsda(ctx, pc);
  if (!e.has_lsda || e.covered || !e.readable) return throw_point::throwable;
  return e.any_landing_pad ? throw_point::uncovered : throw_point::forbidden;
}

// Whether the catch clause of type-table index `filter` takes an object of
// type `thrown` (null: unknown, taken by any clause). Unreadable entries
// count as taking it.
bool clause_takes(const lsda_entry& e, std::int64_t filter, const std::type_info* thrown) {
  const std::size_t size = encoded_size(e.type_enc);
  if (!e.types || !size) return true;
  const std::uint8_t* entry = e.types - static_cast<std::uint64_t>(filter) * size;
  const std::uint8_t* q = entry;
  std::uint64_t raw, address;
  if (!read_encoded(e.type_enc, q, &raw) || !resolve_type_entry(e.type_enc, entry, raw, &address))
    return true;
  if (!address || !thrown) return true;  // catch (...)
  const auto* clause = reinterpret_cast<const std::type_info*>(address);
  // The object is never read: the thrown classes derive without virtual
  // bases, so matching only adjusts the pointer.
  alignas(16) unsigned char object[16];
  void* adjusted = object;
  return clause->__do_catch(thrown, &adjusted, 1);
}

// What the search for a handler does in one frame, as the runtime's
// personality routine decides it.
enum class frame_verdict { pass, handler, terminate };

frame_verdict search_frame(_Unwind_Context* ctx, std::uintptr_t pc, const std::type_info* thrown) {
  const lsda_entry e = lookup_lsda(ctx, pc);
  if (!e.has_lsda || !e.readable) return frame_verdict::pass;
  if (!e.covered) return frame_verdict::terminate;
  if (!e.landing_pad || !e.action) return frame_verdict::pass;  // nothing, or cleanups only
  const std::uint8_t* p = e.actions + (e.action - 1);
  for (;;) {
    const auto filter = static_cast<std::int64_t>(read_leb(p, true));
    const std::uint8_t* const next_field = p;
    const auto next = static_cast<std::int64_t>(read_leb(p, true));
    // An exception specification (filter < 0) survives only as throw() in
    // code from before C++17, which lets nothing through.
    if (filter < 0) return frame_verdict::terminate;
    if (filter > 0 && clause_takes(e, filter, thrown)) return frame_verdict::handler;
    if (next == 0) return frame_verdict::pass;
    p = next_field + next;
  }
}

struct walk_state {
  const void** frames;
  std::size_t capacity;
  std::size_t count;
  const std::type_info* thrown;
  bool started = false;  // reached the interrupted frame
  bool decided = false;  // found the frame to throw from
  frame_verdict outcome = frame_verdict::pass;  // of the search from that frame
  unsigned depth = 0;    // frames examined since the interrupted one
  // Registers of the chosen frame when it is not the interrupted one.
  std::uintptr_t pc = 0, sp = 0;
  std::uintptr_t saved[6] = {};  // rbx, rbp, r12, r13, r14, r15
};

constexpr int kDwarfCalleeSaved[6] = {3, 6, 12, 13, 14, 15};

_Unwind_Reason_Code walk_frame(_Unwind_Context* ctx, void* arg) {
  auto* st = static_cast<walk_state*>(arg);
  int before_insn = 0;
  const std::uintptr_t ip = _Unwind_GetIPInfo(ctx, &before_insn);
  if (!st->started) {
    // The handler's own frames and the signal trampoline come first; the
    // interrupted frame is the one the unwinder marks as a signal frame.
    if (!before_insn) return _URC_NO_REASON;
    st->started = true;
  }
  // The interrupted frame's pc is already recorded by the caller.
  if (st->depth > 0 && st->count < st->capacity)
    st->frames[st->count++] = reinterpret_cast<const void*>(ip);
  if (!st->decided) {
    const std::uintptr_t pc = before_insn ? ip : ip - 1;  // inside the call for return addresses
    const throw_point point = classify_throw_point(ctx, pc);
    if (point == throw_point::forbidden) {
      st->decided = true;
      st->outcome = frame_verdict::terminate;
    } else if (point == throw_point::throwable) {
      st->decided = true;
      if (st->depth > 0) {
        // The runtime's unwinder hands each frame with the CFA of the frame
        // it was unwound from, the callee's: that is this frame's stack
        // pointer at its call (the CFA of this frame would be its caller's).
        st->pc = pc;
        st->sp = _Unwind_GetCFA(ctx);
        for (int i = 0; i < 6; ++i) st->saved[i] = _Unwind_GetGR(ctx, kDwarfCalleeSaved[i]);
      }
    }
  }
  if (st->decided && st->outcome == frame_verdict::pass) {
    st->outcome = search_frame(ctx, before_insn ? ip : ip - 1, st->thrown);
  }
  ++st->depth;
  if (st->decided && st->outcome != frame_verdict::pass && st->count == st->capacity)
    return _URC_END_OF_STACK;
  return _URC_NO_REASON;
}

}  // namespace

unwind_plan prepare_unwind(ucontext_t* uc, const void** frames, std::size_t capacity,
                           std::size_t* count, const std::type_info* thrown) {
  walk_state st{frames, capacity, *count, thrown};
  _Unwind_Backtrace(&walk_frame, &st);
  *count = st.count;
  if (!st.decided) return unwind_plan::no_frame;
  // The end of the stack without a handler ends in std::terminate as well.
  if (st.outcome != frame_verdict::handler) return unwind_plan::uncaught;
  if (st.sp) {
    greg_t* g = uc->uc_mcontext.gregs;
    g[REG_RIP] = static_cast<greg_t>(st.pc);
    g[REG_RSP] = static_cast<greg_t>(st.sp);
    const int regs[6] = {REG_RBX, REG_RBP, REG_R12, REG_R13, REG_R14, REG_R15};
    for (int i = 0; i < 6; ++i) g[regs[i]] = static_cast<greg_t>(st.saved[i]);
  }
  return unwind_plan::caught;
}

bool pop_bad_call(ucontext_t* uc, std::uintptr_t* return_address) {
  greg_t* g = uc->uc_mcontext.gregs;
  const auto sp = static_cast<std::uintptr_t>(g[REG_RSP]);
  std::uintptr_t ret;
  std::memcpy(&ret, reinterpret_cast<const void*>(sp), sizeof ret);
  dwarf_eh_bases bases;
  if (!_Unwind_Find_FDE(reinterpret_cast<void*>(ret - 1), &bases)) return false;
  // A signal frame's pc is taken as the faulting instruction itself; point
  // into the call so the pc lies in the caller's call-site range.
  g[REG_RIP] = static_cast<greg_t>(ret - 1);
  g[REG_RSP] = static_cast<greg_t>(sp + sizeof ret);  // NOLINT(bugprone-misplaced-widening-cast): both 64 bits
  *return_address = ret;
  return true;
}

}  // namespace krCore::detail
