// The log stream: text between two syncs is one entry; an empty stream writes
// nothing. And the LOG / LOGVERBOSE short forms.
#include "log_capture.h"

namespace {

using namespace logtest;
using krCore::basic_log_ostream;
using list = std::vector<std::wstring>;

TEST_F(LoggerTest, StreamEntriesSplitAtEachFlush) {
  start(0, logger::log_verbose);
  {
    basic_log_ostream<wchar_t> out(logger::log_warning);
    out << L"value [" << 42 << L"] 0x" << std::hex << 255;
    out << std::flush;
    out << L"line one" << std::endl;  // the line feed stays inside the entry
    out << L"tail";
    out.put(L'!');
  }
  EXPECT_EQ(messages(), (list{L"value [42] 0xff", L"line one\n", L"tail!"}));
  for (const entry& e : entries) EXPECT_EQ(e.level, logger::log_warning);
}

TEST_F(LoggerTest, StreamStopsAtNullFollowsTheLevelTestAndWritesNothingWhenEmpty) {
  start(0, logger::log_normal);
  {
    basic_log_ostream<wchar_t> out(logger::log_verbose);
    out << L"dropped at the level test";
  }
  { basic_log_ostream<wchar_t> out(logger::log_error); }
  {
    basic_log_ostream<wchar_t> out(logger::log_error);
    out << std::flush;
  }
  {
    basic_log_ostream<wchar_t> out(logger::log_normal);
    out << L"kept";
    out.put(L'\0');
    out << L"cut";
  }
  EXPECT_EQ(messages(), list{L"kept"});
}

TEST_F(LoggerTest, LogAndLogVerboseShortForms) {
  start(0, logger::log_normal);
  krCore::LOG(std::wstring(L"wide"));
  krCore::LOG(std::string("narrow \xc3\xa9"));
  krCore::LOGVERBOSE(std::wstring(L"dropped"));
  EXPECT_EQ(messages(), (list{L"wide", L"narrow \u00e9"}));
  log->set_log_levels(logger::log_verbose);
  entries.clear();
  krCore::LOGVERBOSE(std::string("verbose"));
  std::wostringstream text;
  text << L"from a string stream";
  log->logverbose(text);
  EXPECT_EQ(messages(), (list{L"verbose", L"from a string stream"}));
  EXPECT_EQ(entries[0].level, logger::log_verbose);
}

}  // namespace
