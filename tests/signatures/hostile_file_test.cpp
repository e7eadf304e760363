// Files that change or lie while they are verified: a signed file that
// another process truncates and restores during the checks, and a FIFO
// named as the file to verify. Neither may kill or hold the caller.
#include <fcntl.h>
#include <krcore/foundation.h>
#include <krcore/signatures.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/in_child.h"
#include "foundation/utf.h"
#include "signature_support.h"

using namespace sigtest;
using testsupport::child_status;

namespace {

class FileUnderCheck : public SignatureTest {};

std::string describe(int status) {
  if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
  return "exit code " + std::to_string(WEXITSTATUS(status));
}

TEST_F(FileUnderCheck, AFileTruncatedDuringTheCheckGivesAVerdict) {
  const std::vector<unsigned char> bytes = read_bytes(fixture("big.exe"));
  ASSERT_GT(bytes.size(), 8192u);
  const fs::path file = scratch / "shrinking.exe";
  write_bytes(file, bytes);
  const std::wstring wfile = krCore::convertstringtowstring(file.string());

  const int status = child_status([&] {
    alarm(120);
    // The other process cuts the file short and lets it grow back (as
    // zeros), over and over, a bounded number of times, then writes the
    // original bytes back.
    const pid_t cutter = fork();
    if (cutter == 0) {
      const int fd = ::open(file.c_str(), O_WRONLY);
      const auto size = static_cast<off_t>(bytes.size());
      for (int i = 0; fd >= 0 && i < 50000; ++i)
        if (::ftruncate(fd, 4096) != 0 || ::ftruncate(fd, size) != 0) break;
      const auto rest = static_cast<ssize_t>(bytes.size() - 4096);
      _exit(::pwrite(fd, bytes.data() + 4096, static_cast<std::size_t>(rest), 4096) == rest ? 0 : 1);
    }
    int checks = 0;
    int status = 0;
    bool cutting = true;
    for (; checks < 2000 && cutting; ++checks) {
      (void)krCore::winverifytrustonfile(wfile);
      cutting = waitpid(cutter, &status, WNOHANG) == 0;
    }
    if (cutting) waitpid(cutter, &status, 0);
    return checks > 0 ? 0 : 1;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
  // Whole again, the file is trusted as before.
  EXPECT_EQ(krCore::winverifytrustonfile(wfile), 0u);
}

TEST_F(FileUnderCheck, AFifoIsRefusedAtOnceByEveryCheck) {
  const fs::path fifo = scratch / "fifo.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::wstring wfifo = krCore::convertstringtowstring(fifo.string());
  const int status = child_status([&] {
    alarm(120);
    int failures = 0;
    if (krCore::winverifytrustonfile(wfifo) != 0x80070005u) failures |= 1;
    if (krCore::verifydigitalcertificate({L".*"}, wfifo)) failures |= 2;
    std::wstring publisher, issuer;
    try {
      krCore::getfiledigitalsignatureinfo(wfifo, publisher, issuer);
      failures |= 4;
    } catch (const krException& e) {
      if (e.code() != 5) failures |= 8;
    }
    return failures;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
}

}  // namespace

// A file whose folder name is not UTF-8 (a Latin-1 "café") is the file the
// caller named: its wide name carries the bytes through the library's
// file-name mapping, so the check reads that file. A file signed under an
// untrusted root is used because a file that cannot be read answers 0.
TEST_F(FileUnderCheck, ANameThatIsNotUtf8ReachesTheSameFile) {
  const fs::path folder = scratch / "caf\xE9";
  fs::create_directories(folder);
  fs::copy_file(fixture("stranger.exe"), folder / "stranger.exe");
  const std::wstring odd = krCore::detail::wide_from_file_name((folder / "stranger.exe").string());
  EXPECT_EQ(krCore::winverifytrustonfile(odd), 0x800B0109ul);
}
