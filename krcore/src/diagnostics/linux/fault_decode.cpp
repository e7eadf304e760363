// Decoding of fault signals into fault records (see fault_decode.h).
//
// The kernel reports a few distinct faults through one signal code: a
// division error is FPE_INTDIV for both a zero divisor and a quotient that
// does not fit (INT_MIN / -1); a privileged instruction is a general
// protection fault, SIGSEGV with SI_KERNEL, like an access to a
// non-canonical address; a denormal operand is reported as an underflow.
// Those are told apart from the instruction and the floating-point status.
#include "diagnostics/linux/fault_decode.h"

#include <cstring>

namespace krCore::detail {
namespace {

constexpr unsigned int kAccessViolation = 0xC0000005;
constexpr unsigned int kInPageError = 0xC0000006;
constexpr unsigned int kIllegalInstruction = 0xC000001D;
constexpr unsigned int kStackOverflow = 0xC00000FD;
constexpr unsigned int kDatatypeMisalignment = 0x80000002;
constexpr unsigned int kBreakpoint = 0x80000003;
constexpr unsigned int kSingleStep = 0x80000004;
constexpr unsigned int kArrayBoundsExceeded = 0xC000008C;
constexpr unsigned int kFltDenormal = 0xC000008D;
constexpr unsigned int kFltDivideByZero = 0xC000008E;
constexpr unsigned int kFltInexact = 0xC000008F;
constexpr unsigned int kFltInvalid = 0xC0000090;
constexpr unsigned int kFltOverflow = 0xC0000091;
constexpr unsigned int kFltStackCheck = 0xC0000092;
constexpr unsigned int kFltUnderflow = 0xC0000093;
constexpr unsigned int kIntDivideByZero = 0xC0000094;
constexpr unsigned int kIntOverflow = 0xC0000095;
constexpr unsigned int kPrivInstruction = 0xC0000096;

// Information word 0 of access faults.
constexpr std::uintptr_t kRead = 0, kWrite = 1, kExecute = 8;

// Page-fault error code bits the kernel saves in the context.
constexpr unsigned long kPfWrite = 1ul << 1, kPfInstr = 1ul << 4;

// Hardware exception vectors (REG_TRAPNO).
constexpr long kTrapX87 = 16, kTrapSimd = 19;

std::uint64_t greg(const ucontext_t* uc, int r) {
  return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[r]);
}

// The saved register for an x86 register number (0 = rax ... 15 = r15).
std::uint64_t gpr(const ucontext_t* uc, unsigned n) {
  static constexpr int kMap[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                   REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                   REG_R12, REG_R13, REG_R14, REG_R15};
  return greg(uc, kMap[n & 15]);
}

// The instruction at `ip` past its legacy and REX prefixes.
struct insn {
  const std::uint8_t* op = nullptr;
  unsigned rex = 0;
  bool opsize16 = false;
  bool rep = false;  // F3, which also selects an instruction of the 0F map
  bool segment = false;  // fs/gs override: its base is not in the context
};

insn skip_prefixes(std::uintptr_t ip) {
  insn in;
  const auto* p = reinterpret_cast<const std::uint8_t*>(ip);
  for (int i = 0; i < 14; ++i, ++p) {
    const std::uint8_t b = *p;
    if (b == 0x66) {
      in.opsize16 = true;
    } else if (b == 0x64 || b == 0x65) {
      in.segment = true;
    } else if (b == 0xF3) {
      in.rep = true;
    } else if (b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0x2E || b == 0x36 ||
               b == 0x3E || b == 0x26) {
    } else if ((b & 0xF0) == 0x40) {
      in.rex = b;  // REX must be the last prefix
      ++p;
      break;
    } else {
      break;
    }
  }
  in.op = p;
  return in;
}

// For a division error: true when the divisor of the faulting DIV/IDIV is
// non-zero, i.e. the quotient overflowed. False when it is zero or the
// operand cannot be read from the context.
bool divisor_nonzero(const ucontext_t* uc) {
  const insn in = skip_prefixes(greg(uc, REG_RIP));
  const std::uint8_t* p = in.op;
  if (in.segment || (p[0] != 0xF6 && p[0] != 0xF7)) return false;
  const unsigned modrm = p[1], mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
  if (reg != 6 && reg != 7) return false;
  const unsigned rex_w = (in.rex >> 3) & 1, rex_x = (in.rex >> 1) & 1, rex_b = in.rex & 1;
  const unsigned size = p[0] == 0xF6 ? 1 : rex_w ? 8 : in.opsize16 ? 2 : 4;

  std::uint64_t value = 0;
  if (mod == 3) {
    if (size == 1 && !in.rex && rm >= 4) {
      value = gpr(uc, rm - 4) >> 8;  // ah, ch, dh, bh
    } else {
      value = gpr(uc, rm | (rex_b << 3));
    }
  } else {
    const std::uint8_t* q = p + 2;
    std::uint64_t addr = 0;
    if (rm == 4) {
      const unsigned sib = *q++, scale = sib >> 6, index = ((sib >> 3) & 7) | (rex_x << 3);
      const unsigned base = (sib & 7) | (rex_b << 3);
      if (index != 4) addr += gpr(uc, index) << scale;
      if ((sib & 7) == 5 && mod == 0) {
        std::int32_t disp;
        std::memcpy(&disp, q, 4);
        q += 4;
        addr += static_cast<std::uint64_t>(static_cast<std::int64_t>(disp));
      } else {
        addr += gpr(uc, base);
      }
    } else if (rm == 5 && mod == 0) {
      std::int32_t disp;
      std::memcpy(&disp, q, 4);
      q += 4;  // DIV/IDIV take no immediate, so the next instruction starts here
      addr = reinterpret_cast<std::uint64_t>(q) + static_cast<std::int64_t>(disp);
    } else {
      addr = gpr(uc, rm | (rex_b << 3));
    }
    if (mod == 1) {
      addr += static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int8_t>(*q)));
    } else if (mod == 2) {
      std::int32_t disp;
      std::memcpy(&disp, q, 4);
      addr += static_cast<std::uint64_t>(static_cast<std::int64_t>(disp));
    }
    // The division already read this operand, so reading it cannot fault.
    std::memcpy(&value, reinterpret_cast<const void*>(addr), size);
  }
  if (size < 8) value &= (std::uint64_t{1} << (size * 8)) - 1;
  return value != 0;
}

