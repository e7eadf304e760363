// Directory services: temporary folders, directory chains and the
// application-data lookup with its environment fallback.
#include <sys/stat.h>

#include <boost/filesystem/exception.hpp>

#include "logfile_support.h"
#include "sysutil/scoped_env.h"

namespace {

using namespace logfiletest;

using envtest::scoped_env;

// Captures the logger's lines through its callback at the verbose level.
class DirectoriesTest : public LogFileTest {
 protected:
  void SetUp() override {
    LogFileTest::SetUp();
    log->set_write_message_func([this](const wchar_t* message, logger::log_levels) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(message);
    });
    log->initialize(0, logger::log_verbose, 0, 0, L"unused");
  }
  bool logged(const std::wstring& part) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::wstring& line : lines)
      if (line.find(part) != std::wstring::npos) return true;
    return false;
  }
  std::mutex mutex;
  std::vector<std::wstring> lines;
};

TEST_F(DirectoriesTest, TempFolderTakesTheFirstFreeSuffixAndIsPrivate) {
  fs::create_directory(dir / "x");
  fs::create_directory(dir / "x1");
  const std::wstring made = krCore::CreateTempFolder(dir.wstring(), L"x");
  EXPECT_EQ(fs::path(made), dir / "x2");
  struct stat st;
  ASSERT_EQ(::stat(fs::path(made).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(logged(L"CreateTempFolder - created directory [\"" + made + L"\"]"));

  // No name: a fresh GUID; no parent: the temporary directory from TMPDIR.
  const scoped_env tmpdir("TMPDIR", dir.c_str());
  const fs::path guid_folder = krCore::CreateTempFolder(L"", L"");
  EXPECT_EQ(guid_folder.parent_path(), dir);
  EXPECT_TRUE(krCore::IsGuid(guid_folder.filename().wstring()));

  // A parent that does not exist yet is created, one level.
  EXPECT_EQ(fs::path(krCore::CreateTempFolder((dir / "new").wstring(), L"t")), dir / "new" / "t");

  // Symbolic links take their names too, dangling ones included.
  fs::create_symlink(dir / "nowhere", dir / "link");
  fs::create_symlink(dir / "x", dir / "link1");
  EXPECT_EQ(fs::path(krCore::CreateTempFolder(dir.wstring(), L"link")), dir / "link2");
}

TEST_F(DirectoriesTest, TempFolderFailuresCarryTheSystemCode) {
  // A parent that is a file: the folder cannot be made below it (3).
  std::ofstream(dir / "file").put('x');
  try {
    krCore::CreateTempFolder((dir / "file").wstring(), L"t");
    FAIL() << "no exception";
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.code, 3u);
  }
  EXPECT_TRUE(logged(L"CreateTempFolder - failed to create directory ["));
  // A parent two levels deep cannot be made by the one-level creation.
  EXPECT_THROW(krCore::CreateTempFolder((dir / "a" / "b").wstring(), L"t"),
               boost::filesystem::filesystem_error);
}

TEST_F(DirectoriesTest, CreateDirectoriesMakesChainsAndReusesExisting) {
  const fs::path deep = dir / "one" / "two" / "three";
  EXPECT_EQ(krCore::CreateDirectories(deep.wstring()), 0);
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(logged(L"CreateDirectories() - creating directory [" + deep.wstring() + L"]"));
  EXPECT_EQ(krCore::CreateDirectories(boost::filesystem::path(deep.string())), 0);
  EXPECT_TRUE(logged(L"CreateDirectories() - directory [" + deep.wstring() +
                     L"] exists and will be reused"));
  // Below a file: a failure code, no exception.
  std::ofstream(dir / "file").put('x');
  EXPECT_NE(krCore::CreateDirectories((dir / "file" / "sub").c_str()), 0);
}

TEST_F(DirectoriesTest, AppDataFolderAndItsEnvironmentFallback) {
  EXPECT_EQ(fs::path(krCore::GetAppDataDirectory()), dir);  // the override of the fixture
  EXPECT_TRUE(logged(L"GetAppDataDirectory() - SHGetFolderPath returned [" + dir.wstring() + L"]"));

  const scoped_env missing("KRCORE_COMMON_APPDATA", (dir / "missing").c_str());
  const scoped_env all_users("ALLUSERSPROFILE", nullptr);
  const scoped_env program_data("ProgramData", "/srv/programdata");
  EXPECT_EQ(krCore::GetAppDataDirectory(), L"/srv/programdata");
  EXPECT_TRUE(logged(L"SHGetFolderPath failed with error code [0x80070003]"));
  EXPECT_TRUE(logged(L"GetEnvironmentVariable(ALLUSERSPROFILE) failed, buffer size [0]"));
  EXPECT_TRUE(logged(L"GetEnvironmentVariable(ProgramData) returned [/srv/programdata]"));

  const scoped_env none("ProgramData", nullptr);
  const scoped_env local("LOCALAPPDATA", nullptr);
  const scoped_env roaming("APPDATA", nullptr);
  EXPECT_EQ(krCore::GetAppDataDirectory(), L"");
  // The log files then fall back to the system's place, never to a base
  // relative to the current directory, and say so.
  debug_capture capture;
  log->initialize(0, logger::log_error, 0, 0, nullptr);
  EXPECT_TRUE(saw(capture, L"logger::save_base_filename : /var/lib/Vantrel/Logs/"));
  EXPECT_TRUE(saw(capture, L"no application-data folder was found []; the log files go under "
                           L"[/var/lib]"));
  const scoped_env relative("ProgramData", "data");
  log->initialize(0, logger::log_error, 0, 0, nullptr);
  EXPECT_TRUE(saw(capture, L"no application-data folder was found [data]"));
}

}  // namespace
