// The settings store on the file system: keys are folders, values are files
// named "@" + the escaped value name, each holding the value's text form.
//
// Readers take no lock: a value is replaced by renaming a complete new file
// over it, so a reader opens either the old file or the new one. Writers of
// one key lock its folder (flock on a descriptor of their own, so that two
// threads of one process exclude each other as two processes do) while they
// look a name up and change it, so that two writers cannot create two
// entries whose names differ only in case. A key is deleted by renaming its
// folder to a hidden temporary name first, so that it disappears at once,
// then removing what it held.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/errors.h"
#include "foundation/process_calls.h"
#include "foundation/linux/untrusted_file.h"
#include "logging/debug_output.h"
#include "registry/linux/fs_key.h"
#include "registry/value_file.h"

namespace krCore::detail::reg {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t kDirMode = 0755;
constexpr mode_t kFileMode = 0644;

enum class kind { subkey, value };

DWORD from_errno(int e) { return static_cast<DWORD>(win32_from_errno(e)); }

// The code for a name that is not there: the key itself may have gone.
DWORD missing(int dir_fd) {
  return folder_gone(dir_fd) ? DWORD{kErrorKeyDeleted} : DWORD{kErrorFileNotFound};
}

// A descriptor of its own on a key's folder, optionally holding the
// writers' lock; closing it releases the lock.
class folder {
 public:
  folder(int parent_fd, const char* name, bool lock) : _fd(openat(parent_fd, name, kDirFlags)) {
    if (_fd >= 0 && lock) {
      while (flock(_fd, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~folder() {
    if (_fd >= 0) close(_fd);
  }
  folder(const folder&) = delete;
  folder& operator=(const folder&) = delete;
  int fd() const { return _fd; }
  void reset(int fd) {
    if (_fd >= 0) close(_fd);
    _fd = fd;
  }
  int release() {
    const int fd = _fd;
    _fd = -1;
    return fd;
  }

 private:
  int _fd;
};

// Calls fn(file name, is_dir) for each entry that is a key or a value (not
// one of the store's hidden temporaries). False when the folder cannot be
// read.
template <class Fn>
bool each_entry(int dir_fd, Fn fn) {
  const int fd = openat(dir_fd, ".", kDirFlags);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      if (fstatat(dir_fd, e->d_name, &st, 0) != 0) continue;
      is_dir = S_ISDIR(st.st_mode);
    }
    if (!fn(std::string(e->d_name), is_dir)) break;
  }
  closedir(dir);
  return true;
}

// The name an entry stands for, when it is an entry of kind `k`.
bool entry_name(const std::string& file, bool is_dir, kind k, std::wstring& name) {
  if (k == kind::value) return !is_dir && file[0] == '@' && unescape_name(file.substr(1), name);
  return is_dir && file[0] != '@' && unescape_name(file, name);
}

// Finds the file of the entry `name` of kind `k`, matching case-insensitively
// after trying the exact spelling.
bool find_entry(int dir_fd, std::wstring_view name, kind k, std::string& file) {
  file = k == kind::value ? value_file_name(name) : escape_name(name);
  struct stat st;
  if (fstatat(dir_fd, file.c_str(), &st, 0) == 0 &&
      (k == kind::value ? !S_ISDIR(st.st_mode) : S_ISDIR(st.st_mode)))
    return true;
  bool found = false;
  each_entry(dir_fd, [&](const std::string& entry, bool is_dir) {
    std::wstring stored;
    if (entry_name(entry, is_dir, k, stored) && names_equal(stored, name)) {
      file = entry;
      found = true;
    }
    return !found;
  });
  return found;
}

DWORD list_entries(const key& k, kind which, std::vector<std::wstring>& names) {
  names.clear();
  const int fd = as_fs(k).fd;
  const bool read = each_entry(fd, [&](const std::string& entry, bool is_dir) {
    std::wstring name;
    if (entry_name(entry, is_dir, which, name)) names.push_back(std::move(name));
    return true;
  });
  if (!read) return folder_gone(fd) ? DWORD{kErrorKeyDeleted} : from_errno(errno);
  std::sort(names.begin(), names.end(),
            [](const std::wstring& a, const std::wstring& b) { return names_less(a, b); });
  return 0;
}

// A hidden name, unique in this process, for temporaries.
std::string temporary_name(const char* what) {
  static std::atomic<unsigned long> counter{0};
  return std::string(".~") + what + "." + std::to_string(getpid()) + "." +
         std::to_string(counter.fetch_add(1));
}

// Removes the folder `name` of `dir_fd` and everything in it.
void remove_tree(int dir_fd, const std::string& name) {
  const int fd = openat(dir_fd, name.c_str(), kDirFlags | O_NOFOLLOW);
  if (fd >= 0) {
    if (DIR* dir = fdopendir(fd)) {
      while (const dirent* e = readdir(dir)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        struct stat st;
        if (fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
          // Moved first: a watcher of that key learns at once that it is
          // gone (its removal shows only when the last handle closes).
          const std::string hidden = temporary_name("del");
          remove_tree(fd, renameat(fd, entry.c_str(), fd, hidden.c_str()) == 0 ? hidden : entry);
        } else
          unlinkat(fd, entry.c_str(), 0);
      }
      closedir(dir);
    } else {
      close(fd);
    }
  }
  unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
}

// Takes the sub-key folder `file` of the locked folder `parent_fd` out of
// the tree at once, then removes it.
DWORD remove_subkey(int parent_fd, const std::string& file) {
  const std::string hidden = temporary_name("del");
  if (renameat(parent_fd, file.c_str(), parent_fd, hidden.c_str()) != 0) return from_errno(errno);
  remove_tree(parent_fd, hidden);
  return 0;
}

bool has_subkeys(int dir_fd) {
  bool any = false;
  each_entry(dir_fd, [&](const std::string& entry, bool is_dir) {
    std::wstring name;
    any = entry_name(entry, is_dir, kind::subkey, name);
    return !any;
  });
  return any;
}

DWORD make_folders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), kDirMode) == 0) {
      chmod(part.c_str(), kDirMode);
    } else if (errno != EEXIST) {
      return from_errno(errno);
    }
  }
  return 0;
}

