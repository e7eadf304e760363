// File names that are not UTF-8: the library's reversible mapping between
// name bytes and wide text, and the places where names enter it from the
// system (the temporary and application-data folders, the executable's own
// path, the logger's default file), each with real folders whose names hold
// bytes no decoder accepts.
#include <gtest/gtest.h>
#include <krcore/sysutil.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/utf.h"
#include "sysutil/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using krCore::detail::file_name_from_wide;
using krCore::detail::wide_from_file_name;

using envtest::scoped_env;

// A scratch folder per test; `latin1` below it is "café" in ISO 8859-1.
class FileNames : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "krnames-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    latin1 = dir / "caf\xE9";
    fs::create_directory(latin1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  // The names directly below `folder`.
  static std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path dir, latin1;
};

TEST(FileNameMapping, EveryByteStringSurvivesWideTextAndUtf16) {
  // Valid UTF-8; bytes that start nothing; truncated sequences; an overlong
  // form, an encoded surrogate and a value beyond U+10FFFF; the UTF-8 of an
  // escape character; valid, invalid and valid again.
  std::vector<std::string> names = {
      "caf\xC3\xA9",
      "caf\xE9",
      "\xFF\xFE",
      "\x80",
      "\xE6\x97",
      "a\xF0\x9F\x98",
      "\xC0\xAF",
      "\xED\xA0\x80",
      "\xF4\x90\x80\x80",
      "\xF4\x8F\xBA\xA9",
      "\xF0\x9F\x98\x80\xE9\xC3\xA9",
  };
  for (int a = 1; a < 256; ++a)
    for (int b = 1; b < 256; ++b) names.push_back({static_cast<char>(a), static_cast<char>(b)});
  for (const std::string& bytes : names) {
    const std::wstring wide = wide_from_file_name(bytes);
    ASSERT_EQ(file_name_from_wide(wide), bytes) << testing::PrintToString(bytes);
    // Through UTF-16 (log lines, registry strings, blobs) and back.
    ASSERT_EQ(krCore::detail::wide_from_utf16(krCore::detail::utf16_from_wide(wide)), wide)
        << testing::PrintToString(bytes);
  }
  // Valid UTF-8 reads as the text it is.
  EXPECT_EQ(wide_from_file_name("caf\xC3\xA9 \xF0\x9F\x98\x80"), L"caf\u00E9 \U0001F600");
  EXPECT_EQ(wide_from_file_name("caf\xE9"), std::wstring(L"caf") + wchar_t(0x10FEE9));
  EXPECT_EQ(file_name_from_wide(L"caf\u00E9"), "caf\xC3\xA9");
}

TEST_F(FileNames, TempFolderAndAppDataFolderAreTheRealFolders) {
  {
    const scoped_env tmpdir("TMPDIR", latin1.c_str());
    const std::wstring made = krCore::CreateTempFolder(L"", L"t");
    EXPECT_EQ(file_name_from_wide(made), (latin1 / "t").string());
    EXPECT_TRUE(fs::is_directory(latin1 / "t"));
    // Nothing was made beside the real folder (no "caf\uFFFD").
    EXPECT_EQ(entries(dir), std::vector<std::string>{"caf\xE9"});
    // The wide name handed back names the same folder again.
    const std::wstring inner = krCore::CreateTempFolder(made, L"u");
    EXPECT_TRUE(fs::is_directory(latin1 / "t" / "u"));
    EXPECT_EQ(krCore::CreateDirectories(inner + L"/v/w"), 0);
    EXPECT_TRUE(fs::is_directory(latin1 / "t" / "u" / "v" / "w"));
  }
  {
    const scoped_env appdata("KRCORE_COMMON_APPDATA", latin1.c_str());
    EXPECT_EQ(file_name_from_wide(krCore::GetAppDataDirectory()), latin1.string());
  }
  {
    // The environment's fallback, when the machine-wide folder is missing.
    const scoped_env missing("KRCORE_COMMON_APPDATA", (dir / "missing").c_str());
    const scoped_env all_users("ALLUSERSPROFILE", latin1.c_str());
    EXPECT_EQ(file_name_from_wide(krCore::GetAppDataDirectory()), latin1.string());
  }
}

// Runs `exe` with the arguments "log" and "caf\xE9" and collects what it
// reports, tag by tag; with `hide_proc` in a mount namespace of its own where
// an empty file system covers /proc. False when it did not exit with 0.
bool run_child(const fs::path& exe, bool hide_proc,
               std::map<std::string, std::vector<std::wstring>>& reported) {
  int out[2];
  if (::pipe(out) != 0) return false;
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    if (hide_proc && (::unshare(CLONE_NEWNS) != 0 ||
                      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                      ::mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0))
      ::_exit(90);
    ::execl(exe.c_str(), exe.c_str(), "log", "caf\xE9", nullptr);
    ::_exit(91);
  }
  ::close(out[1]);
  FILE* in = ::fdopen(out[0], "r");
  char line[4096];
  while (in && std::fgets(line, sizeof line, in)) {
    std::istringstream words(line);
    std::string tag;
    words >> tag;
    std::wstring text;
    for (unsigned unit = 0; words >> std::hex >> unit;) text.push_back(static_cast<wchar_t>(unit));
    reported[tag].push_back(text);
  }
  if (in) std::fclose(in);
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The child copied to a folder and a name that are not UTF-8 reports its own
// path (as the executable and in the process list) and its arguments, and
// its logger's default file lands below the real application-data folder,
// named after the real executable. Without /proc (root only: a mount
// namespace) it still knows its path and its arguments, as the C library
// handed them over at start-up, and logs to the same file; only the process
// list, which is /proc, is gone.
TEST_F(FileNames, ExecutablePathAndDefaultLogFileOfAProgramInSuchAFolder) {
  const fs::path bin = latin1 / "bin\xFF";
  fs::create_directory(bin);
  const fs::path exe = bin / "child\xE9";
  fs::copy_file(MODULE_PATH_CHILD, exe);
  fs::permissions(exe, fs::perms::owner_all);
  const fs::path appdata = dir / "data\xFE";
  fs::create_directory(appdata);
  const fs::path log_folder = appdata / "Vantrel" / "Logs" / "child\xE9";

  const scoped_env data("KRCORE_COMMON_APPDATA", appdata.c_str());
  for (const bool hide_proc : {false, true}) {
    if (hide_proc && ::geteuid() != 0) continue;
    std::error_code ignored;
    fs::remove_all(appdata / "Vantrel", ignored);
    std::map<std::string, std::vector<std::wstring>> reported;
    ASSERT_TRUE(run_child(exe, hide_proc, reported)) << hide_proc;
    const std::vector<std::wstring> path{wide_from_file_name(exe.string())};
    EXPECT_EQ(reported["module"], path) << hide_proc;
    if (!hide_proc) {
      EXPECT_EQ(reported["process"], path);
    }
    EXPECT_EQ(reported["arg"], (std::vector<std::wstring>{L"log", wide_from_file_name("caf\xE9")}))
        << hide_proc;
    EXPECT_EQ(file_name_from_wide(path[0]), exe.string());
    EXPECT_TRUE(fs::is_regular_file(log_folder / "child\xE9.0001.log.txt")) << hide_proc;
    EXPECT_EQ(entries(appdata / "Vantrel" / "Logs"), std::vector<std::string>{"child\xE9"});
  }
}

}  // namespace
