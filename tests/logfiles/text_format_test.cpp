// The UTF-8 text format (option 0x20): what line tools expect of a log
// file. No byte-order mark, UTF-8, LF only, every entry (the settings report
// too) on one line that starts with an ISO-8601 time naming its zone offset;
// a file keeps the format it was opened with.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <thread>

#include "logfile_support.h"

namespace {

using namespace logfiletest;

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    out.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the last line has no line end";
  return out;
}

// Whether `line` starts "YYYY-MM-DDThh:mm:ss.mmm<zone> <pid> <tid> " and
// goes on with `rest`.
bool text_line(const std::string& line, const std::string& zone, const std::string& rest = "") {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd";
  if (line.size() < shape.size() + zone.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
      return false;
  std::size_t at = shape.size();
  if (line.compare(at, zone.size(), zone) != 0) return false;
  at += zone.size();
  for (int field = 0; field < 2; ++field) {
    if (at >= line.size() || line[at++] != ' ') return false;
    const std::size_t digits = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    if (at == digits) return false;
  }
  if (rest.empty()) return at < line.size() && line[at] == ' ';
  return line.substr(at) == " " + rest;
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
  for (const std::string& line : lines) EXPECT_TRUE(text_line(line, "+05:30")) << line;
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
  EXPECT_TRUE(text_line(lines[1], "-03:00", "[INFO] west")) << lines[1];
}

}  // namespace

namespace {

// The text line's process and thread ids are the writer's own: another
// thread's line carries its id, and a forked child's line its process and
// thread (the ids are formatted once and kept).
TEST_F(TextFormat, IdsAreEachWritersOwn) {
  const fs::path base = dir / "agent";
  log->initialize(0x21, logger::log_normal, 0, 0, base.wstring().c_str());
  log->log(L"from main");
  long other = 0;
  std::thread([&] {
    other = static_cast<long>(::syscall(SYS_gettid));
    log->log(L"from other");
  }).join();
  const pid_t child = ::fork();
  if (child == 0) {
    log->log(L"from child");
    log->flush();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  logger::close();

  const std::string text = raw(numbered(base, 1));
  const auto ids_of = [&](const std::string& message) {
    const std::size_t end = text.find(" [INFO] " + message);
    EXPECT_NE(end, std::string::npos) << message;
    const std::size_t start = text.rfind('\n', end) + 1;
    // "<time><zone> <pid> <tid>"
    const std::string head = text.substr(start, end - start);
    const std::size_t tid = head.rfind(' ');
    const std::size_t pid = head.rfind(' ', tid - 1);
    return std::pair<std::string, std::string>(head.substr(pid + 1, tid - pid - 1),
                                               head.substr(tid + 1));
  };
  const std::string self = std::to_string(::getpid());
  EXPECT_EQ(ids_of("from main"), std::make_pair(self, std::to_string(::syscall(SYS_gettid))));
  EXPECT_EQ(ids_of("from other"), std::make_pair(self, std::to_string(other)));
  EXPECT_EQ(ids_of("from child"), std::make_pair(std::to_string(child), std::to_string(child)));
}

}  // namespace
