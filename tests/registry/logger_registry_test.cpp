// The logger configured from the logging key: what the first reading
// applies and reports, a change made while the logger runs, a key that is
// deleted and made again, the command-line start and the flat functions.
#include <krcore/krlog.h>
#include <krcore/logging.h>
#include <krcore/security.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "logging/debug_output.h"
#include "logging/logger_config.h"
#include "registry_support.h"

namespace {

using namespace regtest;
using krCore::logger;

const wchar_t* const kKey = L"SOFTWARE\\Vantrel\\Logging";

class LoggerRegistryTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    krCore::detail::set_registry_retry_ms(20);
    logger::close();
    log = krCore::singleton<logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, logger::log_levels level) {
      std::lock_guard<std::mutex> lock(mutex);
      entries.push_back({message, level});
      arrived.notify_all();
    });
    key = create(kKey);
    base = (root / "agent").wstring();
  }
  void TearDown() override {
    logger::close();
    RegCloseKey(key);
    krCore::detail::set_registry_retry_ms(15000);
    RegistryTest::TearDown();
  }

  struct entry {
    std::wstring message;
    logger::log_levels level;
  };

  // Waits until an entry containing `text` (and `also`) has been written.
  bool wait_for(const std::wstring& text, const std::wstring& also = L"") {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const entry& e : entries)
        if (e.message.find(text) != std::wstring::npos && e.message.find(also) != std::wstring::npos)
          return true;
      return false;
    });
  }
  std::vector<entry> recorded() {
    std::lock_guard<std::mutex> lock(mutex);
    return entries;
  }

  logger* log = nullptr;
  HKEY key = nullptr;
  std::wstring base;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<entry> entries;
};

// Every debugger-output text sent while it lives.
class debug_texts {
 public:
  debug_texts() {
    krCore::detail::set_debug_output_hook([this](const std::wstring& text) {
      std::lock_guard<std::mutex> lock(_mutex);
      _all += text;
      _arrived.notify_all();
    });
  }
  ~debug_texts() { krCore::detail::set_debug_output_hook({}); }
  bool has(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(_mutex);
    return _all.find(text) != std::wstring::npos;
  }
  // Waits (10 s at most) until `text` was sent: a reading of the settings
  // that began before the last change reports it only in the next one.
  bool arrives(const std::wstring& text) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _arrived.wait_for(lock, std::chrono::seconds(10),
                             [&] { return _all.find(text) != std::wstring::npos; });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _arrived;
  std::wstring _all;
};

TEST_F(LoggerRegistryTest, WithoutEnableTheLoggerStaysDisabledAndOnlyEnableGivesLevelZero) {
  debug_texts debug;
  log->initialize(base.c_str());
  EXPECT_FALSE(log->is_enabled());
  EXPECT_TRUE(debug.has(
      L"logger::read_reg_settings - KR Logging is disabled in the registry, or the registry "
      L"settings were not found\r\n"));
  log->initialize(base.c_str());
  EXPECT_TRUE(debug.has(L"logger::initialize - registry monitoring thread was already started\r\n"));
  logger::close();

  log = krCore::singleton<logger>::instance();
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  log->initialize(base.c_str());
  EXPECT_TRUE(log->is_enabled());
  EXPECT_EQ(log->log_level(), 0);
  log->log(logger::log_error, L"dropped");
  EXPECT_FALSE(fs::exists(root / "agent.0001.log.txt"));
}

