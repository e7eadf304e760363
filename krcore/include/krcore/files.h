// The file services family: deleting a file or a directory tree with
// retries (at once, on a thread pool, or when a holder goes out of scope),
// and the scope that switches off 32-bit file-system redirection.
#pragma once

#include <krcore/threading.h>

#include <boost/filesystem/path.hpp>

#include <string>

namespace krCore {

// Deletes the path (a directory with everything below it) on the calling
// thread. Up to five attempts; after a failed one the thread sleeps 2, 4, 6,
// 8 and 10 seconds (also after the fifth). A file that a log-file writer
// holds open (the library's own or another process's) is in use and fails
// its attempt; so does a directory that contains one. True when the path is
// gone, also when it never existed; false after the fifth failure. Each step
// is logged. Never throws. Thread-safe.
KRCORE_API bool DeleteWithRetrySynchronous(const boost::filesystem::path& path);

// Submits the deletion to `pool` and returns at once; the outcome is only
// logged. A null pool throws w32_exception 0x80004003; the pool's own
// submission failures (a pool that is not running) pass through.
KRCORE_API void DeleteWithRetriesAsync(const boost::filesystem::path& path, IThreadpool* pool);

// A work item that deletes one path with the retries above. Execute never
// throws: each step is logged and the outcome is not reported.
// Thread-safety as threadwork: one submission at a time.
class KRCORE_API DeletePathWork : public threadwork {
 public:
  explicit DeletePathWork(const std::wstring& path);
  void Execute() override;

 private:
  std::wstring _path;
};

// Owns one path and deletes it when it goes out of scope: on `pool` when one
// is given, else on the destroying thread. Movable, not copyable; moving
// leaves the source empty. Not thread-safe; one owner.
class KRCORE_API path_auto_delete {
 public:
  path_auto_delete();
  explicit path_auto_delete(const boost::filesystem::path& path);
  path_auto_delete(const boost::filesystem::path& path, IThreadpool* const pool);
  path_auto_delete(path_auto_delete&& other) noexcept;
  // Deletes what this holder owned (as clear()), then takes over `other`'s
  // path and pool. Assignment to itself does nothing.
  path_auto_delete& operator=(path_auto_delete&& other) noexcept;
  path_auto_delete(const path_auto_delete&) = delete;
  path_auto_delete& operator=(const path_auto_delete&) = delete;
  ~path_auto_delete();

  // Deletes the owned path (nothing for an empty holder) and empties the
  // holder. A pool's submission failure is logged, not thrown.
  void clear();
  // Forgets the path and the pool without deleting anything.
  void release();
  bool empty() const;
  boost::filesystem::path path();

 private:
  boost::filesystem::path _path;
  IThreadpool* _pool = nullptr;
};

// Switches off 32-bit file-system redirection for a scope. A 64-bit process
// (as every build on this platform) is never redirected, so every operation
// does nothing; the interface stays for callers built for both. Create and
// destroy it on the same thread. Never throws.
class KRCORE_API auto_wow64filesystemredirect {
 public:
  auto_wow64filesystemredirect();
  ~auto_wow64filesystemredirect();
  auto_wow64filesystemredirect(const auto_wow64filesystemredirect&) = delete;
  auto_wow64filesystemredirect& operator=(const auto_wow64filesystemredirect&) = delete;

  void enable();
  void disable();

 private:
  bool _isWow64 = false;
  bool _disabled = false;
  void* _disableFunc = nullptr;
  void* _revertFunc = nullptr;
  HMODULE _kernel32 = nullptr;
  void* _oldValue = nullptr;
};

}  // namespace krCore
