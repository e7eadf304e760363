// The settings store on the file system: keys are folders, values are files
// named "@" + the escaped value name, each holding the value's text form. A
// name too long for one file name goes by its hash (value_file.h) and is
// kept inside: as the first line of a value file ("@" + the escaped name),
// in the file ".name" of a key's folder.
//
// A key's folder may belong to another account (a key delegated to it), so
// nothing here follows a link: every walk goes from descriptor to
// descriptor with O_NOFOLLOW / AT_SYMLINK_NOFOLLOW, and a link where a key
// or value should be is no key or value at all.
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

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
constexpr const char* kKeptNameFile = ".name";
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
    if (e->d_type == DT_LNK) continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode))
        continue;
      is_dir = S_ISDIR(st.st_mode);
    }
    if (!fn(std::string(e->d_name), is_dir)) break;
  }
  closedir(dir);
  return true;
}

// The start of `fd`, up to `limit` bytes.
std::string head_of(int fd, size_t limit) {
  std::string text(limit, '\0');
  size_t done = 0;
  while (done < limit) {
    const ssize_t n = pread(fd, text.data() + done, limit - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  return text;
}

// The name a hashed entry keeps, from the text that holds it ("@" + the
// escaped name for a value, the escaped name for a key, then a line end).
// It counts only when it hashes to the entry's own file name.
bool kept_name(std::string_view text, const std::string& file, kind k, std::wstring& name) {
  const size_t nl = text.find('\n');
  if (nl == std::string_view::npos) return false;
  std::string_view line = text.substr(0, nl);
  if (k == kind::value) {
    if (line.empty() || line[0] != '@') return false;
    line.remove_prefix(1);
  }
  if (!unescape_name(line, name) || name.empty()) return false;
  return (k == kind::value ? value_file_name(name) : key_file_name(name)) == file;
}

// Reads the name a hashed entry of `dir_fd` keeps.
bool read_kept_name(int dir_fd, const std::string& file, kind k, std::wstring& name) {
  unique_fd folder_fd;
  if (k == kind::subkey) {
    folder_fd.reset(openat(dir_fd, file.c_str(), kDirFlags));
    if (!folder_fd) return false;
  }
  unique_fd fd;
  struct stat st;
  if (!open_untrusted(k == kind::subkey ? folder_fd.get() : dir_fd,
                      k == kind::subkey ? kKeptNameFile : file, file_kind::regular,
                      final_link::refuse, fd, st))
    return false;
  return kept_name(head_of(fd.get(), kMaxKeptNameBytes), file, k, name);
}

// The name an entry of `dir_fd` stands for, when it is an entry of kind `k`.
bool entry_name(int dir_fd, const std::string& file, bool is_dir, kind k, std::wstring& name) {
  if (is_dir != (k == kind::subkey) || (file[0] == '@') != (k == kind::value)) return false;
  if (is_hashed_file_name(file)) return read_kept_name(dir_fd, file, k, name);
  return unescape_name(k == kind::value ? std::string_view(file).substr(1) : file, name);
}

// Finds the file of the entry `name` of kind `k`, matching case-insensitively
// after trying the exact spelling.
bool find_entry(int dir_fd, std::wstring_view name, kind k, std::string& file) {
  file = k == kind::value ? value_file_name(name) : key_file_name(name);
  struct stat st;
  if (fstatat(dir_fd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
      (k == kind::value ? !S_ISDIR(st.st_mode) : S_ISDIR(st.st_mode)))
    return true;
  // A hashed name meets every spelling of itself at once.
  if (is_hashed_file_name(file)) return false;
  bool found = false;
  each_entry(dir_fd, [&](const std::string& entry, bool is_dir) {
    std::wstring stored;
    if (entry_name(dir_fd, entry, is_dir, k, stored) && names_equal(stored, name)) {
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
    if (entry_name(fd, entry, is_dir, which, name)) names.push_back(std::move(name));
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

// Removes the entries of the folder `fd` up to its first folder, whose name
// it leaves in `folder` (empty when there is none). An entry that has gone
// meanwhile (another remover finishing the same tree) is no failure.
DWORD remove_files(int fd, std::string& folder) {
  folder.clear();
  const int own = openat(fd, ".", kDirFlags);
  if (own < 0) return from_errno(errno);
  DIR* dir = fdopendir(own);
  if (!dir) {
    const int e = errno;
    close(own);
    return from_errno(e);
  }
  DWORD rc = 0;
  while (const dirent* e = readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    struct stat st;
    if (fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      rc = from_errno(errno);
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      folder = entry;
      break;
    }
    if (unlinkat(fd, entry.c_str(), 0) != 0 && errno != ENOENT) {
      rc = from_errno(errno);
      break;
    }
  }
  closedir(dir);
  return rc;
}

// Removes the folder `name` of `dir_fd` and everything in it, however deep,
// with a few descriptors and no recursion: it goes down into the first
// folder it meets, and back up through ".." once a folder is empty, checking
// that ".." is still the folder it came from. Stops at the first failure and
// returns its code; what is left keeps its hidden name and is finished by a
// later deletion in the same folder (finish_leftovers).
DWORD remove_tree(int dir_fd, const std::string& name) {
  struct level {
    dev_t dev;
    ino_t ino;
    std::string child;  // the name of the folder below it
  };
  std::vector<level> above;  // the folders between `dir_fd` and `current`
  unique_fd current(openat(dir_fd, name.c_str(), kDirFlags));
  if (!current) return errno == ENOENT ? 0 : from_errno(errno);
  for (;;) {
    std::string sub;
    if (DWORD rc = remove_files(current.get(), sub)) return rc;
    if (!sub.empty()) {
      // Moved first: a watcher of that key learns at once that it is gone
      // (its removal shows only when the last handle closes).
      if (sub.rfind(".~del.", 0) != 0) {
        const std::string hidden = temporary_name("del");
        if (renameat(current.get(), sub.c_str(), current.get(), hidden.c_str()) == 0) sub = hidden;
      }
      unique_fd child(openat(current.get(), sub.c_str(), kDirFlags));
      if (!child) {
        if (errno == ENOENT) continue;
        return from_errno(errno);
      }
      struct stat st;
      if (fstat(current.get(), &st) != 0) return from_errno(errno);
      above.push_back(level{st.st_dev, st.st_ino, sub});
      current = std::move(child);
      continue;
    }
    if (above.empty()) break;
    unique_fd up(openat(current.get(), "..", kDirFlags));
    struct stat st;
    if (!up || fstat(up.get(), &st) != 0) return from_errno(errno);
    // Moved elsewhere meanwhile: removing by name there could hit anything.
    if (st.st_dev != above.back().dev || st.st_ino != above.back().ino) return kErrorAccessDenied;
    if (unlinkat(up.get(), above.back().child.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      return from_errno(errno);
    above.pop_back();
    current = std::move(up);
  }
  current.reset();
  if (unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
    return from_errno(errno);
  return 0;
}

// Finishes the hidden remains of earlier deletions in the locked folder
// `dir_fd` that stopped half-way; a failure leaves them for the next time.
void finish_leftovers(int dir_fd) {
  std::vector<std::string> leftovers;
  const int own = openat(dir_fd, ".", kDirFlags);
  if (own < 0) return;
  DIR* dir = fdopendir(own);
  if (!dir) {
    close(own);
    return;
  }
  while (const dirent* e = readdir(dir))
    if (std::string_view(e->d_name).rfind(".~del.", 0) == 0) leftovers.emplace_back(e->d_name);
  closedir(dir);
  for (const std::string& name : leftovers) remove_tree(dir_fd, name);
}

// Takes the sub-key folder `file` of the locked folder `parent_fd` out of
// the tree at once, then removes it.
DWORD remove_subkey(int parent_fd, const std::string& file) {
  const std::string hidden = temporary_name("del");
  if (renameat(parent_fd, file.c_str(), parent_fd, hidden.c_str()) != 0) return from_errno(errno);
  return remove_tree(parent_fd, hidden);
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


// Keeps the name of the new hashed key folder `file` of `parent_fd` inside it.
DWORD keep_name(int parent_fd, const std::string& file, std::wstring_view name) {
  unique_fd folder_fd(openat(parent_fd, file.c_str(), kDirFlags));
  if (!folder_fd) return from_errno(errno);
  unique_fd fd(openat(folder_fd.get(), kKeptNameFile,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
  if (!fd) return from_errno(errno);
  fchmod(fd.get(), kFileMode);
  return write_all(fd.get(), escape_name(name) + "\n") ? 0 : from_errno(errno);
}

bool has_subkeys(int dir_fd) {
  bool any = false;
  each_entry(dir_fd, [&](const std::string& entry, bool is_dir) {
    // A sub-key whose kept name cannot be read is a sub-key still.
    any = is_dir && entry[0] != '@';
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
  // The root is the administrator's own path: it may be reached by a link.
  constexpr int kRootFlags = kDirFlags & ~O_NOFOLLOW;
  int fd = open(path.c_str(), kRootFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (DWORD rc = make_folders(path)) return rc;
    fd = open(path.c_str(), kRootFlags);
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
        file = key_file_name(part);
        if (mkdirat(locked.fd(), file.c_str(), kDirMode) != 0) {
          const int e = errno;
          return folder_gone(locked.fd()) ? DWORD{kErrorKeyDeleted} : from_errno(e);
        }
        fchmodat(locked.fd(), file.c_str(), kDirMode, AT_SYMLINK_NOFOLLOW);
        if (is_hashed_file_name(file)) {
          if (DWORD rc = keep_name(locked.fd(), file, part)) {
            unlinkat(locked.fd(), file.c_str(), AT_REMOVEDIR);
            return rc;
          }
        }
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
  file_result opened = open_untrusted(dir_fd, file, file_kind::regular, final_link::refuse, fd, st);
  if (opened.code == kErrorFileNotFound && find_entry(dir_fd, name, kind::value, file))
    opened = open_untrusted(dir_fd, file, file_kind::regular, final_link::refuse, fd, st);
  if (opened.code == kErrorFileNotFound) return missing(dir_fd);
  // A folder, a FIFO, a device, a link or a file larger than any value:
  // refused.
  if (!opened) return refuse(dir_fd, file, opened);
  const bool hashed = is_hashed_file_name(file);
  std::string text;
  const file_result read = read_bounded(fd.get(), file,
                                        kMaxValueFileBytes + (hashed ? kMaxKeptNameBytes : 0),
                                        text, 0, &st);
  if (!read) return refuse(dir_fd, file, read);
  std::string_view body = text;
  if (hashed) {
    std::wstring kept;
    if (!kept_name(body, file, kind::value, kept) || !names_equal(kept, name))
      return refuse(dir_fd, file, kErrorInvalidData, "keeps no name, or another one");
    body.remove_prefix(body.find('\n') + 1);
  }
  std::string why;
  const DWORD rc = parse_value_file(body, type, image, &why);
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
  if (is_hashed_file_name(file)) text.insert(0, "@" + escape_name(name) + "\n");
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
  finish_leftovers(locked.fd());
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
  finish_leftovers(locked.fd());
  std::vector<std::pair<std::string, bool>> entries;
  each_entry(locked.fd(), [&](const std::string& entry, bool is_dir) {
    entries.emplace_back(entry, is_dir);
    return true;
  });
  for (const auto& [entry, is_dir] : entries) {
    if (is_dir) {
      if (DWORD rc = remove_subkey(locked.fd(), entry)) return rc;
    } else if (entry[0] == '@') {
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
  if (fstatat(as_fs(k).fd, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return from_errno(errno);
  const std::uint64_t units = (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) *
                                  10000000ull +
                              static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
  time.dwLowDateTime = static_cast<DWORD>(units);
  time.dwHighDateTime = static_cast<DWORD>(units >> 32);
  return 0;
}

}  // namespace krCore::detail::reg
