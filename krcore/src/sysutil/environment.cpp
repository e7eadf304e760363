// The process environment helpers: component-runtime initialisation for a
// scope, the executable's path, the system directory, the message box and
// the debugger prompt, the byte-order test and the narrow-into-wide stream
// operators.
#include <krcore/sysutil.h>

#include <boost/lexical_cast.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "sysutil/environment.h"
#include "foundation/process_calls.h"
#include "logging/logsink.h"

namespace krCore {
namespace {

constexpr const char kAttachTimeoutVariable[] = "KRCORE_ATTACH_TIMEOUT_MS";
constexpr unsigned long kDefaultAttachTimeoutMs = 60000;
// A week: far beyond any wait for a person, far within the clock's range.
constexpr unsigned long kLongestAttachTimeoutMs = 7ul * 24 * 3600 * 1000;

// An HRESULT or flag word as the runtime's diagnostics print it: 32 bits,
// lower-case hexadecimal, no leading zeros.
std::wstring hex32(unsigned long value) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"%lx", value & 0xFFFFFFFFul);
  return buf;
}

// The last element of the executable's path.
std::wstring executable_file_name() {
  const std::wstring path = getmodulepath(true);
  return path.substr(path.find_last_of(detail::kPathSeparators) + 1);
}

// The answer to a box that nobody is asked: the button the box declares as
// its default (MB_DEFBUTTON2 or MB_DEFBUTTON3, when the set has that many),
// otherwise the button that changes nothing, so that "Delete all data?" is
// never answered yes on nobody's behalf.
int unasked_result(unsigned long flags) {
  struct ButtonSet {
    int buttons[3];
    int safe;
  };
  static const ButtonSet kSets[] = {
      {{IDOK}, IDOK},                                  // MB_OK
      {{IDOK, IDCANCEL}, IDCANCEL},                    // MB_OKCANCEL
      {{IDABORT, IDRETRY, IDIGNORE}, IDABORT},         // MB_ABORTRETRYIGNORE
      {{IDYES, IDNO, IDCANCEL}, IDCANCEL},             // MB_YESNOCANCEL
      {{IDYES, IDNO}, IDNO},                           // MB_YESNO
      {{IDRETRY, IDCANCEL}, IDCANCEL},                 // MB_RETRYCANCEL
      {{IDCANCEL, IDTRYAGAIN, IDCONTINUE}, IDCANCEL},  // MB_CANCELTRYCONTINUE
  };
  const unsigned long set = flags & 0xF;
  if (set >= sizeof kSets / sizeof kSets[0]) return IDCANCEL;
  const unsigned long n = (flags >> 8) & 0xF;  // 0: no default declared
  const int declared = n > 0 && n < 3 ? kSets[set].buttons[n] : 0;
  return declared != 0 ? declared : kSets[set].safe;
}

}  // namespace

namespace detail {

unsigned long attach_timeout_ms() {
  const char* value = detail::library_setting(kAttachTimeoutVariable);
  if (!value) return kDefaultAttachTimeoutMs;
  long long ms = 0;
  if (!boost::conversion::try_lexical_convert(value, ms)) {
    // All digits and still no number: beyond the range, so the longest.
    const std::size_t length = std::strlen(value);
    const bool digits = length > 0 && std::strspn(value, "0123456789") == length;
    return digits ? kLongestAttachTimeoutMs : kDefaultAttachTimeoutMs;
  }
  if (ms < 0) return kDefaultAttachTimeoutMs;
  return static_cast<unsigned long>(std::min<long long>(ms, kLongestAttachTimeoutMs));
}

}  // namespace detail

// ---------------------------------------------------------------------------
// ComInitialize
// ---------------------------------------------------------------------------

ComInitialize::ComInitialize(bool initSecurity, unsigned long coinit)
    : _hr(Init(initSecurity, coinit, 0, 0)) {}

ComInitialize::ComInitialize(bool initSecurity, unsigned long coinit, unsigned long authLevel,
                             unsigned long impLevel)
    : _hr(Init(initSecurity, coinit, authLevel, impLevel)) {}

// Undoes one initialisation even when this object's own failed, as the
// runtime's callers traditionally do; the count of the thread says which.
ComInitialize::~ComInitialize() { detail::com_uninitialize_thread(); }

long ComInitialize::Init(bool initSecurity, unsigned long coinit, unsigned long authLevel,
                         unsigned long impLevel) {
  long hr = detail::com_initialize_thread(coinit);
  if (hr < 0 && detail::log_enabled(detail::kLogError)) {
    detail::log_entry(detail::kLogError, L"CoInitializeEx call [0x" + hex32(coinit) +
                                             L"] failed, return value = [0x" + hex32(hr) + L"]");
  }
  if (initSecurity) {
    hr = detail::com_initialize_security(authLevel, impLevel);
    if (hr < 0 && detail::log_enabled(detail::kLogError)) {
      detail::log_entry(detail::kLogError, L"CoInitializeSecurity call failed, AuthLevel [" +
                                               std::to_wstring(authLevel) + L"], ImpLevel [" +
                                               std::to_wstring(impLevel) +
                                               L"], return value = [0x" + hex32(hr) + L"]");
    }
  }
  return hr;
}

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------

std::wstring getmodulepath(bool full) {
  unsigned long error = 0;
  std::wstring path = detail::executable_path(error);
  if (error != 0) throw krException(error, " getmodulepath::GetModuleFileName failed", 4);
  if (!full) {
    const std::size_t slash = path.find_last_of(detail::kPathSeparators);
    path.resize(slash == std::wstring::npos ? 0 : slash);
  }
  return path;
}

std::wstring getwindowsdirectory() {
  unsigned long error = 0;
  std::wstring path = detail::system_directory(error);
  if (error != 0) throw krException(error, "krCore::getwindowsdirectory() failed", 4);
  return path;
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

int ShowMessage(const std::wstring& text, const std::wstring& title, unsigned long flags) {
  flags |= MB_SERVICE_NOTIFICATION;
  const std::wstring shown = title.empty() ? executable_file_name() : title;
  int result = detail::present_message(text, shown, flags);
  if (result != 0) return result;
  // Where no answer can be read back, a box that offers a choice is
  // answered on nobody's behalf; the log says so, and which answer was given.
  result = unasked_result(flags);
  if ((flags & 0xF) != MB_OK && detail::log_enabled(detail::kLogWarning)) {
    detail::log_entry(detail::kLogWarning, L"ShowMessage: nobody was asked \"" + shown + L": " +
                                               text + L"\"; answered " + std::to_wstring(result));
  }
  return result;
}

int AttachMessageBox(const std::wstring& name) {
  const std::wstring text = L"PID [" + std::to_wstring(detail::current_process_id()) + L"] - " +
                            (name.empty() ? executable_file_name() : name);
  const int result = ShowMessage(text, L"Attach Debugger Now", MB_ICONINFORMATION);
  // The box stays up until someone answers; here the answer is the debugger
  // arriving (or the time-out).
  detail::wait_for_debugger(detail::attach_timeout_ms());
  return result;
}

bool is_little_endian() {
  const std::uint16_t value = 10;
  unsigned char first;
  std::memcpy(&first, &value, 1);
  return first == 10;
}

}  // namespace krCore

std::wostream& operator<<(std::wostream& stream, const std::string& text) {
  return stream << krCore::convertstringtowstring(text);
}

std::wostream& operator<<(std::wostream& stream, const char* text) {
  if (!text) return stream;
  return stream << krCore::convertstringtowstring(text);
}