TEST_F(LoggerRegistryTest, FirstReadingAppliesAndReportsTheKey) {
  debug_texts debug;
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 1), 0);
  ASSERT_EQ(set_dword(key, L"Options", 0), 0);
  ASSERT_EQ(set_dword(key, L"MaxFileSizeInMB", 0), 0);
  ASSERT_EQ(set_dword(key, L"MaxFilesPerProcess", 0), 0);
  ASSERT_EQ(set_string(key, L"IncludeFilter", L"alpha"), 0);
  ASSERT_EQ(set_multi(key, L"ExcludeFilter", {L"gamma", L"delta"}), 0);
  log->add_include_filter(L"added by code");  // the key's lists replace it

  log->initialize(base.c_str());
  ASSERT_EQ(recorded().size(), 1u);
  const std::wstring report = recorded()[0].message;
  EXPECT_NE(report.find(L"QM Logger initialized from registry (initialize) with the following "
                        L"settings:\r\n\t\t\t[ Enable ] = 1\r\n\t\t\t[ Level ] = 1 (verbose)\r\n"
                        L"\t\t\t[ Options ] = 0x0 (log only to debugger/console)\r\n"
                        L"\t\t\t[ MaxFileSizeInMB ] = 15\r\n\t\t\t[ MaxFilesPerProcess ] = 10\r\n"
                        L"\t\t\t[ IncludeFilter ] = 1 string filters\r\n"
                        L"\t\t\t[ ExcludeFilter ] = 2 string filters\r\n"),
            std::wstring::npos)
      << krCore::convertwstringtostring(report);

  EXPECT_TRUE(debug.has(
      L"logger::read_reg_settings read the _excludeFilters settings from the registry...\r\n"
      L"\tgamma\r\n\tdelta\r\n"));
  EXPECT_TRUE(debug.has(L"Level: 1\r\n"));

  log->logverbose(L"alpha passes");
  log->logverbose(L"beta is not included");
  log->logverbose(L"alpha gamma is excluded");
  const auto all = recorded();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].message, L"alpha passes");

}

TEST_F(LoggerRegistryTest, ALevelChangeWhileRunningIsAppliedAndReported) {
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 2), 0);
  log->initialize(base.c_str());
  log->logverbose(L"verbose before");
  ASSERT_EQ(set_dword(key, L"Level", 3), 0);
  ASSERT_TRUE(wait_for(L"QM Logger initialized from registry change", L"[ Level ] = 3"));
  for (const entry& e : recorded()) {
    EXPECT_EQ(e.message.find(L"verbose before"), std::wstring::npos);
    if (e.message.find(L"registry change") != std::wstring::npos) {
      EXPECT_EQ(e.level, logger::log_verbose);
    }
  }
  log->logverbose(L"verbose after");
  EXPECT_EQ(recorded().back().message, L"verbose after");
  // A second registry start keeps the one thread.
  log->initialize(base.c_str());
}

TEST_F(LoggerRegistryTest, ADeletedKeyIsFoundAgainAtOnceWhenItIsMadeAgain) {
  // Far beyond the wait below: the key's return must end the retry period.
  krCore::detail::set_registry_retry_ms(600000);
  debug_texts debug;
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 2), 0);
  log->initialize(base.c_str());
  // What an import that replaces the key does: delete it, then make it anew.
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel"), 0);
  HKEY again = create(kKey);
  ASSERT_EQ(set_dword(again, L"Enable", 1), 0);
  // A value of the wrong type stops the reading there, and is reported;
  // "Level" is written last, so every reading that sees it meets that value.
  ASSERT_EQ(set_string(again, L"MaxFileSizeInMB", L"a"), 0);
  ASSERT_EQ(set_dword(again, L"Level", 15), 0);
  EXPECT_TRUE(wait_for(L"QM Logger initialized from registry change", L"[ Level ] = 15"));
  EXPECT_EQ(log->log_level(), 15);
  EXPECT_EQ(log->max_filesize(), 15);
  EXPECT_TRUE(debug.has(
      L"logger::read_reg_settings failed to read log settings from registry with error [1627L], "
      L"RegQuery::GetDWORD - Attempt to retreive DWORD data from a non-DWORD registry value"));
  RegCloseKey(again);
}

