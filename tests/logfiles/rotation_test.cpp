// Many threads logging across several rotations: every line lands exactly
// once, whole, in one of the files, and every file is well formed.
#include <map>
#include <set>
#include <thread>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

TEST_F(LogFileTest, ConcurrentLinesAcrossRotationsAreAllThereOnceAndWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 3000;
  constexpr int kMaxFiles = 30;
  const fs::path base = dir / "Svc";
  log->initialize(0x1, logger::log_normal, 1, kMaxFiles, base.wstring().c_str());

  // About 500 bytes a line: 6 MB in all, six or seven rotations.
  const std::wstring padding(180, L'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        log->log(L"T" + std::to_wstring(t) + L" L" + std::to_wstring(i) + L" " + padding + L" end");
    });
  for (std::thread& thread : threads) thread.join();
  logger::close();

  int files = 0;
  std::map<std::pair<int, int>, int> seen;
  for (int n = 1; n <= kMaxFiles + 1; ++n) {
    if (!fs::exists(numbered(base, n))) continue;
    ++files;
    const log_content content = read_log(numbered(base, n));
    EXPECT_TRUE(content.bom) << n;
    EXPECT_TRUE(content.even) << n;
    EXPECT_LE(fs::file_size(numbered(base, n)), 1048576u + 1024u) << n;
    const std::vector<std::wstring> lines = content.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find(L"QM Logger initialized"), std::wstring::npos) << n;
    EXPECT_EQ(content.text.size() >= 2 ? content.text.substr(content.text.size() - 2) : L"",
              L"\r\n");
    for (const std::wstring& line : lines) {
      if (is_report(line)) continue;
      const size_t tag = line.find(L"[INFO] T");
      ASSERT_NE(tag, std::wstring::npos) << "torn line in file " << n << ": "
                                         << krCore::convertwstringtostring(line.substr(0, 200));
      int t = -1, i = -1;
      ASSERT_EQ(std::swscanf(line.c_str() + tag, L"[INFO] T%d L%d", &t, &i), 2);
      const std::wstring tail = L" " + padding + L" end";
      ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << "torn line in file " << n;
      ++seen[{t, i}];
    }
  }
  EXPECT_GE(files, 5);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key.first << " " << key.second;
}

}  // namespace
