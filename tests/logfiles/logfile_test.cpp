// Log files: where they lie and how they are named, what a new file holds,
// the size limit, shifting and pruning, sharing with other writers, and the
// encoding.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

// A message of `n` characters.
std::wstring filler(size_t n) { return std::wstring(n, L'x'); }

TEST_F(LogFileTest, BaseNamesAndFolders) {
  debug_capture capture;
  const fs::path exe = krCore::getmodulepath(true);

  // Default: <application data>/Vantrel/Logs/<exe stem>/<exe name>.
  log->initialize(0x1, logger::log_normal, 0, 0, nullptr);
  const fs::path base = dir / "Vantrel" / "Logs" / exe.stem() / exe.filename();
  EXPECT_TRUE(saw(capture, L"logger::save_base_filename : " + base.wstring() + L"\r\n"));
  log->log(L"first");
  const std::vector<std::wstring> lines = read_log(numbered(base, 1)).lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(L"[INFO] first"), std::wstring::npos);

  // Option 0x8: the executable's own path.
  logger::close();
  log = krCore::singleton<logger>::instance();
  log->initialize(0x8, logger::log_normal, 0, 0, nullptr);
  EXPECT_TRUE(saw(capture, L"logger::save_base_filename : " + exe.wstring() + L"\r\n"));

  // Option 0x4: path, tick count and process id; a given name's folder is
  // created when the first file opens.
  logger::close();
  log = krCore::singleton<logger>::instance();
  const fs::path named = dir / "sub" / "Svc";
  log->initialize(0x5, logger::log_normal, 0, 0, named.wstring().c_str());
  log->log(L"unique");
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir / "sub")) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string name = files[0].filename().string();
  const std::string pid = "." + std::to_string(::getpid()) + ".0001.log.txt";
  ASSERT_EQ(name.rfind("Svc.", 0), 0u) << name;
  ASSERT_GT(name.size(), pid.size() + 4);
  EXPECT_EQ(name.substr(name.size() - pid.size()), pid);
  const std::string tick = name.substr(4, name.size() - pid.size() - 4);
  EXPECT_EQ(tick.find_first_not_of("0123456789"), std::string::npos) << name;
}

TEST_F(LogFileTest, NumberedModeShiftsAndDeletesTheOldest) {
  const fs::path base = dir / "Svc";
  const char* old[] = {"one", "two", "three"};
  for (int n = 1; n <= 3; ++n) std::ofstream(numbered(base, n)) << old[n - 1];
  log->initialize(0x1, logger::log_normal, 1, 3, base.wstring().c_str());
  log->log(L"new");
  EXPECT_EQ(raw(numbered(base, 3)), "two");
  EXPECT_EQ(raw(numbered(base, 2)), "one");
  EXPECT_FALSE(fs::exists(numbered(base, 4)));
  const log_content current = read_log(numbered(base, 1));
  EXPECT_TRUE(current.bom);
  EXPECT_NE(current.text.find(L"[INFO] new\r\n"), std::wstring::npos);
}

// A long run of numbered files moves up by one, on a thread with a small
// stack as a host's worker may have: the shift costs no stack per file.
TEST_F(LogFileTest, ALongRunOfNumberedFilesShiftsOnASmallStack) {
  constexpr int kFiles = 2000;
  const fs::path base = dir / "Svc";
  for (int n = 1; n <= kFiles; ++n) std::ofstream(numbered(base, n)) << n;
  // The first file opens (and the shift runs) in initialize, on that thread.
  struct start {
    logger* log;
    std::wstring base;
  } args{log, base.wstring()};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  const auto* a = static_cast<start*>(p);
                  a->log->initialize(0x1, logger::log_normal, 1, 100000, a->base.c_str());
                  a->log->log(L"after the shift");
                  return nullptr;
                },
                &args),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(raw(numbered(base, kFiles + 1)), std::to_string(kFiles));
  EXPECT_EQ(raw(numbered(base, 2)), "1");
  EXPECT_NE(read_log(numbered(base, 1)).text.find(L"[INFO] after the shift\r\n"),
            std::wstring::npos);
}

