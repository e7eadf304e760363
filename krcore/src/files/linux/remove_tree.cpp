// Removal of a file or a whole tree on Linux, by descriptor.
//
// The tree may hold folders that other accounts own, and they may change it
// while it is removed: a sub-folder renamed away and replaced by a link to a
// folder the caller alone may read. A walk that resolves each entry by its
// full path again would follow that link and remove what it points to. Here
// every folder is opened relative to the descriptor of the folder above it,
// never through a link (O_NOFOLLOW | O_DIRECTORY), every entry is judged
// without following a link and removed relative to the descriptor it was
// found in: a swapped name is at worst a link that is removed itself, and a
// folder renamed away while it is walked is still the folder being emptied.
//
// The walk keeps its own stack of open folders instead of recursing, so a
// deep tree costs heap, not the caller's stack; it holds one descriptor per
// level and stops at kMaxDepth levels, or where the descriptor limit stops
// it, with an error that names that limit.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <string>
#include <vector>

#include "files/file_services.h"
#include "foundation/linux/untrusted_file.h"

namespace krCore::detail {
namespace {

constexpr std::size_t kMaxDepth = 256;
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

[[noreturn]] void fail(const std::string& what, const std::string& shown, int err) {
  std::string why = what;
  if (err == EMFILE || err == ENFILE)
    why.append(" (the open-descriptor limit, RLIMIT_NOFILE, was reached)");
  throw boost::filesystem::filesystem_error(
      why, boost::filesystem::path(shown),
      boost::system::error_code(err, boost::system::system_category()));
}

// One folder being walked and its name in the folder above.
struct level {
  DIR* dir;
  std::string name;
};

// The open folders of a walk, closed however the walk ends.
class level_stack {
 public:
  ~level_stack() {
    for (level& l : _levels) ::closedir(l.dir);
  }
  std::vector<level>& levels() { return _levels; }

 private:
  std::vector<level> _levels;
};

// What a pass does with one entry. `leaf` is called for every entry that is
// not a folder, `folder_done` for every folder below the top after its
// entries; both get the descriptor of the folder the entry is in and return
// 0 or an errno value. A leaf that finds a folder after all answers EISDIR
// to have it walked.
struct pass {
  int (*leaf)(int dir_fd, const char* name);
  int (*folder_done)(int dir_fd, const char* name);
};

std::string joined(const std::string& shown, const char* name) {
  std::string s = shown;
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s.append(name);
}

// Walks every entry below the folder open as `top` (the descriptor is taken
// over), depth first, children before their folder. Throws at the first
// failure, naming the entry.
void walk_below(int top, const std::string& shown, const pass& how) {
  level_stack stack;
  DIR* const first = ::fdopendir(top);
  if (!first) {
    const int err = errno;
    ::close(top);
    fail("cannot read the folder", shown, err);
  }
  auto& levels = stack.levels();
  levels.push_back({first, std::string()});
  // The path of the folder being read, for the messages only.
  std::string where = shown;
  std::vector<std::size_t> lengths;
  while (!levels.empty()) {
    DIR* const dir = levels.back().dir;
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) fail("cannot read the folder", where, errno);
      const std::string name = std::move(levels.back().name);
      ::closedir(dir);
      levels.pop_back();
      if (levels.empty()) break;
      where.resize(lengths.back());
      lengths.pop_back();
      const int err = how.folder_done(::dirfd(levels.back().dir), name.c_str());
      if (err != 0) fail("cannot remove the folder", joined(where, name.c_str()), err);
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    const int dir_fd = ::dirfd(dir);
    bool folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        fail("cannot be examined", joined(where, name), errno);
      }
      folder = S_ISDIR(st.st_mode);
    }
    if (!folder) {
      const int err = how.leaf(dir_fd, name);
      if (err == 0) continue;
      if (err != EISDIR) fail("cannot be removed", joined(where, name), err);
    }
    if (levels.size() >= kMaxDepth)
      fail("is more than " + std::to_string(kMaxDepth) + " folders deep", joined(where, name),
           ENAMETOOLONG);
    const int fd = ::openat(dir_fd, name, kOpenFolder);
    if (fd < 0) {
      const int err = errno;
      if (err == ENOENT) continue;
      // Replaced by a link or a file since it was listed: that is what goes.
      if (err == ELOOP || err == ENOTDIR) {
        const int leaf_err = how.leaf(dir_fd, name);
        if (leaf_err == 0) continue;
        fail("cannot be removed", joined(where, name), leaf_err);
      }
      fail("cannot be opened", joined(where, name), err);
    }
    DIR* const sub = ::fdopendir(fd);
    if (!sub) {
      const int err = errno;
      ::close(fd);
      fail("cannot read the folder", joined(where, name), err);
    }
    levels.push_back({sub, name});
    lengths.push_back(where.size());
    where = joined(where, name);
  }
}

// The in-use pass: a regular file a log-file writer holds (its exclusive
// lock) makes the whole removal wait. What cannot be probed is left to the
// removal itself.
int probe_leaf(int dir_fd, const char* name) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  const bool held = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held ? EBUSY : 0;
}

int no_folder_step(int, const char*) { return 0; }

int remove_leaf(int dir_fd, const char* name) {
  if (::unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return 0;
  return errno;
}

int remove_folder(int dir_fd, const char* name) {
  if (::unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  return errno;
}

constexpr pass kProbe{probe_leaf, no_folder_step};
constexpr pass kRemove{remove_leaf, remove_folder};

// Runs `how` over the entry `name` in `parent_fd` and, for a folder, over
// everything below it.
void run(int parent_fd, const std::string& name, const std::string& shown, const pass& how) {
  const int fd = ::openat(parent_fd, name.c_str(), kOpenFolder);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) return;
    if (err != ELOOP && err != ENOTDIR) fail("cannot be opened", shown, err);
    if (const int leaf_err = how.leaf(parent_fd, name.c_str()))
      fail(leaf_err == EBUSY ? "the file is held open by a log writer" : "cannot be removed", shown,
           leaf_err);
    return;
  }
  try {
    walk_below(fd, shown, how);
  } catch (const boost::filesystem::filesystem_error& e) {
    if (e.code().value() == EBUSY)
      throw boost::filesystem::filesystem_error("the file is held open by a log writer", e.path1(),
                                                e.code());
    throw;
  }
  if (const int err = how.folder_done(parent_fd, name.c_str()))
    fail("cannot remove the folder", shown, err);
}

}  // namespace

void remove_path(const boost::filesystem::path& path) {
  std::string shown = path.string();
  while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  const std::string::size_type slash = shown.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : shown.substr(0, slash);
  const std::string name = slash == std::string::npos ? shown : shown.substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    fail("cannot be removed by that name", shown, EINVAL);
  // The folders above the one removed are the caller's to name; from the
  // folder that holds it on, nothing is reached through a path again.
  const int parent = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) {
    if (errno == ENOENT) return;
    fail("cannot be opened", folder, errno);
  }
  const unique_fd held(parent);
  run(parent, name, shown, kProbe);
  run(parent, name, shown, kRemove);
}

}  // namespace krCore::detail
