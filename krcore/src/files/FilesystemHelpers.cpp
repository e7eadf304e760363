// Deletion with retries, its pool work item and scope holder. (The
// file-system redirection scope is the platform's: linux/ and windows/.)
//
// A deletion that fails is often only early: another process still has the
// file open, or a virus scanner looks at it. So the procedure tries five
// times and sleeps longer after each failure (2 s more each time), logging
// why every attempt failed.
//
// Names go between paths and wide text only through the library's reversible
// file-name mapping (path_from_wide / wide_from_path), never through the
// path's own wide form: that one depends on the process locale and throws
// for a name the locale cannot convert, which would turn a deletion into an
// exception after the fact, or a holder's destructor into std::terminate.
#include <krcore/diagnostics.h>
#include <krcore/files.h>

#include <boost/filesystem/operations.hpp>

#include <chrono>
#include <mutex>
#include <thread>

#include "files/file_services.h"
#include "logging/logsink.h"
#include "sysutil/directories.h"

namespace krCore {

using namespace detail;

namespace {

constexpr int kAttempts = 5;
constexpr unsigned long kSleepStepMs = 2000;

std::function<void(unsigned long)>& retry_sleep() {
  static std::function<void(unsigned long)> sleep;
  return sleep;
}

void sleep_ms(unsigned long ms) {
  if (const auto& sleep = retry_sleep())
    sleep(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool delete_with_retries(const boost::filesystem::path& path, const wchar_t* op) {
  se_exception_initializer guard;
  boost::system::error_code ec;
  const boost::filesystem::file_status st = boost::filesystem::symlink_status(path, ec);
  if (ec || st.type() == boost::filesystem::file_not_found) {
    if (log_enabled(kLogVerbose))
      log_entry(kLogVerbose, std::wstring(op) + L" called for non-existant path [" +
                                 wide_from_path(path) + L", returning true");
    return true;
  }
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    try {
      remove_path(path);
      if (log_enabled(kLogVerbose))
        log_entry(kLogVerbose, std::wstring(op) + L" - path [" + wide_from_path(path) +
                                   L"] was successfully removed.");
      return true;
    } catch (...) {
      guard.Analyze("..\\krcore\\FilesystemHelpers", 36);
    }
    if (guard.info_count() == 0) {
      guard.clear();
      continue;
    }
    if (log_enabled(kLogWarning))
      log_entry(kLogWarning, std::wstring(op) + L" - attempt to remove [" + wide_from_path(path) +
                                 L"] failed, will retry " + std::to_wstring(kAttempts - attempt) +
                                 L" more times. Last error - " + guard.infostring());
    sleep_ms(static_cast<unsigned long>(attempt) * kSleepStepMs);
    guard.clear();
  }
  if (log_enabled(kLogError))
    log_entry(kLogError, std::wstring(op) + L" - attempt to remove [" + wide_from_path(path) +
                             L"] failed after " + std::to_wstring(kAttempts) +
                             L" attempts; returning false");
  return false;
}

}  // namespace

namespace detail {

void set_delete_retry_sleep(std::function<void(unsigned long)> sleep) {
  retry_sleep() = std::move(sleep);
}

}  // namespace detail

bool DeleteWithRetrySynchronous(const boost::filesystem::path& path) {
  return delete_with_retries(path, L"DeleteWithRetrySynchronous");
}

void DeleteWithRetriesAsync(const boost::filesystem::path& path, IThreadpool* pool) {
  if (!pool) throw w32_exception(0x80004003ul);
  pool->submitwork(
      std::shared_ptr<IThreadwork>(std::make_shared<DeletePathWork>(wide_from_path(path))));
}

DeletePathWork::DeletePathWork(const std::wstring& path) : _path(path) {}

void DeletePathWork::Execute() {
  delete_with_retries(path_from_wide(_path), L"DeleteWithRetriesAsync");
}

// ---------------------------------------------------------------------------
// path_auto_delete
// ---------------------------------------------------------------------------

path_auto_delete::path_auto_delete() = default;
path_auto_delete::path_auto_delete(const boost::filesystem::path& path) : _path(path) {}
path_auto_delete::path_auto_delete(const boost::filesystem::path& path, IThreadpool* const pool)
    : _path(path), _pool(pool) {}

path_auto_delete::path_auto_delete(path_auto_delete&& other) noexcept
    : _path(std::move(other._path)), _pool(other._pool) {
  other._path.clear();
  other._pool = nullptr;
}

path_auto_delete& path_auto_delete::operator=(path_auto_delete&& other) noexcept {
  if (this == &other) return *this;
  clear();
  _path = std::move(other._path);
  _pool = other._pool;
  other._path.clear();
  other._pool = nullptr;
  return *this;
}

path_auto_delete::~path_auto_delete() { clear(); }

void path_auto_delete::clear() {
  if (_path.empty()) return;
  if (_pool) {
    // A holder may be cleared from a destructor, so a pool that refuses the
    // work is reported instead of thrown.
    try {
      DeleteWithRetriesAsync(_path, _pool);
    } catch (const std::exception& e) {
      if (log_enabled(kLogError))
        log_entry(kLogError, L"path_auto_delete::clear - submitting the deletion of [" +
                                 wide_from_path(_path) + L"] failed: " +
                                 convertstringtowstring(e.what()));
    }
  } else {
    DeleteWithRetrySynchronous(_path);
  }
  release();
}

void path_auto_delete::release() {
  _path.clear();
  _pool = nullptr;
}

bool path_auto_delete::empty() const { return _path.empty(); }

boost::filesystem::path path_auto_delete::path() { return _path; }

// The redirection scope ends as disable() ends it, on every platform.
auto_wow64filesystemredirect::~auto_wow64filesystemredirect() { disable(); }

}  // namespace krCore