// The three questions the command-line start asks of a parsed command line.
struct fake_args {
  std::map<std::wstring, std::wstring> values;
  std::wstring FindParameter(const std::wstring& name) {
    const auto it = values.find(name);
    return it == values.end() ? std::wstring() : it->second;
  }
  bool FindParameterAsBool(const std::wstring& name, bool fallback) {
    const std::wstring v = FindParameter(name);
    return v.empty() ? fallback : v == L"true";
  }
  std::wstring ModulePath() const { return L"/bin/agent"; }
};

TEST_F(LoggerRegistryTest, RefusedValueFilesKeepTheCurrentSettingsAndSaySo) {
  debug_texts debug;
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 3), 0);
  ASSERT_EQ(set_dword(key, L"MaxFileSizeInMB", 20), 0);
  log->initialize(base.c_str());
  ASSERT_EQ(log->log_level(), 3);

  // What a careless edit or a hostile local user leaves behind. A FIFO
  // must not hold the monitoring thread (and with it the logger's lock).
  // Each is put in place by a rename, so that no reading meanwhile finds
  // the value missing (which would rightly mean its default).
  const fs::path folder = root / "HKLM" / "SOFTWARE" / "Vantrel" / "Logging";
  std::ofstream(folder / ".enable") << "reg_dword\n1\n";
  fs::rename(folder / ".enable", folder / "@Enable");
  ASSERT_EQ(::mkfifo((folder / ".level").c_str(), 0644), 0);
  fs::rename(folder / ".level", folder / "@Level");
  std::ofstream(folder / ".size") << "\xEF\xBB\xBFREG_DWORD\n0\n";
  fs::rename(folder / ".size", folder / "@MaxFileSizeInMB");
  ASSERT_EQ(set_dword(key, L"MaxFilesPerProcess", 3), 0);  // read after the others
  ASSERT_TRUE(wait_for(L"QM Logger initialized from registry change", L"[ MaxFilesPerProcess ] = 3"));

  // One reading may have begun between the renames; the next one then
  // finds the rest.
  for (const wchar_t* name : {L"Enable", L"Level", L"MaxFileSizeInMB"})
    EXPECT_TRUE(debug.arrives(L"logger::read_reg_settings - the value [" + std::wstring(name) +
                              L"] of [HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantrel\\Logging] was refused"))
        << krCore::convertwstringtostring(name);
  EXPECT_TRUE(debug.arrives(L"@Level] refused (error 13): is a FIFO"));
  EXPECT_TRUE(debug.arrives(L"@MaxFileSizeInMB] refused (error 13): starts with a byte-order mark"));
  EXPECT_TRUE(log->is_enabled());
  EXPECT_EQ(log->log_level(), 3);
  EXPECT_EQ(log->max_filesize(), 20);
  log->logverbose(L"still logging");
  EXPECT_EQ(recorded().back().message, L"still logging");
}

TEST_F(LoggerRegistryTest, SizeLimitsOf4096MBOrMoreAreCutTo4095AtEveryEntry) {
  debug_texts debug;
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"MaxFileSizeInMB", 4096), 0);
  log->initialize(base.c_str());
  EXPECT_EQ(log->max_filesize(), 4095);
  EXPECT_TRUE(debug.has(L"logger::read_reg_settings - MaxFileSizeInMB - a log file size limit of "
                        L"[4096] MB does not fit the 32-bit byte count; [4095] MB is used\r\n"));

  logger::close();
  log = krCore::singleton<logger>::instance();
  fake_args huge{{{L"loglevel", L"2"}, {L"logfilesize", L"5000"}, {L"logfilename", base}}};
  krCore::detail::log_initialize_from(huge);
  EXPECT_EQ(log->max_filesize(), 4095);
  EXPECT_TRUE(debug.has(L"logger::initialize - a log file size limit of [5000] MB"));
}

