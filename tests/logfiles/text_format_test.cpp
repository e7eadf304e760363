// The UTF-8 text format (option 0x20): what line tools expect of a log
// file. No byte-order mark, UTF-8, LF only, every entry (the settings report
// too) on one line that starts with an ISO-8601 time naming its zone offset;
// a file keeps the format it was opened with.
#include <regex>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

std::string raw(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    out.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the last line has no line end";
  return out;
}

class TextFormat : public LogFileTest {
 protected:
  void SetUp() override {
    const char* tz = ::getenv("TZ");
    if (tz) old_tz = tz;
    had_tz = tz != nullptr;
    LogFileTest::SetUp();
  }
  void TearDown() override {
    LogFileTest::TearDown();
    had_tz ? ::setenv("TZ", old_tz.c_str(), 1) : ::unsetenv("TZ");
  }
  bool had_tz = false;
  std::string old_tz;
};

TEST_F(TextFormat, OneUtf8LinePerEntryWithTheZone) {
  ::setenv("TZ", "<+0530>-5:30", 1);
  const fs::path base = dir / "agent";
  log->initialize(0x21, logger::log_normal, 0, 0, base.wstring().c_str());
  log->log(L"heartbeat [1] caf\u00e9 \u6771\U0001F600");
  log->log(logger::log_warning, L"two\r\n\t\tparts\n", false);
  logger::close();

  const std::string text = raw(numbered(base, 1));
  ASSERT_FALSE(text.empty());
  EXPECT_NE(static_cast<unsigned char>(text[0]), 0xFFu) << "a byte-order mark";
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  const std::vector<std::string> lines = split_lines(text);
  ASSERT_EQ(lines.size(), 3u) << text;  // the report, the two entries
  const std::regex head(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+05:30 \d+ \d+ .*)");
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, head)) << line;
  EXPECT_NE(lines[0].find("QM Logger initialized from parameters (initialize) with the following "
                          "settings: | [ Enable ]"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" [INFO] heartbeat [1] caf\xC3\xA9 \xE6\x9D\xB1\xF0\x9F\x98\x80"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find(" [WARN] two | parts"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), "parts");
}

// West of UTC the offset is negative; the default format is unchanged, and
// an open file keeps its format when the option changes under it.
TEST_F(TextFormat, NegativeZoneAndFormatFixedPerFile) {
  ::setenv("TZ", "<-03>3", 1);
  const fs::path base = dir / "agent";
  log->initialize(0x1, logger::log_normal, 0, 0, base.wstring().c_str());
  log->log(L"utf16 line");
  log->set_log_options(0x21);  // the open file stays UTF-16
  log->log(L"still utf16");
  logger::close();
  const log_content content = read_log(numbered(base, 1));
  EXPECT_TRUE(content.bom);
  EXPECT_TRUE(content.even);
  EXPECT_NE(content.text.find(L"still utf16\r\n"), std::wstring::npos);

  log = krCore::singleton<logger>::instance();
  const fs::path other = dir / "other";
  log->initialize(0x21, logger::log_normal, 0, 0, other.wstring().c_str());
  log->log(L"west");
  logger::close();
  const std::vector<std::string> lines = split_lines(raw(numbered(other, 1)));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(^\S+\.\d{3}-03:00 \d+ \d+ \[INFO\] west$)")))
      << lines[1];
}

}  // namespace
