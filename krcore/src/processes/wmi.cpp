// The management-query runner and the three queries built on it (boot time,
// up-time, the process list), and the date-time text of a past moment.
//
// The runner keeps the steps of a component-based query client: the
// component stand-in and its security set-up for the call, a query in the
// "WQL" language with the forward-only flag, and a loop that hands each
// object to the handler until the results end or the handler stops it.
#include <krcore/processes.h>
#include <krcore/sysutil.h>

#include <chrono>
#include <cwchar>

#include "foundation/errors.h"
#include "processes/proc_log.h"
#include "processes/process_table.h"
#include "processes/wql.h"

namespace krCore {

using namespace detail;

namespace {

constexpr long kFail = static_cast<long>(static_cast<int>(0x80004005u));
constexpr long kTooLate = static_cast<long>(static_cast<int>(0x80010119u));
constexpr unsigned long kApartment = COINIT_APARTMENTTHREADED;

const std::wstring kRunner = L"krCore::ExecuteWmiQuery - ";

void log_failure(const wchar_t* step, long code) {
  log_if(kLogError, [&] {
    return kRunner + step + L" failed. Error Code: " + std::to_wstring(code);
  });
}

// Reads one property of a result object into `value` (cleared by the
// caller); logs the handler's failure under `handler` (its function name).
long get_property(CComPtr<IWbemClassObject>& object, const wchar_t* property, VARIANT& value,
                  const wchar_t* handler) {
  VariantInit(&value);
  const long hr = object->Get(property, 0, &value, nullptr, nullptr);
  if (hr != 0)
    log_if(kLogError, [&] {
      return std::wstring(handler) + L" - pWmiObject->Get(" + property +
             L") failed. Error Code: " + std::to_wstring(hr);
    });
  return hr;
}

}  // namespace

// The handler is taken by value: that is the exported signature.
long ExecuteWmiQuery(const std::wstring& query,
                     std::function<std::pair<long, bool>(CComPtr<IWbemClassObject>&)> handler,  // NOLINT(performance-unnecessary-value-param)
                     unsigned long coInitFlags, unsigned long authnLevel, unsigned long impLevel) {
  log_if(kLogVerbose, [&] { return kRunner + L"query [" + query + L"]"; });
  if (!handler) {
    log_if(kLogError, [] { return kRunner + L"function was not provided"; });
    return kFail;
  }
  ComInitialize com(true, coInitFlags, authnLevel, impLevel);
  const long security = com.ErrorCode();
  if (security == kTooLate) {
    log_if(kLogError, [&] {
      return kRunner + L"CoInitializeSecurity failed but can continue. Error Code: 0x" +
             hex_text(static_cast<unsigned int>(security));
    });
  } else if (security < 0) {
    log_failure(L"CoInitializeSecurity", security);
    return security;
  }
  CComPtr<IEnumWbemClassObject> results;
  if (const long hr = exec_wql(L"WQL", query, WBEM_FLAG_FORWARD_ONLY, &results)) {
    log_failure(L"ExecQuery", hr);
    return hr;
  }
  for (;;) {
    CComPtr<IWbemClassObject> object;
    unsigned long returned = 0;
    const long hr = results->Next(WBEM_INFINITE, 1, &object, &returned);
    if (hr == WBEM_S_FALSE || returned == 0) break;
    if (hr != 0) {
      log_failure(L"pEnum->Next", hr);
      return hr;
    }
    const std::pair<long, bool> outcome = handler(object);
    if (outcome.first != 0) {
      log_failure(L"function(pWmiObject)", outcome.first);
      return outcome.first;
    }
    if (!outcome.second) break;
  }
  return 0;
}

long GetLastBootUpTime(std::wstring& text) {
  static const wchar_t* const kHandler = L"krCore::GetLastBootUpTime::operator ()";
  return ExecuteWmiQuery(
      L"Select LastBootUpTime From Win32_OperatingSystem",
      [&text](CComPtr<IWbemClassObject>& object) {
        VARIANT value;
        const long hr = get_property(object, L"LastBootUpTime", value, kHandler);
        text.clear();
        if (hr == 0 && value.vt == VT_BSTR && value.bstrVal) text = value.bstrVal;
        VariantClear(&value);
        return std::make_pair(hr, false);
      },
      kApartment, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE);
}

long GetSystemUpTime(unsigned long long& seconds) {
  static const wchar_t* const kHandler = L"krCore::GetSystemUpTime::operator ()";
  return ExecuteWmiQuery(
      L"SELECT SystemUpTime FROM Win32_PerfFormattedData_PerfOS_System",
      [&seconds](CComPtr<IWbemClassObject>& object) {
        VARIANT value;
        const long hr = get_property(object, L"SystemUpTime", value, kHandler);
        if (hr == 0) {
          // Unsigned 64-bit properties may arrive as text.
          seconds = value.vt == VT_BSTR && value.bstrVal ? std::wcstoull(value.bstrVal, nullptr, 10)
                                                         : value.ullVal;
        }
        VariantClear(&value);
        return std::make_pair(hr, false);
      },
      kApartment, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE);
}

long GetSystemUpTime(unsigned long& seconds) {
  unsigned long long value = seconds;
  const long hr = GetSystemUpTime(value);
  seconds = static_cast<unsigned long>(value);
  return hr;
}

unsigned long enumerateprocessesbynamex64withpid(std::map<int, std::wstring>& processes) {
  static const wchar_t* const kHandler = L"krCore::enumerateprocessesbynamex64withpid::operator ()";
  const long hr = ExecuteWmiQuery(
      L"Select Caption, ProcessID from Win32_Process",
      [&processes](CComPtr<IWbemClassObject>& object) {
        VARIANT caption;
        long status = get_property(object, L"Caption", caption, kHandler);
        if (status != 0) return std::make_pair(status, false);
        VARIANT id;
        status = get_property(object, L"ProcessID", id, kHandler);
        if (status == 0) {
          const std::wstring name = caption.vt == VT_BSTR && caption.bstrVal ? caption.bstrVal : L"";
          const int pid = static_cast<int>(id.lVal);
          log_if(kLogVerbose, [&] {
            return std::wstring(kHandler) + L" - indicates process with Name: " + name +
                   L" and ID: " + std::to_wstring(pid) + L" is running and will add";
          });
          processes[pid] = name;
        }
        VariantClear(&caption);
        VariantClear(&id);
        return std::make_pair(status, status == 0);
      },
      kApartment, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE);
  return static_cast<unsigned long>(hr);
}

std::wstring SinceToDatetimeStr(unsigned long long milliseconds) {
  using namespace std::chrono;
  // Milliseconds from 1601-01-01, the earliest moment the text can name, to
  // 1970-01-01.
  constexpr unsigned long long kFrom1601 = 11644473600000ull;
  const long long now_ms =
      duration_cast<std::chrono::milliseconds>(system_clock::now().time_since_epoch()).count();
  // Compared before the subtraction, which could overflow for huge values.
  if (now_ms < 0 || milliseconds > static_cast<unsigned long long>(now_ms) + kFrom1601) {
    log_if(kLogError, [] {
      return std::wstring(L"krCore::SinceToDatetimeStr - FileTimeToSystemTime failed with error code: 0x57");
    });
    return std::wstring();
  }
  const sys_time<std::chrono::milliseconds> then{
      std::chrono::milliseconds(now_ms - static_cast<long long>(milliseconds))};
  // floor, so moments before 1970 still split into a date and a
  // non-negative millisecond part.
  const sys_days day = floor<days>(then);
  const year_month_day date{day};
  const hh_mm_ss<std::chrono::milliseconds> time{then - day};
  const long offset = local_utc_offset_minutes(now_ms / 1000);
  wchar_t text[64];
  std::swprintf(text, 64, L"%04d%02u%02u%02d%02d%02d.%03lld000%c%ld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<long long>(time.subseconds().count()), offset < 0 ? L'-' : L'+',
                offset < 0 ? -offset : offset);
  return text;
}

}  // namespace krCore
