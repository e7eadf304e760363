// The event logger on the system's event log: what a report leaves in the
// Application log, and registrations shared by copies, which end once.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <windows.h>

#include <string>
#include <vector>

#include "logging/log_capture.h"

namespace {

using krCore::EventLogger_t;
using namespace logtest;

// One record of the Application log as the event viewer shows it.
struct event_record {
  DWORD id = 0;
  WORD type = 0, category = 0;
  std::wstring source, text;
};

// The newest `count` records of the Application log, newest first; false
// when the log cannot be read.
bool newest_events(std::size_t count, std::vector<event_record>& out) {
  const HANDLE log = OpenEventLogW(nullptr, L"Application");
  if (!log) return false;
  std::vector<BYTE> buffer(0x10000);
  bool read = true;
  while (out.size() < count) {
    DWORD got = 0, needed = 0;
    if (!ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &got, &needed)) {
      read = GetLastError() == ERROR_HANDLE_EOF && !out.empty();
      break;
    }
    for (DWORD at = 0; at < got && out.size() < count;) {
      const auto* r = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      event_record e{r->EventID, r->EventType, r->EventCategory,
                     reinterpret_cast<const wchar_t*>(r + 1), L""};
      if (r->NumStrings > 0)
        e.text = reinterpret_cast<const wchar_t*>(buffer.data() + at + r->StringOffset);
      out.push_back(e);
      at += r->Length;
    }
  }
  CloseEventLog(log);
  return read;
}

TEST_F(LoggerTest, AReportReachesTheApplicationLogWithItsTypeCategoryIdAndText) {
  start(0, logger::log_verbose);
  const std::wstring source = L"qmcore test " + std::to_wstring(GetCurrentProcessId());
  const std::wstring text = L"disk almost full on \u00e9t\u00e9 \U0001F4BE";
  EventLogger_t events(source);
  ASSERT_EQ(events.ReportEventW(text, EVENTLOG_WARNING_TYPE, 3, 0x80000066), 0u);
  ASSERT_EQ(messages().size(), 2u);
  EXPECT_EQ(entries[1].message,
            L"EventLogger_t::ReportEvent() - successfully wrote event log message: [" + text + L"]");
  EXPECT_EQ(entries[1].level, logger::log_warning);

  std::vector<event_record> newest;
  if (!newest_events(50, newest))
    GTEST_SKIP() << "Wine gap: the event log keeps no events (ReadEventLogW finds none)";
  bool found = false;
  for (const event_record& e : newest) {
    if (e.source != source) continue;
    found = true;
    EXPECT_EQ(e.id, 0x80000066u);
    EXPECT_EQ(e.type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(e.category, 3);
    EXPECT_EQ(e.text, text);
  }
  EXPECT_TRUE(found);
}

// A copy shares the registration; once one of them ended it, the other's
// handle is stale and must not reach the system, where it may by then name
// another registration.
TEST_F(LoggerTest, ASharedRegistrationEndsOnceAndItsStaleCopyIsRefused) {
  start(0, logger::log_verbose);
  EventLogger_t original(L"qmcore test copies");
  EventLogger_t copy;
  copy = original;
  EXPECT_EQ(copy.ReportEventW(L"through the copy", EVENTLOG_INFORMATION_TYPE, 0, 0x40000065), 0u);
  copy.Clear();
  EventLogger_t other(L"qmcore test other");
  EXPECT_EQ(original.ReportEventW(L"lost", EVENTLOG_INFORMATION_TYPE, 0, 0x40000065), 6u);
  entries.clear();
  original.Clear();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message,
            L"EventLogger_t::Clear() - failed to DeregisterEventSource, error [6]");
  // The registration made meanwhile is untouched.
  EXPECT_EQ(other.ReportEventW(L"kept", EVENTLOG_INFORMATION_TYPE, 0, 0x40000065), 0u);
}

}  // namespace
