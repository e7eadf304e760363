// A log file that others tamper with: removed or renamed while it is being
// written, a link planted at its name, a folder named like one of its
// numbered files. No line is lost, nothing is written through a link and
// nothing but the logger's own files is moved.
#include <unistd.h>

#include "logfile_support.h"
#include "logging/logfile_writer.h"

namespace {

using namespace logfiletest;

class LostFileTest : public LogFileTest {
 protected:
  void TearDown() override {
    LogFileTest::TearDown();
    krCore::detail::set_log_check_interval_ms(100);
  }
  bool has(const fs::path& file, const std::wstring& text) {
    return read_log(file).text.find(text) != std::wstring::npos;
  }
};

TEST_F(LostFileTest, TheNextLineAfterARemovalOrRenameGoesToAFreshFile) {
  krCore::detail::set_log_check_interval_ms(0);  // look before every line
  debug_capture capture;
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"before");
  fs::remove(numbered(base, 1));
  log->log(L"after removal");
  ASSERT_TRUE(fs::exists(numbered(base, 1)));
  EXPECT_TRUE(has(numbered(base, 1), L"[INFO] after removal\r\n"));
  EXPECT_TRUE(saw(capture, L"current log file was removed or renamed"));

  fs::rename(numbered(base, 1), dir / "kept.txt");
  log->log(L"after rename");
  EXPECT_TRUE(has(numbered(base, 1), L"[INFO] after rename\r\n"));
  EXPECT_FALSE(has(dir / "kept.txt", L"after rename"));
  EXPECT_TRUE(has(dir / "kept.txt", L"after removal"));
}

TEST_F(LostFileTest, LinesARemovedFileTookAlongAreCarriedIntoTheFreshOne) {
  krCore::detail::set_log_check_interval_ms(1000000);  // no look for now
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"before");
  fs::remove(numbered(base, 1));
  for (int i = 0; i < 50; ++i) log->log(L"unseen " + std::to_wstring(i));
  krCore::detail::set_log_check_interval_ms(0);
  log->log(L"noticed");
  logger::close();
  // "before" went with the removed file too.
  std::vector<std::wstring> expected{L"before"};
  for (int i = 0; i < 50; ++i) expected.emplace_back(L"unseen " + std::to_wstring(i));
  expected.emplace_back(L"noticed");
  std::vector<std::wstring> got;
  for (const std::wstring& line : all_lines(base, 1)) got.push_back(line.substr(line.find(L"] ") + 2));
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(read_log(numbered(base, 1)).bom);
}

TEST_F(LostFileTest, NoWriteGoesThroughALinkAndNoFolderIsShifted) {
  debug_capture capture;
  const fs::path base = dir / "Svc";
  // Number 2 is a folder: it is neither shifted up nor removed, so number 1
  // cannot move up and would be continued where it is.
  fs::create_directories(numbered(base, 2));
  std::ofstream(dir / "victim") << "precious";
  fs::create_symlink(dir / "victim", numbered(base, 1));
  log->initialize(0x1, logger::log_normal, 1, 2, base.wstring().c_str());
  log->log(L"line");
  logger::close();
  std::ifstream victim(dir / "victim", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious");
  EXPECT_TRUE(fs::is_directory(numbered(base, 2)));
  EXPECT_TRUE(fs::is_symlink(numbered(base, 1)));
  EXPECT_TRUE(saw(capture, L"is a symbolic link; refused"));

  // With room to shift, a folder named like number 2 stays where it is.
  fs::remove(numbered(base, 1));
  log = krCore::singleton<logger>::instance();
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"first");
  logger::close();
  log = krCore::singleton<logger>::instance();
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"second");
  logger::close();
  EXPECT_TRUE(fs::is_directory(numbered(base, 2)));
  EXPECT_FALSE(fs::exists(numbered(base, 3)));
  EXPECT_TRUE(has(numbered(base, 1), L"first"));
  EXPECT_TRUE(has(numbered(base, 1), L"second"));
}

}  // namespace
