// Internal: the machine key helper, a small set-user-ID-root program
// installed with the library, which protects and unprotects for accounts
// that may not read the machine key.
//
// The installed key file is root's and readable by root alone, so no
// account can copy the key off the machine; every account can still use
// machine-scope protection, as every account on the system can use its
// machine scope, by handing the bytes to the helper. The helper reads one
// request on its standard input and answers on its standard output (one
// socket for both), each a fixed header followed by the bytes:
//   request:  "KRKH", version 1, op ('P' protect, 'U' unprotect), 2 zero
//             bytes, the entropy's size, the data's size (little-endian
//             32-bit), then the entropy and the data;
//   answer:   "KRKH", the Win32 code (0 on success), the result's size,
//             then the result.
// Sizes above kHelperMaxData are refused on both sides before anything is
// allocated for them.
#pragma once

#include <krcore/wintypes.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

constexpr unsigned char kHelperMagic[4] = {'K', 'R', 'K', 'H'};
constexpr unsigned char kHelperVersion = 1;
constexpr char kHelperProtect = 'P';
constexpr char kHelperUnprotect = 'U';
constexpr std::size_t kHelperRequestHeader = 16;
constexpr std::size_t kHelperAnswerHeader = 12;
constexpr std::size_t kHelperMaxData = 64u << 20;

inline void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline std::uint32_t get_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The helper this process runs: KRCORE_KEY_HELPER when set (never in a
// process started with raised rights), else the installed program.
KRCORE_INTERNAL std::string key_helper_path();

// Has the helper protect (`op` kHelperProtect) or unprotect `in` with
// `entropy` (may be null) and puts the result in a new local-memory block in
// `out` (the caller wipes and frees it). Returns 0 or the Win32 code: the
// helper's own answer (the codes of the protect/unprotect pair), 8 when a
// size is over kHelperMaxData, 5 when the helper cannot be run or gives no
// well-formed answer (reported on the debugger output, naming the helper
// and `key_file`). Waits at most 30 seconds for the helper, then ends it;
// the calling thread is not ended by force meanwhile. Thread-safe; holds no
// lock while the helper runs.
KRCORE_INTERNAL unsigned long run_key_helper(char op, const DATA_BLOB* in, const DATA_BLOB* entropy,
                                             const std::string& key_file, DATA_BLOB* out);

}  // namespace krCore::detail