TEST_F(LogFileTest, ACurrentFileThatCannotBeShiftedKeepsItsLines) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 2, base.wstring().c_str());
  log->log(L"first run");
  logger::close();
  // Number 2 cannot be removed to make room (a folder with content), so
  // number 1 cannot move up.
  fs::create_directories(numbered(base, 2) / "held");
  log = krCore::singleton<logger>::instance();
  log->initialize(0x1, logger::log_normal, 1, 2, base.wstring().c_str());
  log->log(L"second run");
  logger::close();
  const log_content current = read_log(numbered(base, 1));
  EXPECT_TRUE(current.bom);
  EXPECT_EQ(current.text.find(L"\xFEFF"), std::wstring::npos);
  const size_t first = current.text.find(L"[INFO] first run\r\n");
  const size_t second = current.text.find(L"[INFO] second run\r\n");
  ASSERT_NE(first, std::wstring::npos);
  ASSERT_NE(second, std::wstring::npos);
  EXPECT_LT(first, second);
}

TEST_F(LogFileTest, LargeLineIsWrittenWholeAndTheNextFileStartsWithTheReport) {
  debug_capture capture;
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  const std::wstring big = filler(600000);  // 1.2 MB as UTF-16, above the 1 MB limit
  log->log(big);
  log->log(L"after");

  EXPECT_TRUE(saw(
      capture,
      L"logger::write_to_file - current log file has reached the maximum size, closing...\r\n"));
  // The big line went whole into the file that is now number 2.
  const log_content full = read_log(numbered(base, 2));
  EXPECT_TRUE(full.bom && full.even);
  EXPECT_NE(full.text.find(L"[INFO] " + big + L"\r\n"), std::wstring::npos);
  EXPECT_EQ(full.text.find(L"after"), std::wstring::npos);

  // The new file: byte-order mark, settings report, then the line.
  const log_content next = read_log(numbered(base, 1));
  EXPECT_TRUE(next.bom);
  const std::vector<std::wstring> lines = next.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines.front().find(L"QM Logger initialized from open log file"), std::wstring::npos);
  EXPECT_NE(lines.back().find(L"[INFO] after"), std::wstring::npos);
}

TEST_F(LogFileTest, ProcessUniqueModePrunesTheOldestFiles) {
  const fs::path base = dir / "Svc";
  log->initialize(0x5, logger::log_normal, 1, 2, base.wstring().c_str());
  const std::wstring big = filler(600000);
  for (int i = 0; i < 3; ++i) log->log(big);  // three files, each closed after its line
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0].find(".0002.log.txt"), std::string::npos);
  EXPECT_NE(names[1].find(".0003.log.txt"), std::string::npos);
}

TEST_F(LogFileTest, TheOpenFileSurvivesAPrune) {
  debug_capture capture;
  const fs::path base = dir / "Svc";
  // One file kept: every opening in the numbered mode tries to prune
  // number 1, which is the file just opened.
  log->initialize(0x1, logger::log_normal, 1, 1, base.wstring().c_str());
  log->log(filler(600000));
  log->log(L"survivor");
  EXPECT_TRUE(
      saw(capture, L"couldn't not be deleted. Error was [The process cannot access the file"));
  const log_content current = read_log(numbered(base, 1));
  EXPECT_NE(current.text.find(L"[INFO] survivor\r\n"), std::wstring::npos);
}

TEST_F(LogFileTest, ASecondWriterIsRefusedAndReadersAreNot) {
  debug_capture capture;
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"held");
  // Another writer cannot lock the open file; a reader can read it.
  const int other = ::open(numbered(base, 1).c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_NE(read_log(numbered(base, 1)).text.find(L"held"), std::wstring::npos);

  // The other way round: a file another writer holds is neither moved
  // aside nor opened; the line is dropped with the sharing violation.
  logger::close();
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  log = krCore::singleton<logger>::instance();
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"refused");
  ::close(other);
  EXPECT_TRUE(saw(capture, L"logger::rename_file_for_backup - could not rename ["));
  EXPECT_TRUE(saw(capture,
                  L"Unexpected exception caught in logger::write - The process cannot "
                  L"access the file because it is being used by another process."));
  EXPECT_EQ(read_log(numbered(base, 1)).text.find(L"refused"), std::wstring::npos);
  // With the other writer gone the next line gets a file.
  log->log(L"accepted");
  EXPECT_NE(read_log(numbered(base, 1)).text.find(L"accepted"), std::wstring::npos);
}

