// The facts of the system-information block, read from Linux sources: the
// local clock, /proc/self/exe, the password database, uname, sysconf,
// /proc/meminfo, /proc/self/status and the address-space limit.
#include <pwd.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sysutil/environment.h"
#include "time/filetime.h"
#include "diagnostics/system_facts.h"
#include "foundation/utf.h"

namespace krCore::detail {
namespace {

constexpr unsigned long long kKiB = 1024;
// The user half of the x86-64 address space (47 bits).
constexpr unsigned long long kUserAddressSpace = 1ull << 47;

// Reads "Key:   value kB" lines of a /proc file; each key found is stored in
// bytes. Keys not found leave their value untouched.
struct proc_field {
  const char* key;
  unsigned long long* bytes;
  bool found;
};

void read_proc_fields(const char* path, proc_field* fields, std::size_t count) {
  std::FILE* f = std::fopen(path, "re");
  if (!f) return;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t n = std::strlen(fields[i].key);
      if (std::strncmp(line, fields[i].key, n) != 0 || line[n] != ':') continue;
      // strtoull, unlike a scanf conversion, reports a number out of range.
      char* end = nullptr;
      errno = 0;
      const unsigned long long kib = std::strtoull(line + n + 1, &end, 10);
      if (end != line + n + 1 && errno == 0) {
        *fields[i].bytes = kib * kKiB;
        fields[i].found = true;
      }
    }
  }
  (void)std::fclose(f);  // read only: closing cannot lose anything
}

std::wstring effective_user() {
  std::vector<char> buf(1024);
  passwd pw{};
  passwd* found = nullptr;
  while (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return found && found->pw_name ? wide_from_utf8(found->pw_name) : std::wstring();
}

}  // namespace

system_facts read_system_facts() noexcept {
  system_facts f;
  try {
    get_local_time(f.local_time);
    unsigned long error = 0;
    f.executable = executable_path(error);
    if (error) f.executable.clear();
    f.user = effective_user();
  } catch (...) {
    // Out of memory while building texts: report what was read.
  }

  utsname uts{};
  if (uname(&uts) == 0) {
    unsigned major = 0, minor = 0, build = 0;
    // The parts of a kernel release are small numbers; one out of range would
    // only give a wrong version, never a fault.
    const int n = std::sscanf(uts.release, "%u.%u.%u", &major, &minor, &build);  // NOLINT(cert-err34-c)
    if (n >= 2) {
      f.os_known = true;
      f.os_major = major;
      f.os_minor = minor;
      f.os_build = n == 3 ? build : 0;
    }
  }
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  f.processors = cpus > 0 ? static_cast<unsigned>(cpus) : 0;
  f.processor_type = 8664;

  unsigned long long committed = 0;
  proc_field mem[] = {{"MemTotal", &f.total_physical, false},
                      {"MemAvailable", &f.free_physical, false},
                      {"CommitLimit", &f.total_paging, false},
                      {"Committed_AS", &committed, false}};
  read_proc_fields("/proc/meminfo", mem, sizeof mem / sizeof mem[0]);
  if (f.total_physical > 0 && f.free_physical <= f.total_physical)
    f.memory_load =
        static_cast<unsigned>((f.total_physical - f.free_physical) * 100 / f.total_physical);
  f.free_paging = committed < f.total_paging ? f.total_paging - committed : 0;

  rlimit limit{};
  f.total_virtual = getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                        ? static_cast<unsigned long long>(limit.rlim_cur)
                        : kUserAddressSpace;
  unsigned long long mapped = 0;
  proc_field status[] = {{"VmSize", &mapped, false}};
  read_proc_fields("/proc/self/status", status, 1);
  f.free_virtual = mapped < f.total_virtual ? f.total_virtual - mapped : 0;
  return f;
}

}  // namespace krCore::detail
