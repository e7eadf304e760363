// Processes on Windows: not available yet.
//
// The process table, process names, close requests and the WQL queries on
// processes fail here with ERROR_CALL_NOT_IMPLEMENTED (E_NOTIMPL for a
// query), each saying once on the debugger output that it is missing.
#include <atomic>

#include "foundation/windows/not_available.h"
#include "processes/process_table.h"
#include "processes/wql.h"

namespace krCore::detail {

namespace {
std::atomic<bool> g_reported_table{false};
std::atomic<bool> g_reported_wql{false};
unsigned long no_table() { return not_available(g_reported_table, L"the process table"); }
}  // namespace

unsigned long list_process_ids(unsigned long*, std::size_t, std::size_t& returned) {
  returned = 0;
  return no_table();
}
unsigned long process_name(unsigned long, bool, std::wstring& name) {
  name.clear();
  return no_table();
}
unsigned long process_executable_base_name(unsigned long, std::wstring& name) {
  name.clear();
  return no_table();
}
unsigned long post_close_request(HANDLE) { return no_table(); }
unsigned long post_close_request_to_pid(unsigned long) { return no_table(); }

// The offset of the system's time zone at `when` (seconds since 1970),
// which the process times of a query would be shown in.
long local_utc_offset_minutes(long long) {
  TIME_ZONE_INFORMATION zone;
  const DWORD which = ::GetTimeZoneInformation(&zone);
  long bias = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  return -bias;
}

long exec_wql(const std::wstring&, const std::wstring&, long, IEnumWbemClassObject** result) {
  if (result) *result = nullptr;
  not_available(g_reported_wql, L"WQL queries on processes");
  return E_NOTIMPL;
}

}  // namespace krCore::detail
