// Internal: the Linux half's open key, shared by the store and its change
// notification. A key is an open descriptor of its folder, so it keeps
// naming the same folder whatever happens to the path above it.
#pragma once

#include <memory>
#include <mutex>

#include "foundation/kill_hold.h"
#include "registry/store.h"

namespace krCore::detail::reg {

class watch;

class fs_key : public key {
 public:
  explicit fs_key(int fd) : fd(fd) {}
  ~fs_key() override;
  fs_key(const fs_key&) = delete;
  fs_key& operator=(const fs_key&) = delete;

  const int fd;  // O_RDONLY | O_DIRECTORY, owned
  library_mutex watch_mutex;
  std::shared_ptr<watch> watcher;  // made by the first change request
};

inline const fs_key& as_fs(const key& k) { return static_cast<const fs_key&>(k); }
inline fs_key& as_fs(key& k) { return static_cast<fs_key&>(k); }

// True when the folder behind `fd` has been removed.
bool folder_gone(int fd);

}  // namespace krCore::detail::reg
