// Log files at the system's limits: the process's file-size limit and a
// full disk (a small tmpfs of its own). Each case runs in a child process
// of its own, as both change the whole process (a limit, a mount
// namespace) and the fault they guard against ends it.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sched.h>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

// Every line of the files of `base` (numbers 1..max) outside the settings
// reports must be one of ours, whole: its tag, then the filler, then " end".
// Returns the tags seen, or an empty list and `torn` set.
std::vector<std::wstring> whole_lines(const fs::path& base, int max, const std::wstring& filler,
                                      bool& torn) {
  std::vector<std::wstring> tags;
  torn = false;
  for (int n = max; n >= 1; --n) {
    const fs::path file = numbered(base, n);
    if (!fs::exists(file)) continue;
    for (const std::wstring& line : read_log(file).lines()) {
      if (is_report(line)) continue;
      const size_t at = line.find(L"[INFO] ");
      const size_t space = at == std::wstring::npos ? at : line.find(L' ', at + 7);
      if (space == std::wstring::npos || line.substr(space + 1) != filler + L" end" ||
          line.find(L"[INFO] ", at + 1) != std::wstring::npos) {
        torn = true;
        return {};
      }
      tags.push_back(line.substr(at + 7, space - at - 7));
    }
  }
  return tags;
}

// With the file-size limit below the logger's own size limit, the line that
// meets it is dropped and said so, the file is replaced by a fresh one, and
// the process goes on; every other line is there, whole.
TEST_F(LogFileTest, TheFileSizeLimitDropsALineAndRotatesInsteadOfEndingTheProcess) {
  const fs::path base = dir / "Svc";
  const auto child = [&] {
    debug_capture capture;
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = 100000;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(2);
    log->initialize(0x1, logger::log_normal, 15, 50, base.wstring().c_str());
    const std::wstring filler(400, L'f');
    constexpr int kLines = 600;  // some 500 KB
    for (int i = 0; i < kLines; ++i) log->log(L"L" + std::to_wstring(i) + L" " + filler + L" end");
    logger::close();
    bool torn = false;
    const std::vector<std::wstring> tags = whole_lines(base, 50, filler, torn);
    if (torn) std::_Exit(3);
    int files = 0;
    for (int n = 1; n <= 50; ++n) {
      const fs::path file = numbered(base, n);
      if (!fs::exists(file)) continue;
      ++files;
      if (fs::file_size(file) > 100000) std::_Exit(4);
    }
    // One line lost at each limit met, and nothing else.
    const int dropped = kLines - static_cast<int>(tags.size());
    if (files < 5 || dropped < 1 || dropped > files - 1) std::_Exit(5);
    if (!saw(capture, L"RLIMIT_FSIZE, 100000 bytes")) std::_Exit(6);
    std::_Exit(0);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// A line that finds the disk full is cut back off whatever part of it the
// kernel took, so once there is room again the next line starts a line of
// its own instead of continuing the torn one.
TEST_F(LogFileTest, ALineThatMeetsAFullDiskIsWholeOrAbsent) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
  const fs::path mount = dir / "small";
  fs::create_directories(mount);
  const auto child = [&] {
    debug_capture capture;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=128k") != 0)
      std::_Exit(2);
    const fs::path base = mount / "Svc";
    log->initialize(0x1, logger::log_normal, 15, 10, base.wstring().c_str());
    const std::wstring filler(1500, L'f');  // some 3 KB a line
    log->log(L"first " + filler + L" end");
    // Fill what is left.
    const fs::path fill = mount / "fill";
    const int fd = ::open(fill.c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    for (int i = 0; i < 8; ++i) log->log(L"full" + std::to_wstring(i) + L" " + filler + L" end");
    ::unlink(fill.c_str());
    for (int i = 0; i < 3; ++i) log->log(L"after" + std::to_wstring(i) + L" " + filler + L" end");
    logger::close();
    bool torn = false;
    const std::vector<std::wstring> tags = whole_lines(base, 10, filler, torn);
    if (torn) std::_Exit(3);
    if (tags.size() < 4 || tags.front() != L"first" ||
        std::vector<std::wstring>(tags.end() - 3, tags.end()) !=
            std::vector<std::wstring>{L"after0", L"after1", L"after2"})
      std::_Exit(4);
    if (!saw(capture, L"no space left on its device")) std::_Exit(5);
    std::_Exit(0);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
