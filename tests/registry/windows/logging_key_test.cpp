// The logger configured from the system's registry, the way an
// administrator configures it: the logging key made and edited with the
// registry calls while a logger runs, and the changes applied by the
// monitoring thread, a key deleted and made again included. The key is
// removed before and after each test.
#include <gtest/gtest.h>
#include <krcore/logging.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "logging/debug_output.h"
#include "logging/logger_config.h"

namespace {

namespace fs = std::filesystem;
using krCore::logger;

const wchar_t* const kKey = L"SOFTWARE\\Vantrel\\Logging";
const wchar_t* const kChange = L"QM Logger initialized from registry change";

class LoggingKey : public ::testing::Test {
 protected:
  void SetUp() override {
    remove_key();
    std::random_device random;
    scratch = fs::temp_directory_path() /
              ("qmcore-logging-key-" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(scratch));
    logger::close();
    // The monitoring thread's own trail, shown when a test fails.
    krCore::detail::set_debug_output_hook([this](const std::wstring& text) { keep(text); });
    log = krCore::singleton<logger>::instance();
    log->set_write_message_func([this](const wchar_t* message, logger::log_levels) {
      std::lock_guard<std::mutex> lock(mutex);
      messages.emplace_back(message);
      arrived.notify_all();
    });
  }
  void TearDown() override {
    logger::close();
    krCore::detail::set_debug_output_hook({});
    if (HasFailure()) {
      for (const std::wstring& line : trail) std::fwprintf(stderr, L"trail: %ls", line.c_str());
      for (const std::wstring& line : messages) std::fwprintf(stderr, L"logged: %ls\n", line.c_str());
    }
    krCore::detail::set_registry_retry_ms(15000);
    remove_key();
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }

  // The logging key, and its parent when nothing else is in it.
  static void remove_key() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel");
  }
  // Makes (or opens) the logging key and sets the DWORD values given.
  static void set(std::initializer_list<std::pair<const wchar_t*, DWORD>> values) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, value] : values)
      EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                               sizeof value),
                ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // Waits (20 s at most) for an entry holding both texts.
  bool wait_for(const std::wstring& text, const std::wstring& also) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const std::wstring& m : messages)
        if (m.find(text) != std::wstring::npos && m.find(also) != std::wstring::npos) return true;
      return false;
    });
  }

  void keep(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(mutex);
    trail.push_back(text);
  }

  std::wstring base() const { return (scratch / L"agent").wstring(); }

  fs::path scratch;
  logger* log = nullptr;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::wstring> messages;
  std::vector<std::wstring> trail;
};

TEST_F(LoggingKey, ChangesMadeWhileTheLoggerRunsAreApplied) {
  set({{L"Enable", 1}, {L"Level", 2}, {L"Options", 0}, {L"MaxFileSizeInMB", 5}});
  log->initialize(base().c_str());
  ASSERT_TRUE(log->is_enabled());
  EXPECT_EQ(log->log_level(), 2);
  EXPECT_EQ(log->max_filesize(), 5);

  set({{L"Level", 3}});
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 3"));
  EXPECT_EQ(log->log_level(), 3);
  set({{L"MaxFileSizeInMB", 7}});
  ASSERT_TRUE(wait_for(kChange, L"[ MaxFileSizeInMB ] = 7"));
  EXPECT_EQ(log->max_filesize(), 7);

  // File logging switched on: the next line goes to the file in the folder.
  set({{L"Options", 1}});
  ASSERT_TRUE(wait_for(kChange, L"[ Options ] = 0x1"));
  log->logverbose(L"verbose line to the file");
  log->flush();
  EXPECT_GT(fs::file_size(scratch / L"agent.0001.log.txt"), 2u);
}

TEST_F(LoggingKey, AChangeMadeWhileTheLastOneIsReportedIsApplied) {
  // The monitoring thread reports a change before it waits again; a change
  // made right then (here by the report itself, so always in that moment)
  // must not fall between two requests.
  bool changed_again = false;
  log->set_write_message_func([&](const wchar_t* message, logger::log_levels) {
    const std::wstring text(message);
    if (!changed_again && text.find(kChange) != std::wstring::npos &&
        text.find(L"[ Level ] = 3") != std::wstring::npos) {
      changed_again = true;
      set({{L"Level", 15}});
    }
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(text);
    arrived.notify_all();
  });
  set({{L"Enable", 1}, {L"Level", 2}});
  log->initialize(base().c_str());
  set({{L"Level", 3}});
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 3"));
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 15"));
  EXPECT_EQ(log->log_level(), 15);
}

TEST_F(LoggingKey, AKeyDeletedAndMadeAgainIsAppliedAtOnce) {
  // Far beyond the waits here: only the change notifications can apply the
  // key in time.
  krCore::detail::set_registry_retry_ms(600000);
  set({{L"Enable", 1}, {L"Level", 2}});
  log->initialize(base().c_str());
  ASSERT_EQ(log->log_level(), 2);

  // What an import that replaces the key does: delete the tree, make it anew.
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel"), ERROR_SUCCESS);
  set({{L"Enable", 1}, {L"Level", 15}});
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 15"));
  EXPECT_EQ(log->log_level(), 15);

  // And the key made again is followed like the first one.
  set({{L"Level", 3}});
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 3"));
  EXPECT_EQ(log->log_level(), 3);
}

TEST_F(LoggingKey, AParentDeletedWhileTheKeyIsAwaitedDoesNotHideItsReturn) {
  krCore::detail::set_registry_retry_ms(600000);
  set({{L"Enable", 1}, {L"Level", 2}});
  std::mutex debug_mutex;
  std::condition_variable debug_arrived;
  bool missing = false;
  krCore::detail::set_debug_output_hook([&](const std::wstring& text) {
    keep(text);
    if (text.find(L"regkey.Open() returned Error Code: 0x2") == std::wstring::npos) return;
    std::lock_guard<std::mutex> lock(debug_mutex);
    missing = true;
    debug_arrived.notify_all();
  });
  log->initialize(base().c_str());

  // The key goes first; once the thread waits for it under its parent,
  // the parent goes too, and then both come back. The hook goes before
  // anything can end the test, as it uses the test's own variables.
  const LSTATUS deleted = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
  bool awaited = false;
  if (deleted == ERROR_SUCCESS) {
    std::unique_lock<std::mutex> lock(debug_mutex);
    awaited = debug_arrived.wait_for(lock, std::chrono::seconds(20), [&] { return missing; });
  }
  krCore::detail::set_debug_output_hook([this](const std::wstring& text) { keep(text); });
  ASSERT_EQ(deleted, ERROR_SUCCESS);
  ASSERT_TRUE(awaited);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vantrel"), ERROR_SUCCESS);
  set({{L"Enable", 1}, {L"Level", 15}});
  ASSERT_TRUE(wait_for(kChange, L"[ Level ] = 15"));
}

}  // namespace
