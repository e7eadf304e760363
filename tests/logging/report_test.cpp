// The settings report: its text line by line, when it is written, and its
// refusal to re-enter itself.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "log_capture.h"

namespace {

using namespace logtest;

// The facts the report prints, read here independently of the library.
std::wstring computer_name() {
  utsname u;
  uname(&u);
  std::string name = u.nodename;
  name = name.substr(0, name.find('.')).substr(0, 15);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return krCore::convertstringtowstring(name);
}

std::wstring system_version() {
  utsname u;
  uname(&u);
  unsigned long major = 0, minor = 0, build = 0;
  std::sscanf(u.release, "%lu.%lu.%lu", &major, &minor, &build);
  std::ifstream file("/etc/os-release");
  std::string line, pretty;
  while (std::getline(file, line))
    if (line.rfind("PRETTY_NAME=", 0) == 0) pretty = line.substr(12);
  if (pretty.size() >= 2 && pretty.front() == '"') pretty = pretty.substr(1, pretty.size() - 2);
  std::wostringstream out;
  out << major << L'.' << minor << L" (Build " << build << L": "
      << krCore::convertstringtowstring(pretty) << L") 64-bit version";
  return out.str();
}

std::wstring executable() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return krCore::convertstringtowstring(std::string(path, n > 0 ? size_t(n) : 0));
}

TEST_F(LoggerTest, ReportTextLineByLine) {
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
      L"\t\t\t[ COMPUTER ] = " +
      computer_name() +
      L"\r\n"
      L"\t\t\t[ Windows Version ] = " +
      system_version() +
      L"\r\n"
      L"\t\t\t[ App Version ] = 0.0.0.0 [" +
      executable() + L"]\r\n";
  std::wistringstream want(expected), got(entries[0].message);
  std::wstring a, b;
  while (std::getline(want, a)) {
    ASSERT_TRUE(std::getline(got, b)) << "missing line " << krCore::convertwstringtostring(a);
    EXPECT_EQ(b, a);
  }
  EXPECT_FALSE(std::getline(got, b)) << "extra line " << krCore::convertwstringtostring(b);
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
    log->initialize(static_cast<int>(r.options), r.level, 0, 0, L"/tmp/qmcore-report");
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(entries.size(), 1u) << r.options;
    const std::wstring& text = entries[0].message;
    EXPECT_TRUE(text.starts_with(L"QM Logger initialized from parameters (initialize) with"));
    EXPECT_NE(text.find(r.level_line), std::wstring::npos) << krCore::convertwstringtostring(text);
    EXPECT_NE(text.find(r.options_line), std::wstring::npos)
        << krCore::convertwstringtostring(text);
  }
}

TEST_F(LoggerTest, ReportIsOneEntryEndingInAnEmptyLine) {
  start(0x2, logger::log_normal);
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

TEST_F(LoggerTest, ReportFollowsTheLevelOfItsCause) {
  start(0, logger::log_normal);
  log->set_max_filesize(3);  // reported at verbose: dropped
  log->set_log_options(0x4);
  EXPECT_TRUE(entries.empty());
  log->set_enabled(false);  // disabled: nothing
  EXPECT_TRUE(entries.empty());
  log->set_enabled(true);  // reported at the configured level
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, logger::log_normal);
  entries.clear();
  log->set_log_levels(static_cast<logger::log_levels>(0));  // level 0 admits nothing
  log->set_log_levels(logger::log_normal);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].message.find(L"[ Level ] = 2 (normal)\r\n"), std::wstring::npos);
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