// True when the instruction at `ip` is one that only the kernel may run
// (user mode gets a general protection fault for it).
bool is_privileged(std::uintptr_t ip) {
  const std::uint8_t* p = skip_prefixes(ip).op;
  switch (p[0]) {
    case 0xF4:  // hlt
    case 0xFA:  // cli
    case 0xFB:  // sti
    case 0xE4:
    case 0xE5:
    case 0xE6:
    case 0xE7:  // in/out imm8
    case 0xEC:
    case 0xED:
    case 0xEE:
    case 0xEF:  // in/out dx
    case 0x6C:
    case 0x6D:
    case 0x6E:
    case 0x6F:  // ins/outs
      return true;
    case 0x0F:
      break;
    default:
      return false;
  }
  const unsigned reg = (p[2] >> 3) & 7;
  switch (p[1]) {
    case 0x00:
      return reg == 2 || reg == 3;  // lldt, ltr
    case 0x01:
      return reg == 2 || reg == 3 || reg == 6 || reg == 7;  // lgdt, lidt, lmsw, invlpg
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:  // clts, sysret, invd, wbinvd
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x23:  // mov cr/dr
    case 0x30:
    case 0x32:
    case 0x35:  // wrmsr, rdmsr, sysexit
      return true;
    default:
      return false;
  }
}

// True when a 48-bit virtual address is canonical (bits 63..47 equal).
bool canonical(std::uint64_t a) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(a << 16) >> 16) == a;
}

// Whether an instruction of the 0F, 0F38 or 0F3A opcode maps (legacy, VEX
// or EVEX encoded; `pp` is the implied 66/F3/F2 prefix: 1, 2, 3) writes
// its memory operand.
bool map_insn_writes(unsigned map, std::uint8_t op, unsigned reg, unsigned pp, bool legacy) {
  if (map == 2) return op == 0x2E || op == 0x2F || op == 0x8A || op == 0x8B || op == 0x8E;
  if (map == 3) return (op >= 0x14 && op <= 0x17) || op == 0x19 || op == 0x1D || op == 0x39;
  if (map != 1) return false;
  switch (op) {
    case 0x11:  // movups/movupd/movss/movsd m, xmm
    case 0x13:
    case 0x17:  // movlps/movhps m, xmm
    case 0x29:
    case 0x2B:  // movaps m, xmm; movntps
    case 0x7F:  // movq/movdqa/movdqu m, xmm
    case 0xD6:  // movq m64, xmm
    case 0xE7:  // movntq/movntdq
      return true;
    case 0x7E:  // movd/movq r/m, xmm; with F3 the load movq xmm, m64
      return pp != 2;
    default:
      break;
  }
  if (!legacy) return false;  // the VEX forms of the rest are mask-register ops
  if (op >= 0x90 && op <= 0x9F) return true;  // setcc
  switch (op) {
    case 0xAB:
    case 0xB3:
    case 0xBB:  // bts, btr, btc
    case 0xA4:
    case 0xA5:
    case 0xAC:
    case 0xAD:  // shld, shrd
    case 0xB0:
    case 0xB1:  // cmpxchg
    case 0xC0:
    case 0xC1:  // xadd
    case 0xC3:  // movnti
      return true;
    case 0xBA:
      return reg >= 5;  // bts/btr/btc imm (bt reads)
    case 0xC7:
      return reg == 1;  // cmpxchg8b/16b
    case 0xAE:
      return reg == 0 || reg == 3 || reg == 4 || reg == 6;  // fxsave, stmxcsr, xsave, xsaveopt
    default:
      return false;
  }
}