TEST_F(LoggerRegistryTest, TheCommandLineStartChoosesItsSource) {
  fake_args level99{{{L"loglevel", L"99"}, {L"logfilename", base}}};
  krCore::detail::log_initialize_from(level99);
  EXPECT_EQ(log->log_level(), 15);
  EXPECT_EQ(log->log_options(), 1);
  EXPECT_EQ(log->max_filesize(), 30);

  fake_args to_file{{{L"logfile", L"true"}, {L"filewritethrough", L"true"}, {L"logfilesnum", L"4"}}};
  krCore::detail::log_initialize_from(to_file);
  EXPECT_EQ(log->log_level(), 3);
  EXPECT_EQ(log->log_options(), 0x10001);
  EXPECT_EQ(log->max_logfiles_per_process(), 4);

  fake_args bad{{{L"loglevel", L"2"}, {L"logfilesize", L"12abc"}}};
  EXPECT_THROW(krCore::detail::log_initialize_from(bad), boost::bad_lexical_cast);

  // Neither switch: the registry decides.
  logger::close();
  log = krCore::singleton<logger>::instance();
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 4), 0);
  fake_args none{{{L"logfilename", base}}};
  krCore::detail::log_initialize_from(none);
  EXPECT_TRUE(log->is_enabled());
  EXPECT_EQ(log->log_level(), 4);
}

TEST_F(LoggerRegistryTest, TheFlatFunctionsLogWhenTheRegistryEnablesThem) {
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 2), 0);
  ASSERT_EQ(set_dword(key, L"Options", 1), 0);
  logger::close();
  krLogInitialize(base.c_str());
  krLog(L"flat line");
  krLogFlush();
  krLogClose();
  std::ifstream in(root / "agent.0001.log.txt", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::u16string units(bytes.size() / 2, u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * 2);
  EXPECT_NE(krCore::detail::wide_from_utf16(units).find(L"[INFO] flat line"), std::wstring::npos);
}

}  // namespace

// Looks at the machine facts' instance without creating it.
struct machine_facts_peek : krCore::singleton_base<krCore::globals> {
  static bool collected() {
    krCore::globals* facts = _instance.load();
    return facts && facts->initialized();
  }
};

TEST_F(LoggerRegistryTest, BothStartsCollectTheMachineFactsFirst) {
  krCore::globals::close();
  ASSERT_FALSE(machine_facts_peek::collected());
  log->initialize(base.c_str());
  EXPECT_TRUE(machine_facts_peek::collected());

  logger::close();
  krCore::globals::close();
  log = krCore::singleton<logger>::instance();
  log->initialize(0, 1, 1, 1, base.c_str());
  EXPECT_TRUE(machine_facts_peek::collected());
}

// Holds the logger's singleton lock with the instance taken out, as close()
// does while the logger's destructor waits for the monitoring thread.
struct logger_closing : krCore::singleton_base<logger> {
  static krCore::critical_section& lock() { return _cs; }
  static logger* take() { return _instance.exchange(nullptr); }
  static void put_back(logger* log) { _instance.store(log); }
};

TEST_F(LoggerRegistryTest, AChangeThatOpensAFileInANewFolderNeverWaitsForAClosingSingleton) {
  ASSERT_EQ(set_dword(key, L"Enable", 1), 0);
  ASSERT_EQ(set_dword(key, L"Level", 15), 0);
  ASSERT_EQ(set_dword(key, L"Options", 0), 0);
  const fs::path folder = root / "new" / "folder";
  log->initialize((folder / "agent").wstring().c_str());
  bool applied = false;
  {
    const krCore::auto_lock closing(logger_closing::lock());
    logger* const kept = logger_closing::take();
    // File logging on: the monitoring thread opens a file in a folder it
    // must create, and that creation logs.
    EXPECT_EQ(set_dword(key, L"Options", 1), 0);
    applied = wait_for(L"QM Logger initialized from registry change", L"[ Options ] = 0x1");
    logger_closing::put_back(kept);
  }
  EXPECT_TRUE(applied);
  EXPECT_TRUE(fs::exists(folder / "agent.0001.log.txt"));
}
