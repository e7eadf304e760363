// Data protection on Windows: not available yet.
//
// Protecting and unprotecting secrets fail here with
// ERROR_CALL_NOT_IMPLEMENTED, saying once on the debugger output that it is
// missing. Wiping a secret is the system's own SecureZeroMemory, which the
// compiler may not leave out.
#include <atomic>

#include "foundation/windows/not_available.h"
#include "protection/data_protection.h"

namespace krCore::detail {

namespace {
std::atomic<bool> g_reported{false};
}  // namespace

void wipe_secret(void* data, std::size_t size) {
  if (data) ::SecureZeroMemory(data, size);
}

BOOL CryptProtectData(const DATA_BLOB*, const wchar_t*, const DATA_BLOB*, void*, void*, DWORD,
                      DATA_BLOB* out) {
  if (out) *out = DATA_BLOB{};
  not_available(g_reported, L"data protection");
  return FALSE;
}

BOOL CryptUnprotectData(const DATA_BLOB*, wchar_t** description, const DATA_BLOB*, void*, void*,
                        DWORD, DATA_BLOB* out) {
  if (description) *description = nullptr;
  if (out) *out = DATA_BLOB{};
  not_available(g_reported, L"data protection");
  return FALSE;
}

}  // namespace krCore::detail