// True when the instruction at the fault writes memory: a store or a
// read-modify-write. A general protection fault (an access through a
// non-canonical address) reports no access kind, so it is read off the
// instruction; the integer, x87 store, SSE/AVX move and string instructions
// that compilers and the C library emit are known, anything else counts as
// a read.
bool writes_memory(const ucontext_t* uc) {
  const insn in = skip_prefixes(greg(uc, REG_RIP));
  const std::uint8_t* p = in.op;
  const std::uint8_t op = p[0];
  if (op == 0xC5) return map_insn_writes(1, p[2], (p[3] >> 3) & 7, p[1] & 3, false);   // VEX2
  if (op == 0xC4) return map_insn_writes(p[1] & 0x1F, p[3], (p[4] >> 3) & 7, p[2] & 3, false);
  if (op == 0x62) return map_insn_writes(p[1] & 7, p[4], (p[5] >> 3) & 7, p[2] & 3, false);
  if (op == 0x0F) {
    const unsigned pp = in.opsize16 ? 1u : 0u;
    if (p[1] == 0x38) return map_insn_writes(2, p[2], (p[3] >> 3) & 7, pp, true);
    if (p[1] == 0x3A) return map_insn_writes(3, p[2], (p[3] >> 3) & 7, pp, true);
    return map_insn_writes(1, p[1], (p[2] >> 3) & 7, in.rep ? 2 : pp, true);
  }
  const unsigned reg = (p[1] >> 3) & 7;
  if (op < 0x40 && (op & 7) <= 1) return (op & 0xF8) != 0x38;  // alu r/m, r (cmp reads)
  switch (op) {
    case 0x80:
    case 0x81:
    case 0x83:
      return reg != 7;  // alu r/m, imm (cmp reads)
    case 0x86:
    case 0x87:  // xchg
    case 0x88:
    case 0x89:
    case 0x8C:  // mov r/m, r; mov r/m, sreg
    case 0x8F:  // pop r/m
    case 0xA2:
    case 0xA3:  // mov moffs, al/eax
    case 0xAA:
    case 0xAB:  // stos
    case 0xC0:
    case 0xC1:
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:  // shifts and rotates
    case 0xC6:
    case 0xC7:  // mov r/m, imm
      return true;
    case 0xA4:
    case 0xA5:  // movs: whichever of its two addresses is the bad one
      return !canonical(greg(uc, REG_RDI));
    case 0xF6:
    case 0xF7:
      return reg == 2 || reg == 3;  // not, neg
    case 0xFE:
    case 0xFF:
      return reg <= 1;  // inc, dec
    case 0xD9:
      return reg == 2 || reg == 3 || reg >= 6;  // fst, fstp, fnstenv, fnstcw
    case 0xDB:
      return reg == 1 || reg == 2 || reg == 3 || reg == 7;  // fisttp, fist, fistp, fstp m80
    case 0xDD:  // fisttp, fst, fstp, fnsave, fnstsw
    case 0xDF:  // fisttp, fist, fistp, fbstp, fistp m64
      return (reg >= 1 && reg <= 3) || reg >= 6;
    default:
      return false;
  }
}