// The diagnostic of this thread's last refused value read.
thread_local std::string t_refusal;

// Refuses the value file `file` of the key folder `dir_fd` with `code`:
// one line naming the file by its full path and saying why goes to the
// debugger output and is kept for last_refusal(). Runs only on the failure
// path, so the path is looked up only then.
DWORD refuse(int dir_fd, const std::string& file, DWORD code, std::string_view why) {
  char folder[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(dir_fd);
  const ssize_t n = readlink(link.c_str(), folder, sizeof folder - 1);
  std::string line = "registry: value file [";
  line.append(n > 0 ? std::string_view(folder, static_cast<size_t>(n)) : std::string_view("?"))
      .append("/")
      .append(file)
      .append("] refused (error ")
      .append(std::to_string(code))
      .append("): ")
      .append(why);
  t_refusal = line;
  debug_output(line + "\r\n");
  return code;
}

// The same for a refusal of the open or the read: its own reason, without
// the file name it starts with.
DWORD refuse(int dir_fd, const std::string& file, const file_result& result) {
  std::string_view why = result.diagnostic;
  const std::string prefix = "[" + file + "] ";
  if (why.substr(0, prefix.size()) == prefix) why.remove_prefix(prefix.size());
  return refuse(dir_fd, file, static_cast<DWORD>(result.code), why);
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace


bool folder_gone(int fd) {
  struct stat st;
  return fstat(fd, &st) != 0 || st.st_nlink == 0;
}

DWORD open_hive(const char* hive, bool create, key_ptr& out) {
  const char* root = library_setting("KRCORE_REGISTRY_ROOT");
  std::string path = (root && *root) ? root : "/etc/krcore/registry";
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path += '/';
  path += hive;
  int fd = open(path.c_str(), kDirFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (DWORD rc = make_folders(path)) return rc;
    fd = open(path.c_str(), kDirFlags);
  }
  if (fd < 0) return from_errno(errno);
  out = std::make_shared<fs_key>(fd);
  return 0;
}

DWORD open_key(const key& parent, const std::vector<std::wstring>& path, bool create, bool write,
               key_ptr& out, bool* created) {
  folder current(as_fs(parent).fd, ".", false);
  if (current.fd() < 0) return from_errno(errno);
  if (folder_gone(current.fd())) return kErrorKeyDeleted;
  bool made = false;
  for (const std::wstring& part : path) {
    std::string file;
    made = false;
    if (!find_entry(current.fd(), part, kind::subkey, file)) {
      if (!create) return missing(current.fd());
      // Look again under the writers' lock: another writer may have made it.
      folder locked(current.fd(), ".", true);
      if (locked.fd() < 0) return from_errno(errno);
      if (!find_entry(locked.fd(), part, kind::subkey, file)) {
        file = escape_name(part);
        if (mkdirat(locked.fd(), file.c_str(), kDirMode) != 0) {
          const int e = errno;
          return folder_gone(locked.fd()) ? DWORD{kErrorKeyDeleted} : from_errno(e);
        }
        fchmodat(locked.fd(), file.c_str(), kDirMode, 0);
        made = true;
      }
    }
    folder next(current.fd(), file.c_str(), false);
    if (next.fd() < 0) return errno == ENOENT ? DWORD{kErrorFileNotFound} : from_errno(errno);
    current.reset(next.release());
  }
  if (write && faccessat(current.fd(), ".", W_OK, AT_EACCESS) != 0) return from_errno(errno);
  if (created) *created = made;
  out = std::make_shared<fs_key>(current.release());
  return 0;
}

DWORD read_value(const key& k, const std::wstring& name, DWORD& type, std::vector<BYTE>& image) {
  t_refusal.clear();
  const int dir_fd = as_fs(k).fd;
  std::string file = value_file_name(name);
  unique_fd fd;
  struct stat st;
  file_result opened = open_untrusted(dir_fd, file, file_kind::regular, final_link::follow, fd, st);
  if (opened.code == kErrorFileNotFound && find_entry(dir_fd, name, kind::value, file))
    opened = open_untrusted(dir_fd, file, file_kind::regular, final_link::follow, fd, st);
  if (opened.code == kErrorFileNotFound) return missing(dir_fd);
  // A folder, a FIFO, a device or a file larger than any value: refused.
  if (!opened) return refuse(dir_fd, file, opened);
  std::string text;
  const file_result read = read_bounded(fd.get(), file, kMaxValueFileBytes, text, 0, &st);
  if (!read) return refuse(dir_fd, file, read);
  std::string why;
  const DWORD rc = parse_value_file(text, type, image, &why);
  return rc ? refuse(dir_fd, file, rc, why) : 0;
}

std::string last_refusal() { return t_refusal; }

DWORD write_value(const key& k, const std::wstring& name, DWORD type, const BYTE* data,
                  size_t size) {
  std::string text;
  if (DWORD rc = format_value_file(type, data, size, text)) return rc;
  folder locked(as_fs(k).fd, ".", true);
  if (locked.fd() < 0) return from_errno(errno);
  if (folder_gone(locked.fd())) return kErrorKeyDeleted;
  std::string file;
  if (!find_entry(locked.fd(), name, kind::value, file)) file = value_file_name(name);
  const std::string temp = temporary_name("new");
  const int fd = openat(locked.fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
  if (fd < 0) return from_errno(errno);
  fchmod(fd, kFileMode);
  const bool written = write_all(fd, text) && fdatasync(fd) == 0;
  const int e = errno;
  close(fd);
  if (!written || renameat(locked.fd(), temp.c_str(), locked.fd(), file.c_str()) != 0) {
    const int failure = written ? errno : e;
    unlinkat(locked.fd(), temp.c_str(), 0);
    return from_errno(failure);
  }
  return 0;
}

DWORD delete_value(const key& k, const std::wstring& name) {
  folder locked(as_fs(k).fd, ".", true);
  if (locked.fd() < 0) return from_errno(errno);
  std::string file;
  if (!find_entry(locked.fd(), name, kind::value, file))
    return missing(locked.fd());
  return unlinkat(locked.fd(), file.c_str(), 0) == 0 ? 0 : from_errno(errno);
}

DWORD delete_key(const key& k, const std::vector<std::wstring>& path, bool tree) {
  key_ptr parent;
  const std::vector<std::wstring> above(path.begin(), path.end() - 1);
  if (DWORD rc = open_key(k, above, false, false, parent, nullptr)) return rc;
  folder locked(as_fs(*parent).fd, ".", true);
  if (locked.fd() < 0) return from_errno(errno);
  std::string file;
  if (!find_entry(locked.fd(), path.back(), kind::subkey, file))
    return missing(locked.fd());
  if (!tree) {
    folder child(locked.fd(), file.c_str(), false);
    if (child.fd() >= 0 && has_subkeys(child.fd())) return kErrorAccessDenied;
  }
  return remove_subkey(locked.fd(), file);
}

DWORD clear_key(const key& k) {
  folder locked(as_fs(k).fd, ".", true);
  if (locked.fd() < 0) return from_errno(errno);
  if (folder_gone(locked.fd())) return kErrorKeyDeleted;
  std::vector<std::pair<std::string, bool>> entries;
  each_entry(locked.fd(), [&](const std::string& entry, bool is_dir) {
    entries.emplace_back(entry, is_dir);
    return true;
  });
  for (const auto& [entry, is_dir] : entries) {
    std::wstring name;
    if (entry_name(entry, is_dir, kind::subkey, name)) {
      if (DWORD rc = remove_subkey(locked.fd(), entry)) return rc;
    } else if (entry_name(entry, is_dir, kind::value, name)) {
      if (unlinkat(locked.fd(), entry.c_str(), 0) != 0 && errno != ENOENT) return from_errno(errno);
    }
  }
  return 0;
}

DWORD list_subkeys(const key& k, std::vector<std::wstring>& names) {
  return list_entries(k, kind::subkey, names);
}

DWORD list_values(const key& k, std::vector<std::wstring>& names) {
  return list_entries(k, kind::value, names);
}

DWORD subkey_time(const key& k, const std::wstring& name, FILETIME& time) {
  std::string file;
  struct stat st;
  if (!find_entry(as_fs(k).fd, name, kind::subkey, file)) return kErrorFileNotFound;
  if (fstatat(as_fs(k).fd, file.c_str(), &st, 0) != 0) return from_errno(errno);
  const std::uint64_t units = (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) *
                                  10000000ull +
                              static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
  time.dwLowDateTime = static_cast<DWORD>(units);
  time.dwHighDateTime = static_cast<DWORD>(units >> 32);
  return 0;
}

}  // namespace krCore::detail::reg
