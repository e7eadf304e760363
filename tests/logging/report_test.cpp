// The settings report: its text line by line, when it is written, and its
// refusal to re-enter itself.
#include <krcore/sysutil.h>
#include <unistd.h>

// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <sstream>
#include <tuple>

#include "log_capture.h"
#if !defined(_WIN32)
#include "security/machine.h"
#include "security/osversion.h"
#endif

namespace {

using namespace logtest;

#if !defined(_WIN32)  // the system's own facts on Windows

// The machine facts in the report: the host name's NetBIOS form and the
// kernel release. Checked here on made-up values; the report's own lines
// are checked by shape, as they depend on the machine.
TEST(ReportFacts, NetbiosNameAndKernelRelease) {
  using namespace krCore::detail;
  EXPECT_EQ(netbios_name(L"web-01.example.com"), L"WEB-01");
  EXPECT_EQ(netbios_name(L"averyveryverylongname"), L"AVERYVERYVERYLO");
  os_version_info v;
  ASSERT_TRUE(parse_kernel_release("6.1.0-18-amd64", v));
  EXPECT_EQ(std::tie(v.major, v.minor, v.build), std::make_tuple(6ul, 1ul, 0ul));
  EXPECT_FALSE(parse_kernel_release("x6.1", v));
}
#endif

TEST_F(LoggerTest, ReportTextForAGivenConfiguration) {
  start(0, logger::log_verbose);
  log->add_include_filter(L"alpha");
  log->add_include_filter(L"beta");
  log->add_exclude_filter(L"gamma");
  log->set_max_logfiles_per_process(7);
  entries.clear();
  log->set_max_filesize(20);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, logger::log_verbose);

  const std::wstring expected =
      L"QM Logger initialized from property change with the following settings:\r\n"
      L"\t\t\t[ Enable ] = 1\r\n"
      L"\t\t\t[ Level ] = 1 (verbose)\r\n"
      L"\t\t\t[ Options ] = 0x0 (log only to debugger/console)\r\n"
      L"\t\t\t[ MaxFileSizeInMB ] = 20\r\n"
      L"\t\t\t[ MaxFilesPerProcess ] = 7\r\n"
      L"\t\t\t[ IncludeFilter ] = 2 string filters\r\n"
      L"\t\t\t[ ExcludeFilter ] = 1 string filters\r\n"
      L"\t\t\t[ PID ] = " +
      std::to_wstring(getpid()) +
      L" (x64)\r\n"
      L"\t\t\t[ App Version ] = 0.0.0.0 [" +
      krCore::getmodulepath(true) + L"]\r\n";
  // The machine's own facts, between PID and App Version, by their shape.
#if defined(_WIN32)
  // They come from the machine facts, which are not yet available on
  // Windows: the lines are there, their values empty.
  const std::wregex machine(
      LR"(\t\t\t\[ COMPUTER \] = .*\r\n\t\t\t\[ Windows Version \] = .*\r\n)");
#else
  const std::wregex machine(
      LR"(\t\t\t\[ COMPUTER \] = \S{1,15}\r\n)"
      LR"(\t\t\t\[ Windows Version \] = \d+\.\d+ \(Build \d+: .*\) 64-bit version\r\n)");
#endif
  std::wstring got = entries[0].message;
  std::wsmatch m;
  ASSERT_TRUE(std::regex_search(got, m, machine)) << krCore::convertwstringtostring(got);
  got.erase(m.position(0), m.length(0));
  EXPECT_EQ(got, expected);
}

TEST_F(LoggerTest, ReportLevelAndOptionTexts) {
  struct row {
    unsigned options;
    int level;
    const wchar_t* level_line;
    const wchar_t* options_line;
  } rows[] = {
      {0x3, 3, L"\t\t\t[ Level ] = 3 (verbose)(normal)\r\n",
       L"\t\t\t[ Options ] = 0x3 (log to file and debugger/console) [file Write-through mode is "
       L"NOT enabled]\r\n"},
      {0x10005, 1, L"\t\t\t[ Level ] = 1 (verbose)\r\n",
       L"\t\t\t[ Options ] = 0x10005 (log to file only) [file Write-through mode is enabled] [use "
       L"process unique filenames]\r\n"},
      {0x2, logger::log_error, L"\t\t\t[ Level ] = 8 (error)\r\n",
       L"\t\t\t[ Options ] = 0x2 (log only to debugger/console)\r\n"},
  };
  for (const row& r : rows) {
    logger::close();
    log = krCore::singleton<logger>::instance();
    entries.clear();
    log->set_write_message_func([this](const wchar_t* m, logger::log_levels l) {
      entries.push_back({m, l});
    });
    testing::internal::CaptureStdout();
    log->initialize(static_cast<int>(r.options), r.level, 0, 0, base("report").c_str());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(entries.size(), 1u) << r.options;
    const std::wstring& text = entries[0].message;
    EXPECT_TRUE(text.starts_with(L"QM Logger initialized from parameters (initialize) with"));
    EXPECT_NE(text.find(r.level_line), std::wstring::npos) << krCore::convertwstringtostring(text);
    EXPECT_NE(text.find(r.options_line), std::wstring::npos)
        << krCore::convertwstringtostring(text);
  }
}

TEST_F(LoggerTest, ReportFollowsTheLevelOfItsCauseAsOneConsoleLine) {
  start(0, logger::log_normal);
  log->set_max_filesize(3);  // reported at verbose: dropped
  log->set_log_options(0x4);
  EXPECT_TRUE(entries.empty());
  log->set_enabled(false);  // disabled: nothing, errors included
  log->log(logger::log_error, L"while disabled");
  EXPECT_TRUE(entries.empty());
  log->set_enabled(true);  // reported at the configured level
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, logger::log_normal);
  entries.clear();
  log->set_log_levels(static_cast<logger::log_levels>(0));  // level 0 admits nothing
  log->set_log_levels(logger::log_normal);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].message.find(L"[ Level ] = 2 (normal)\r\n"), std::wstring::npos);

  // On the console the report is one line with one prefix, ending in an
  // empty line.
  log->set_log_options(0x2);
  debug_capture capture;
  testing::internal::CaptureStdout();
  log->set_log_levels(logger::log_warning);  // reported at the new level
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(capture.texts().size(), 1u);
  const std::wstring line = capture.texts()[0];
  EXPECT_NE(line.find(L" [WARN] QM Logger initialized from property change"), std::wstring::npos);
  EXPECT_EQ(line.find(L"PID:"), line.rfind(L"PID:"));  // one prefix only
  EXPECT_TRUE(line.ends_with(L"]\r\n\r\n"));
}

TEST_F(LoggerTest, ReportRefusesReentry) {
  start(0, logger::log_verbose);
  debug_capture capture;
  bool nested = false;
  log->set_write_message_func([&](const wchar_t* message, logger::log_levels) {
    if (nested || !is_report(message)) return;
    nested = true;
    log->set_max_filesize(9);  // would report again from inside the report
  });
  log->set_max_filesize(8);
  EXPECT_TRUE(nested);
  EXPECT_EQ(log->max_filesize(), 9);
  EXPECT_EQ(capture.texts(),
            std::vector<std::wstring>{L"Reentrance detected in logger::log_logsettings\r\n"});
  // The guard is released: the next change reports again.
  entries.clear();
  log->set_write_message_func([this](const wchar_t* m, logger::log_levels l) {
    entries.push_back({m, l});
  });
  log->set_max_filesize(10);
  EXPECT_EQ(entries.size(), 1u);
}

}  // namespace
