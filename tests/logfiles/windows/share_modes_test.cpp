// The log file on Windows as other programs see it: a reader can follow it
// while it is written and an outside rotation can move it, while a second
// writer is refused and the library never moves or removes a file that a
// writer holds. Share modes are checked per open handle, whichever process
// holds it, so the outside reader and writer here are handles of the test.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "logfiles/log_file_fixture.h"
#include "logging/logfile_io.h"

namespace {

namespace fs = std::filesystem;
using krCore::detail::file_identity;
using krCore::detail::log_file;

constexpr unsigned long kSharingViolation = 32;

class ShareModes : public log_file_fixture {
 protected:
  static unsigned long put(log_file& file, std::string_view text) { return file.write(&text, 1); }

  // An outside program's handle with the access and sharing it asks for.
  static HANDLE outside(const std::wstring& name, DWORD access, DWORD share) {
    return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  static std::string read_all(HANDLE file) {
    std::string text(4096, '\0');
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) return {};
    text.resize(got);
    return text;
  }

};

TEST_F(ShareModes, AReaderFollowsTheFileAndARotationMovesIt) {
  log_file writer;
  ASSERT_EQ(open(writer), 0u);
  ASSERT_EQ(put(writer, "first\r\n"), 0u);

  // A viewer shares everything, as viewers of growing files do.
  const HANDLE reader = outside(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                        FILE_SHARE_DELETE);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
  // A line is with the system once write() returns.
  EXPECT_EQ(read_all(reader), "first\r\n");
  ASSERT_EQ(put(writer, "second\r\n"), 0u);
  EXPECT_EQ(read_all(reader), "first\r\nsecond\r\n");

  // The library itself never moves the file it has open...
  const std::wstring moved = (dir / L"a.1.log.txt").wstring();
  krCore::detail::log_folder folder;
  std::string why;
  ASSERT_EQ(folder.open_for(path, why), 0u) << why;
  EXPECT_EQ(folder.rename_unlocked(path, moved, identity), kSharingViolation);
  EXPECT_TRUE(writer.still_named());
  // ...but an outside rotation may, and the writer notices.
  ASSERT_TRUE(MoveFileExW(path.c_str(), moved.c_str(), 0)) << GetLastError();
  EXPECT_FALSE(writer.still_named());
  ASSERT_EQ(put(writer, "third\r\n"), 0u);
  EXPECT_EQ(read_all(reader), "first\r\nsecond\r\nthird\r\n");
  CloseHandle(reader);
}

TEST_F(ShareModes, HeldFilesAreNeitherMovedNorRemoved) {
  log_file writer;
  ASSERT_EQ(open(writer), 0u);
  writer.close();

  // Another program writing a file of the set (sharing everything, so only
  // the library's own check can keep its hands off).
  const std::wstring other = (dir / L"a.2.log.txt").wstring();
  const HANDLE foreign = CreateFileW(other.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(foreign, INVALID_HANDLE_VALUE) << GetLastError();
  const file_identity none;
  krCore::detail::log_folder folder;
  std::string why;
  ASSERT_EQ(folder.open_for(path, why), 0u) << why;
  EXPECT_EQ(folder.remove_unlocked(other, none), kSharingViolation);
  EXPECT_EQ(folder.rename_unlocked(path, other, none), kSharingViolation);
  EXPECT_EQ(folder.rename_unlocked(other, path, none), kSharingViolation);
  EXPECT_TRUE(folder.exists(other));
  CloseHandle(foreign);

  // Let go, the same calls go through.
  EXPECT_EQ(folder.rename_unlocked(other, path, none), 0u);
  EXPECT_FALSE(folder.exists(other));
  EXPECT_EQ(folder.remove_unlocked(path, none), 0u);
  EXPECT_FALSE(folder.exists(path));
}

TEST_F(ShareModes, ReadingBackLeavesTheWritePositionAlone) {
  log_file writer;
  ASSERT_EQ(open(writer), 0u);
  ASSERT_EQ(put(writer, "abcdef"), 0u);
  std::string head;
  ASSERT_EQ(writer.read_at(1, 3, head), 0u);
  EXPECT_EQ(head, "bcd");
  ASSERT_EQ(put(writer, "gh"), 0u);
  ASSERT_EQ(writer.read_at(0, 100, head), 0u);
  EXPECT_EQ(head, "abcdefgh");
  EXPECT_EQ(named_size(writer), 8u);

  // Kept content continues at its end; a fresh open starts empty.
  writer.close();
  std::uint64_t kept = 0;
  ASSERT_EQ(writer.open(path, true, true, identity, kept), 0u);
  EXPECT_EQ(kept, 8u);
  writer.close();
  ASSERT_EQ(writer.open(path, true, false, identity, kept), 0u);
  EXPECT_EQ(kept, 0u);
}

TEST_F(ShareModes, AFolderOrALinkIsNoLogFile) {
  fs::create_directories(path);
  log_file writer;
  EXPECT_NE(open(writer), 0u);
  EXPECT_FALSE(writer.is_open());
  fs::remove(path);

  // A link planted at the name must not make the writer empty its target.
  const fs::path target = dir / L"precious.txt";
  {
    const HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                                    nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "keep", 4, &written, nullptr);
    CloseHandle(file);
  }
  if (!CreateSymbolicLinkW(path.c_str(), target.c_str(), 0))
    GTEST_SKIP() << "symbolic links cannot be made here (error " << GetLastError() << ")";
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    GTEST_SKIP() << "Wine gap: CreateSymbolicLinkW reports success but makes no link";
  EXPECT_NE(open(writer), 0u);
  EXPECT_FALSE(writer.is_open());
  EXPECT_EQ(fs::file_size(target), 4u);
}

}  // namespace
