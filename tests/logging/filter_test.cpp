// The include and exclude filters: matched case-insensitively against the
// whole line, prefix included, and never applied to the settings report.
#include <unistd.h>

#include "log_capture.h"

namespace {

using namespace logtest;

class FilterTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    start(0, logger::log_verbose);
  }
  // Logs one line of each level and returns the messages that got through.
  std::vector<std::wstring> pass_through() {
    entries.clear();
    log->log(logger::log_verbose, L"verbose text");
    log->log(logger::log_normal, L"normal text");
    log->log(logger::log_warning, L"warning text");
    log->log(logger::log_error, L"error text");
    return messages();
  }
  using list = std::vector<std::wstring>;
};

TEST_F(FilterTest, IncludeSelectsByTagIgnoringCase) {
  log->add_include_filter(L"[error]");
  EXPECT_EQ(pass_through(), list{L"error text"});
  log->add_include_filter(L"[VERB]");
  EXPECT_EQ(pass_through(), (list{L"verbose text", L"error text"}));
  log->clear_include_filters();
  EXPECT_EQ(pass_through().size(), 4u);
}

TEST_F(FilterTest, ExcludeByPidOrTextAndBothTogether) {
  char pid[32];
  std::snprintf(pid, sizeof pid, "PID: %4ld", long(getpid()));
  log->add_exclude_filter(krCore::convertstringtowstring(pid));
  EXPECT_TRUE(pass_through().empty());
  log->clear_exclude_filters();
  log->add_exclude_filter(L"WARNING TEXT");
  EXPECT_EQ(pass_through(), (list{L"verbose text", L"normal text", L"error text"}));
  log->clear_exclude_filters();
  // Both: included, then not excluded.
  log->add_include_filter(L"text");
  log->add_exclude_filter(L"[INFO]");
  log->add_exclude_filter(L"verbose");
  EXPECT_EQ(pass_through(), (list{L"warning text", L"error text"}));
}

TEST_F(FilterTest, DuplicatesIgnoringCaseAreNotAdded) {
  log->add_exclude_filter(L"Warning");
  entries.clear();
  log->add_exclude_filter(L"wARNING");  // no change: no report either
  EXPECT_TRUE(entries.empty());
  log->clear_exclude_filters();  // one entry removes the only filter
  EXPECT_EQ(pass_through().size(), 4u);
}

TEST_F(FilterTest, ReportAndBypassIgnoreTheFilters) {
  log->add_include_filter(L"matches nothing");
  entries.clear();
  log->set_max_logfiles_per_process(3);  // a change: the report is written
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(is_report(entries[0].message));
  entries.clear();
  log->log(logger::log_error, L"bypass", true);
  log->log(logger::log_error, L"filtered", false);
  EXPECT_EQ(messages(), list{L"bypass"});
}

}  // namespace
