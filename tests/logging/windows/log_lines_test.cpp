// Log files and lines on Windows: a file whose folder and name are not
// ASCII, text past U+FFFF kept whole in the UTF-16 file, and the line's
// prefix (local time, process and thread ids) as the system reports them;
// console lines on a redirected output as they are.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "logging/log_capture.h"

namespace {

using namespace logtest;

// A file's UTF-16 text, byte-order mark included.
std::wstring utf16_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::wstring text(bytes.size() / 2, L'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

// The names in a folder, as the system lists them.
std::vector<std::wstring> names_in(const std::filesystem::path& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW((folder / L"*").wstring().c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

TEST_F(LoggerTest, FilesWithNamesPastAsciiKeepLinesPastTheBasicPlane) {
  // A folder the logger has to make, and a base name in three scripts with
  // a character that takes a surrogate pair.
  const std::wstring folder_name = L"journ\u00e9e \u65e5\u5fd7";
  const std::wstring base_name = L"\u0430\u0433\u0435\u043d\u0442 \U0001F4D2";
  const std::filesystem::path folder = scratch / folder_name;
  log->initialize(0x1, logger::log_verbose, 0, 0, (folder / base_name).wstring().c_str());
  const std::wstring message = L"emoji \U0001F600, clef \U0001D11E, cjk \U00020000 end";
  log->log(logger::log_normal, message.c_str());
  log->flush();

  ASSERT_EQ(names_in(scratch), std::vector<std::wstring>{folder_name});
  const std::wstring file_name = base_name + L".0001.log.txt";
  ASSERT_EQ(names_in(folder), std::vector<std::wstring>{file_name});
  const std::wstring text = utf16_file(folder / file_name);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], L'\uFEFF');
  EXPECT_NE(text.find(L" [INFO] " + message + L"\r\n"), std::wstring::npos);
}

// The date and time of a line, read from its prefix "YYYY/MM/DD HH:MM:SS:mmm".
ULONGLONG stamp_of(const std::wstring& line) {
  SYSTEMTIME t{};
  if (swscanf(line.c_str(), L"%4hu/%2hu/%2hu %2hu:%2hu:%2hu:%3hu", &t.wYear, &t.wMonth, &t.wDay,
              &t.wHour, &t.wMinute, &t.wSecond, &t.wMilliseconds) != 7)
    return 0;
  FILETIME f;
  if (!SystemTimeToFileTime(&t, &f)) return 0;
  return (ULONGLONG{f.dwHighDateTime} << 32) | f.dwLowDateTime;
}

ULONGLONG local_now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  FILETIME f;
  SystemTimeToFileTime(&t, &f);
  return (ULONGLONG{f.dwHighDateTime} << 32) | f.dwLowDateTime;
}

TEST_F(LoggerTest, ThePrefixCarriesTheSystemsLocalTimeAndIds) {
  start(0x2, logger::log_normal);
  debug_capture capture;
  testing::internal::CaptureStdout();
  const ULONGLONG before = local_now();
  log->log(logger::log_normal, L"hello");
  const ULONGLONG after = local_now();
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(capture.texts().size(), 1u);
  const std::wstring line = capture.texts()[0];

  // Whole milliseconds: the line's stamp lies within the two readings.
  const ULONGLONG stamp = stamp_of(line);
  EXPECT_GE(stamp, before / 10000 * 10000) << krCore::convertwstringtostring(line);
  EXPECT_LE(stamp, after) << krCore::convertwstringtostring(line);
  wchar_t ids[64];
  swprintf(ids, 64, L" PID: %4lu TID: %5lu [INFO] hello\r\n", GetCurrentProcessId(),
           GetCurrentThreadId());
  EXPECT_TRUE(line.ends_with(ids)) << krCore::convertwstringtostring(line);
}

// Standard output redirected to a file the way a shell does it: the C
// runtime's descriptor 1 in text mode and the process's output handle both
// name the file. A line already ends in CR LF, so it must arrive unchanged.
TEST_F(LoggerTest, ConsoleLinesReachARedirectedOutputUnchanged) {
  const std::wstring file = (scratch / L"stdout.txt").wstring();
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
  ASSERT_GE(fd, 0);
  start(0x2, logger::log_normal);
  std::fflush(stdout);
  const HANDLE saved_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  const int saved_fd = _dup(1);
  ASSERT_EQ(_dup2(fd, 1), 0);
  SetStdHandle(STD_OUTPUT_HANDLE, handle);
  log->log(logger::log_normal, L"caf\u00e9 \u65e5\u5fd7 one");
  log->log(logger::log_normal, L"two");
  std::fflush(stdout);
  _dup2(saved_fd, 1);
  _close(saved_fd);
  SetStdHandle(STD_OUTPUT_HANDLE, saved_handle);
  _close(fd);

  std::ifstream in(scratch / L"stdout.txt", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find(" [INFO] caf\xC3\xA9 \xE6\x97\xA5\xE5\xBF\x97 one\r\n"), std::string::npos)
      << bytes;
  EXPECT_NE(bytes.find(" [INFO] two\r\n"), std::string::npos) << bytes;
  EXPECT_EQ(bytes.find("\r\r"), std::string::npos) << bytes;
}

}  // namespace
