// The client side of the machine key helper (see key_helper.h): one run of
// the helper per call, over a socket pair that is the helper's standard
// input and output. The helper is held by a process descriptor from the
// moment it starts, so it is collected here and nowhere else, and a helper
// that does not answer in time is ended through that descriptor.
#include "protection/linux/key_helper.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <krcore/exceptions.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/kill_hold.h"
#include "foundation/linux/untrusted_file.h"
#include "foundation/process_calls.h"
#include "logging/debug_output.h"
#include "processes/linux/spawn.h"
#include "protection/data_protection.h"

#ifndef KRCORE_KEY_HELPER
#define KRCORE_KEY_HELPER "/usr/lib/qmcore/krkeyhelper"
#endif

namespace krCore::detail {
namespace {

using clock = std::chrono::steady_clock;
constexpr auto kHelperTime = std::chrono::seconds(30);

// Waits until `fd` is ready for `events` or the deadline passes.
bool ready(int fd, short events, clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Sends or receives all `size` bytes within the deadline; false when the
// time is up, the helper went, or a call failed.
bool transfer(bool sending, int fd, unsigned char* data, std::size_t size,
              clock::time_point deadline) {
  while (size) {
    if (!ready(fd, sending ? POLLOUT : POLLIN, deadline)) return false;
    const ssize_t n = sending ? ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : ::recv(fd, data, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool send_all(int fd, const unsigned char* data, std::size_t size, clock::time_point deadline) {
  return transfer(true, fd, const_cast<unsigned char*>(data), size, deadline);
}

bool receive_all(int fd, unsigned char* data, std::size_t size, clock::time_point deadline) {
  return transfer(false, fd, data, size, deadline);
}

// Collects the helper, ending it first when it has not ended on its own
// by the deadline (at once with `end_it`).
void collect(int pidfd, bool end_it, clock::time_point deadline) {
  if (end_it || !ready(pidfd, POLLIN, deadline))
    (void)::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
  siginfo_t info;
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0 &&
         errno == EINTR) {
  }
  ::close(pidfd);
}

unsigned long refuse(const std::string& helper, const std::string& key_file,
                     const std::string& why) {
  debug_output("machine key [" + key_file + "] is readable by root alone, and its helper [" +
               helper + "] " + why + "; nothing can be protected or unprotected by this account\n");
  return kErrorAccessDenied;
}

}  // namespace

std::string key_helper_path() {
  const char* set = library_setting("KRCORE_KEY_HELPER");
  return set && *set ? std::string(set) : std::string(KRCORE_KEY_HELPER);
}

unsigned long run_key_helper(char op, const DATA_BLOB* in, const DATA_BLOB* entropy,
                             const std::string& key_file, DATA_BLOB* out) {
  const std::size_t entropy_size = entropy ? entropy->cbData : 0;
  if (in->cbData > kHelperMaxData || entropy_size > kHelperMaxData) return kErrorNotEnoughMemory;
  // Bounded by the deadline; a thread ended by force meanwhile would leave
  // the helper, running as root, waiting on a socket nobody closes.
  const kill_hold hold;
  const std::string helper = key_helper_path();

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return last_errno_as_win32();
  unique_fd mine(pair[0]);
  unique_fd theirs(pair[1]);
  char* const argv[] = {const_cast<char*>(helper.c_str()), nullptr};
  pid_t pid = 0;
  int pidfd = -1;
  if (const int err = spawn_with_pidfd(helper, false, argv, "", pid, pidfd, theirs.get())) {
    return refuse(helper, key_file,
                  err == ENOENT ? std::string("is missing")
                                : "cannot be run (" +
                                      geterrormessage_shortstring(win32_from_errno(err)) + ")");
  }
  theirs.reset();

  const clock::time_point deadline = clock::now() + kHelperTime;
  unsigned char head[kHelperRequestHeader] = {};
  std::memcpy(head, kHelperMagic, sizeof kHelperMagic);
  head[4] = kHelperVersion;
  head[5] = static_cast<unsigned char>(op);
  put_le32(head + 8, static_cast<std::uint32_t>(entropy_size));
  put_le32(head + 12, in->cbData);
  bool ok = send_all(mine.get(), head, sizeof head, deadline) &&
            send_all(mine.get(), entropy_size ? entropy->pbData : nullptr, entropy_size, deadline) &&
            send_all(mine.get(), in->pbData, in->cbData, deadline) &&
            ::shutdown(mine.get(), SHUT_WR) == 0;

  unsigned char answer[kHelperAnswerHeader];
  ok = ok && receive_all(mine.get(), answer, sizeof answer, deadline) &&
       std::memcmp(answer, kHelperMagic, sizeof kHelperMagic) == 0;
  const unsigned long code = ok ? get_le32(answer + 4) : 0;
  const std::size_t size = ok ? get_le32(answer + 8) : 0;
  BYTE* result = nullptr;
  if (ok && code == 0) {
    ok = size <= kHelperMaxData + kBlobMinSize;
    result = ok ? static_cast<BYTE*>(LocalAlloc(0, size ? size : 1)) : nullptr;
    if (ok && !result) {
      collect(pidfd, true, deadline);
      return kErrorNotEnoughMemory;
    }
    ok = ok && receive_all(mine.get(), result, size, deadline);
  }
  collect(pidfd, !ok, deadline);
  if (!ok) {
    if (result) {
      wipe_secret(result, size ? size : 1);
      LocalFree(result);
    }
    return refuse(helper, key_file, "gave no answer");
  }
  if (code != 0) return code;
  out->pbData = result;
  out->cbData = static_cast<DWORD>(size);
  return 0;
}

}  // namespace krCore::detail