TEST_F(LogFileTest, FilesAreUtf16WithSurrogatePairs) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  const std::wstring text = L"Gr\u00FC\u00DFe \u2013 \u65E5\u672C \U0001F600 end";
  log->log(text);
  const std::string u1f600("\x3D\xD8\x00\xDE", 4);
  EXPECT_NE(raw(numbered(base, 1)).find(u1f600), std::string::npos);
  const log_content content = read_log(numbered(base, 1));
  EXPECT_TRUE(content.bom && content.even);
  EXPECT_NE(content.text.find(L"[INFO] " + text + L"\r\n"), std::wstring::npos);

  // Characters above the surrogates and values that are not characters (a
  // lone surrogate, one beyond U+10FFFF, which becomes U+FFFD), each at
  // every place of a run of plain text, where the common case is taken in
  // blocks.
  const wchar_t specials[] = {L'\uFF21', L'\uFFFD', static_cast<wchar_t>(0xD800),
                              static_cast<wchar_t>(0x110000), L'\U0001F600'};
  for (const wchar_t special : specials) {
    for (size_t at = 0; at < 17; ++at) {
      std::wstring message(17, L'a');
      message[at] = special;
      log->log(message);
      std::wstring expected = message;
      if (special == 0xD800 || special == 0x110000) expected[at] = L'\uFFFD';
      EXPECT_NE(read_log(numbered(base, 1)).text.find(L"] " + expected + L"\r\n"),
                std::wstring::npos)
          << std::hex << static_cast<unsigned>(special) << " at " << std::dec << at;
    }
  }
  // The reader would turn an unpaired surrogate into U+FFFD too: check the
  // units themselves.
  const std::string all = raw(numbered(base, 1));
  for (size_t i = 2; i + 1 < all.size(); i += 2) {
    const unsigned unit =
        static_cast<unsigned char>(all[i]) | static_cast<unsigned char>(all[i + 1]) << 8;
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    ASSERT_LT(unit, 0xDC00u) << "unpaired low surrogate at byte " << i;
    ASSERT_LT(i + 3, all.size());
    const unsigned next =
        static_cast<unsigned char>(all[i + 2]) | static_cast<unsigned char>(all[i + 3]) << 8;
    ASSERT_TRUE(next >= 0xDC00 && next <= 0xDFFF) << "unpaired high surrogate at byte " << i;
    i += 2;
  }
}

TEST_F(LogFileTest, FileLinesHaveTheLineFormatAndPassTheFilters) {
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"first");
  log->add_include_filter(L"keep");
  log->log(L"keep this");
  log->log(L"drop this");
  log->add_exclude_filter(L"THIS one");
  log->log(L"keep this ONE too");
  log->log(logger::log_warning, L"keep it");

  const std::vector<std::wstring> lines = all_lines(base, 1);
  ASSERT_EQ(lines.size(), 3u);
  std::wstring stamp = lines[0].substr(0, 23);
  for (wchar_t& c : stamp)
    if (c >= L'0' && c <= L'9') c = L'9';
  EXPECT_EQ(stamp, L"9999/99/99 99:99:99:999");
  char rest[96];
  std::snprintf(rest, sizeof rest, " PID: %4d TID: %5ld [INFO] first", ::getpid(),
                static_cast<long>(::gettid()));
  EXPECT_EQ(lines[0].substr(23), krCore::convertstringtowstring(rest));
  EXPECT_NE(lines[1].find(L"[INFO] keep this"), std::wstring::npos);
  EXPECT_NE(lines[2].find(L"[WARN] keep it"), std::wstring::npos);
}

TEST_F(LogFileTest, WriteThroughFilesAreOpenedForSynchronousData) {
  const fs::path base = dir / "Svc";
  log->initialize(0x10001, logger::log_normal, 1, 10, base.wstring().c_str());
  log->log(L"durable");
  log->flush();
  // Find our descriptor of the file and read its open flags.
  bool found = false;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != numbered(base, 1)) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    unsigned long flags = 0;
    while (info >> key)
      if (key == "flags:") info >> std::oct >> flags;
    EXPECT_NE(flags & O_DSYNC, 0u);
    found = true;
  }
  EXPECT_TRUE(found);
}

}  // namespace
