// The management-query layer: the runner's contract with its handler, the
// parser's errors, the boot-time and up-time queries against the system's
// clocks, and the date-time text of a past moment in fixed time zones.
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <krcore/processes.h>
#include <krcore/sysutil.h>

#include <cstdlib>

#include "processes/log_record.h"
#include "processes/wql.h"

namespace {

using namespace proctest;

class Wmi : public LoggedTest {};

using handler_t = std::function<std::pair<long, bool>(CComPtr<IWbemClassObject>&)>;

long run(const std::wstring& query, handler_t handler) {
  return krCore::ExecuteWmiQuery(query, std::move(handler), COINIT_APARTMENTTHREADED, 0, 3);
}

// Seconds since 1970 (UTC) of a date-time text "yyyymmddHHMMSS.ffffff±UUU"
// whose fields are local time at the given offset.
long long parse_datetime(const std::wstring& text) {
  struct tm t {};
  t.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(text.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(text.substr(6, 2));
  t.tm_hour = std::stoi(text.substr(8, 2));
  t.tm_min = std::stoi(text.substr(10, 2));
  t.tm_sec = std::stoi(text.substr(12, 2));
  const long offset = std::stol(text.substr(21));
  return static_cast<long long>(timegm(&t)) - offset * 60;
}

TEST_F(Wmi, EmptyHandlerFailsBeforeAnythingElse) {
  EXPECT_EQ(run(L"SELECT SystemUpTime FROM Win32_PerfFormattedData_PerfOS_System", nullptr),
            static_cast<long>(static_cast<int>(0x80004005u)));
  const auto failed = with(L"krCore::ExecuteWmiQuery - function was not provided");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, logger::log_error);
  EXPECT_TRUE(with(L"CoInitializeSecurity").empty());
}

TEST_F(Wmi, ParserErrors) {
  int calls = 0;
  auto count = [&calls](CComPtr<IWbemClassObject>&) {
    ++calls;
    return std::make_pair(0L, true);
  };
  EXPECT_EQ(run(L"SELECT Caption FROM Win32_Nothing", count), WBEM_E_INVALID_CLASS);
  EXPECT_EQ(run(L"SELECT Colour FROM Win32_Process", count), WBEM_E_NOT_FOUND);
  for (const wchar_t* bad : {L"", L"SELECT", L"SELECT FROM Win32_Process", L"SELECT a, FROM x",
                             L"SELECT a FROM", L"SELECT a FROM x y", L"DELETE a FROM x",
                             L"SELECT a FROM x WHERE", L"SELECT 1a FROM x"})
    EXPECT_EQ(run(bad, count), WBEM_E_INVALID_QUERY) << bad;
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(with(L"krCore::ExecuteWmiQuery - ExecQuery failed. Error Code: -2147217392").size(), 1u);

  krCore::detail::wql_query q;
  ASSERT_EQ(krCore::detail::parse_wql(L"  select  caption ,processid\tfrom win32_process ", q), 0);
  EXPECT_EQ(q.class_name, L"win32_process");
  EXPECT_EQ(q.properties, (std::vector<std::wstring>{L"caption", L"processid"}));
}

TEST_F(Wmi, HandlerStatusAndContinueFlag) {
  int calls = 0;
  EXPECT_EQ(run(L"select * from win32_process",
                [&calls](CComPtr<IWbemClassObject>&) {
                  ++calls;
                  return std::make_pair(0L, false);
                }),
            0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(run(L"SELECT ProcessID FROM Win32_Process",
                [](CComPtr<IWbemClassObject>&) { return std::make_pair(-7L, true); }),
            -7);
  EXPECT_EQ(with(L"function(pWmiObject) failed. Error Code: -7").size(), 1u);

  // Every process is visited, ours among them; unselected properties are absent.
  bool found = false;
  EXPECT_EQ(run(L"SELECT ProcessID FROM Win32_Process",
                [&found](CComPtr<IWbemClassObject>& object) {
                  VARIANT v;
                  VariantInit(&v);
                  EXPECT_EQ(object->Get(L"Caption", &v), WBEM_E_NOT_FOUND);
                  EXPECT_EQ(object->Get(L"processid", &v), 0);
                  if (v.vt == VT_I4 && v.lVal == ::getpid()) found = true;
                  VariantClear(&v);
                  return std::make_pair(0L, true);
                }),
            0);
  EXPECT_TRUE(found);
}

TEST_F(Wmi, BootTimeAndUpTimeAgreeWithTheBootClock) {
  unsigned long long up = 0;
  ASSERT_EQ(krCore::GetSystemUpTime(up), 0);
  std::wstring boot;
  ASSERT_EQ(krCore::GetLastBootUpTime(boot), 0);
  struct timespec since_boot, now;
  clock_gettime(CLOCK_BOOTTIME, &since_boot);
  clock_gettime(CLOCK_REALTIME, &now);
  EXPECT_LE(std::llabs(static_cast<long long>(up) - since_boot.tv_sec), 2);
  std::uint64_t up64 = 0;
  ASSERT_EQ(krCore::GetSystemUpTime(up64), 0);
  EXPECT_LE(up64 - up, 2u);
  ASSERT_EQ(boot.size(), 25u) << boot;
  EXPECT_EQ(boot.substr(14, 7), L".000000");
  EXPECT_LE(std::llabs(parse_datetime(boot) - (now.tv_sec - since_boot.tv_sec)), 2);
}

class LocalZone : public Wmi {
 protected:
  void use(const char* zone) {
    const char* old = std::getenv("TZ");
    _saved = old ? old : "";
    _had = old != nullptr;
    setenv("TZ", zone, 1);
    tzset();
  }
  void TearDown() override {
    if (_had)
      setenv("TZ", _saved.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
    Wmi::TearDown();
  }

 private:
  std::string _saved;
  bool _had = false;
};

TEST_F(LocalZone, SinceToDatetimeStrIsUtcWithTheLocalOffset) {
  use("CET-1");
  const std::wstring now = krCore::SinceToDatetimeStr(0);
  ASSERT_EQ(now.size(), 24u) << now;
  EXPECT_EQ(now.substr(14, 1), L".");
  EXPECT_EQ(now.substr(18, 3), L"000");
  EXPECT_EQ(now.substr(21), L"+60");
  // The date and time are UTC whatever the zone: parse them without it.
  EXPECT_LE(std::llabs(parse_datetime(now.substr(0, 21) + L"+0") - time(nullptr)), 2);

  use("EST5");
  const std::wstring hour_ago = krCore::SinceToDatetimeStr(3600 * 1000ull);
  EXPECT_EQ(hour_ago.substr(21), L"-300");
  EXPECT_LE(std::llabs(parse_datetime(hour_ago.substr(0, 21) + L"+0") - (time(nullptr) - 3600)), 2);

  use("UTC0");
  EXPECT_EQ(krCore::SinceToDatetimeStr(0).substr(21), L"+0");
}

// The earliest moment the text can name is 1601-01-01; anything further back
// (up to the largest count, which must not overflow) gives an empty text.
TEST(SinceToDatetimeStr, MomentsBefore1601GiveAnEmptyText) {
  const unsigned long long since_1601_ms =
      (static_cast<unsigned long long>(time(nullptr)) + 11644473600ull) * 1000ull;
  EXPECT_EQ(krCore::SinceToDatetimeStr(since_1601_ms - 10000).substr(0, 8), L"16010101");
  EXPECT_EQ(krCore::SinceToDatetimeStr(since_1601_ms + 10000), L"");
  EXPECT_EQ(krCore::SinceToDatetimeStr(~0ull), L"");
  EXPECT_EQ(krCore::SinceToDatetimeStr(1ull << 63), L"");
}

}  // namespace
