// Stack walking for fault translation (see fault_unwind.h).
//
// The walk runs on the alternate signal stack with the unwinder of the C++
// runtime (_Unwind_Backtrace), so it sees the same frames, unwind tables and
// language-specific data the throw will use. It must never be linked
// against another unwinder: that would split the two.
#include "diagnostics/linux/fault_unwind.h"

#include <unwind.h>

#include <cstring>

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

// True when the C++ runtime can unwind the frame of `ctx` from `pc` without
// terminating: the frame has unwind information, and either no
// language-specific data (nothing to run there) or a call-site entry that
// covers `pc`. The personality routine calls std::terminate for a pc its
// call-site table does not cover, which is exactly the case of a fault in
// code built without -fnon-call-exceptions.
bool can_throw_from(_Unwind_Context* ctx, std::uintptr_t pc) {
  dwarf_eh_bases bases;
  if (!_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases)) return false;
  const auto* p = static_cast<const std::uint8_t*>(_Unwind_GetLanguageSpecificData(ctx));
  if (!p) return true;
  std::uint64_t skipped;
  const std::uint8_t lpstart_enc = *p++;
  if (lpstart_enc != kEhOmit && !read_encoded(lpstart_enc, p, &skipped)) return true;
  const std::uint8_t ttype_enc = *p++;
  if (ttype_enc != kEhOmit) read_uleb(p);
  const std::uint8_t cs_enc = *p++;
  const std::uint64_t cs_length = read_uleb(p);
  const std::uint8_t* const end = p + cs_length;
  const std::uintptr_t region = _Unwind_GetRegionStart(ctx);
  while (p < end) {
    std::uint64_t start, length, landing_pad;
    if (!read_encoded(cs_enc, p, &start) || !read_encoded(cs_enc, p, &length) ||
        !read_encoded(cs_enc, p, &landing_pad)) {
      return true;  // unknown format: leave the decision to the runtime
    }
    read_uleb(p);                           // action
    if (pc < region + start) return false;  // the table is sorted
    if (pc < region + start + length) return true;
  }
  return false;
}

struct walk_state {
  const void** frames;
  std::size_t capacity;
  std::size_t count;
  bool started = false;  // reached the interrupted frame
  bool decided = false;  // found the frame to throw from
  unsigned depth = 0;    // frames examined since the interrupted one
  std::uintptr_t prev_cfa = 0;
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
    if (can_throw_from(ctx, pc)) {
      st->decided = true;
      if (st->depth > 0) {
        st->pc = pc;
        st->sp = st->prev_cfa;
        for (int i = 0; i < 6; ++i) st->saved[i] = _Unwind_GetGR(ctx, kDwarfCalleeSaved[i]);
      }
    }
  }
  ++st->depth;
  st->prev_cfa = _Unwind_GetCFA(ctx);
  if (st->decided && st->count == st->capacity) return _URC_END_OF_STACK;
  return _URC_NO_REASON;
}

}  // namespace

bool prepare_unwind(ucontext_t* uc, const void** frames, std::size_t capacity, std::size_t* count) {
  walk_state st{frames, capacity, *count};
  _Unwind_Backtrace(&walk_frame, &st);
  *count = st.count;
  if (!st.decided) return false;
  if (st.sp) {
    greg_t* g = uc->uc_mcontext.gregs;
    g[REG_RIP] = static_cast<greg_t>(st.pc);
    g[REG_RSP] = static_cast<greg_t>(st.sp);
    const int regs[6] = {REG_RBX, REG_RBP, REG_R12, REG_R13, REG_R14, REG_R15};
    for (int i = 0; i < 6; ++i) g[regs[i]] = static_cast<greg_t>(st.saved[i]);
  }
  return true;
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