// The floating-point code from the unmasked exception flags of the unit
// that trapped; falls back to the kernel's signal code.
unsigned int float_code(const siginfo_t* info, const ucontext_t* uc) {
  unsigned pending = 0;
  bool x87_stack_fault = false;
  if (const auto* fp = uc->uc_mcontext.fpregs) {
    const unsigned simd = fp->mxcsr & 0x3F & ~((fp->mxcsr >> 7) & 0x3F);
    const unsigned x87 = fp->swd & 0x3F & ~(fp->cwd & 0x3F);
    const long trapno = uc->uc_mcontext.gregs[REG_TRAPNO];
    pending = trapno == kTrapSimd ? simd : trapno == kTrapX87 ? x87 : (simd | x87);
    x87_stack_fault = trapno != kTrapSimd && (x87 & 0x01) && (fp->swd & 0x40);
  }
  if (pending & 0x01) return x87_stack_fault ? kFltStackCheck : kFltInvalid;
  if (pending & 0x04) return kFltDivideByZero;
  if (pending & 0x08) return kFltOverflow;
  if (pending & 0x10) return kFltUnderflow;
  if (pending & 0x02) return kFltDenormal;
  if (pending & 0x20) return kFltInexact;
  switch (info->si_code) {
    case FPE_FLTDIV:
      return kFltDivideByZero;
    case FPE_FLTOVF:
      return kFltOverflow;
    case FPE_FLTUND:
      return kFltUnderflow;
    case FPE_FLTRES:
      return kFltInexact;
    case FPE_FLTSUB:
      return kArrayBoundsExceeded;
    default:
      return kFltInvalid;
  }
}

// A fault just below the stack pointer, at the low end of the thread's
// stack, is the stack running out (a push, a call or a probe of a new frame).
bool is_stack_overflow(std::uintptr_t addr, std::uintptr_t sp, const stack_bounds& stack) {
  constexpr std::uintptr_t kNearSp = std::uintptr_t{64} * 1024,
                           kGuardReach = std::uintptr_t{1024} * 1024;
  if (addr + kNearSp < sp || addr > sp + 4096) return false;
  if (!stack.lo) return true;
  return addr < stack.lo + kNearSp && addr + kGuardReach >= stack.lo;
}

void set_access(fault_facts* out, unsigned int code, std::uintptr_t kind, std::uintptr_t addr) {
  out->code = code;
  out->info[0] = kind;
  out->info[1] = addr;
  out->info_count = 2;
  out->execute = kind == kExecute;
}

}  // namespace

bool decode_fault(int sig, const siginfo_t* info, const ucontext_t* uc, const stack_bounds& stack,
                  fault_facts* out) {
  const std::uintptr_t ip = greg(uc, REG_RIP);
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const unsigned long err = static_cast<unsigned long>(greg(uc, REG_ERR));
  const std::uintptr_t kind = (err & kPfInstr) || addr == ip ? kExecute
                              : (err & kPfWrite)             ? kWrite
                                                             : kRead;
  out->address = ip;
  switch (sig) {
    case SIGSEGV:
      if (info->si_code == SI_KERNEL) {
        // A general protection fault: no address is reported.
        if (is_privileged(ip)) {
          out->code = kPrivInstruction;
        } else {
          set_access(out, kAccessViolation, writes_memory(uc) ? kWrite : kRead,
                     ~std::uintptr_t{0});
        }
        return true;
      }
      if (kind != kExecute && is_stack_overflow(addr, greg(uc, REG_RSP), stack)) {
        set_access(out, kStackOverflow, kWrite, addr);
        out->execute = false;
        return true;
      }
      set_access(out, kAccessViolation, kind, addr);
      return true;
    case SIGBUS:
      if (info->si_code == BUS_ADRALN) {
        out->code = kDatatypeMisalignment;
      } else {
        set_access(out, kInPageError, kind, addr);
      }
      return true;
    case SIGFPE:
      if (info->si_code == FPE_INTDIV) {
        out->code = divisor_nonzero(uc) ? kIntOverflow : kIntDivideByZero;
      } else if (info->si_code == FPE_INTOVF) {
        out->code = kIntOverflow;
      } else {
        out->code = float_code(info, uc);
      }
      return true;
    case SIGILL:
      out->code = info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG ? kPrivInstruction
                                                                             : kIllegalInstruction;
      return true;
    case SIGTRAP:
      if (info->si_code == TRAP_BRKPT || info->si_code == SI_KERNEL) {
        // The saved instruction pointer is past the trap instruction; report
        // the trap itself (int3, or the two-byte int 3).
        const auto* p = reinterpret_cast<const std::uint8_t*>(ip);
        out->code = kBreakpoint;
        if (p[-1] == 0xCC) {
          out->address = ip - 1;
        } else if (p[-2] == 0xCD && p[-1] == 0x03) {
          out->address = ip - 2;
        }
      } else {
        out->code = kSingleStep;
      }
      return true;
    default:
      return false;
  }
}

}  // namespace krCore::detail
