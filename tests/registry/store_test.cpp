// The settings store through its Win32 calls: typed values and their byte
// images, the buffer and type rules of the settings reader, names, deletion,
// permissions, change notification across processes, and readers that never
// see a torn value while other processes write.
#include <krcore/foundation.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "registry/reg_query.h"
#include "registry_support.h"

namespace {

using namespace regtest;
using krCore::RegQuery;

std::string file_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(RegistryTest, EveryTypeRoundTripsWithItsWindowsByteImage) {
  HKEY key = create(L"SOFTWARE\\Test");
  const DWORD dword = 0x12345678;
  const unsigned long long qword = 0x0102030405060708ull;
  const BYTE binary[] = {0x00, 0xff, 0x10, 0x7f};
  ASSERT_EQ(RegSetValueExW(key, L"D", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 4), 0);
  ASSERT_EQ(RegSetValueExW(key, L"Q", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&qword), 8), 0);
  ASSERT_EQ(RegSetValueExW(key, L"B", 0, REG_BINARY, binary, sizeof binary), 0);
  ASSERT_EQ(RegSetValueExW(key, L"N", 0, REG_NONE, nullptr, 0), 0);
  ASSERT_EQ(set_string(key, L"S", L"h\u00e9llo \U0001F600"), 0);
  ASSERT_EQ(set_string(key, L"E", L"%HOME%/x", REG_EXPAND_SZ), 0);
  ASSERT_EQ(set_multi(key, L"M", {L"one", L"two words"}), 0);
  ASSERT_EQ(set_string(key, nullptr, L"default"), 0);

  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"D", type, image), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(image, (std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}));
  ASSERT_EQ(query(key, L"Q", type, image), 0);
  EXPECT_EQ(type, REG_QWORD);
  EXPECT_EQ(image, (std::vector<BYTE>{8, 7, 6, 5, 4, 3, 2, 1}));
  ASSERT_EQ(query(key, L"B", type, image), 0);
  EXPECT_EQ(image, std::vector<BYTE>(binary, binary + sizeof binary));
  ASSERT_EQ(query(key, L"N", type, image), 0);
  EXPECT_EQ(type, REG_NONE);
  EXPECT_TRUE(image.empty());
  // UTF-16LE with a terminator: 'h', U+00E9, ..., a surrogate pair, then 0.
  ASSERT_EQ(query(key, L"S", type, image), 0);
  EXPECT_EQ(type, REG_SZ);
  ASSERT_EQ(image.size(), (6u + 2u + 1u) * 2u);
  EXPECT_EQ(image[2], 0xe9);
  EXPECT_EQ(image[image.size() - 1], 0);
  EXPECT_EQ(image[image.size() - 2], 0);
  ASSERT_EQ(query(key, L"E", type, image), 0);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  ASSERT_EQ(query(key, L"M", type, image), 0);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(image.size(), (4u + 10u + 1u) * 2u);  // "one\0two words\0\0"
  EXPECT_EQ(krCore::detail::reg::strings_of_image(image.data(), image.size()),
            (std::vector<std::wstring>{L"one", L"two words"}));
  ASSERT_EQ(query(key, L"", type, image), 0);
  EXPECT_EQ(krCore::detail::reg::strings_of_image(image.data(), image.size()),
            std::vector<std::wstring>{L"default"});

  // What an administrator sees.
  const fs::path folder = root / "HKLM" / "SOFTWARE" / "Test";
  EXPECT_EQ(file_text(folder / "@D"), "REG_DWORD\n305419896\n");
  EXPECT_EQ(file_text(folder / "@M"), "REG_MULTI_SZ\none\ntwo words\n");
  EXPECT_EQ(file_text(folder / "@B"), "REG_BINARY\n00 ff 10 7f\n");
  EXPECT_EQ(file_text(folder / "@"), "REG_SZ\ndefault\n");

  // Numbers of the wrong size and unknown types are refused.
  EXPECT_EQ(RegSetValueExW(key, L"D", 0, REG_DWORD, binary, 3), 87);
  EXPECT_EQ(RegSetValueExW(key, L"X", 0, 99, binary, 4), 87);
  RegCloseKey(key);
}

TEST_F(RegistryTest, BufferSizesAndTheReaderTypeRules) {
  HKEY key = create(L"SOFTWARE\\Sizes");
  ASSERT_EQ(set_string(key, L"Long", L"abcdef"), 0);  // 14 bytes
  ASSERT_EQ(set_string(key, L"Short", L"a"), 0);      // 4 bytes: fits a DWORD
  ASSERT_EQ(set_dword(key, L"Level", 7), 0);
  ASSERT_EQ(set_string(key, L"One", L"alpha"), 0);
  ASSERT_EQ(RegSetValueExW(key, L"Bin", 0, REG_BINARY, reinterpret_cast<const BYTE*>("xy"), 2), 0);

  DWORD type = 0, size = 4;
  BYTE small[4];
  EXPECT_EQ(RegQueryValueExW(key, L"Long", nullptr, &type, small, &size), 234);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExW(key, L"Long", nullptr, &type, small, nullptr), 87);
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, &type, small, &size), 2);

  RegQuery reader;
  EXPECT_THROW(reader.GetDWORD(L"Level", 1), w32_exception);  // not open
  reader.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Sizes");
  EXPECT_EQ(reader.GetDWORD(L"Level", 1), 7u);
  EXPECT_EQ(reader.GetDWORD(L"Missing", 9), 9u);
  EXPECT_EQ(reader.GetDWORD(L"Long", 9), 9u);
  try {
    reader.GetDWORD(L"Short", 9);
    ADD_FAILURE() << "a string that fits 4 bytes must be refused";
  } catch (const w32_exception& e) {
    EXPECT_EQ(e.code, 1627u);
  }
  std::vector<std::wstring> list;
  EXPECT_EQ(reader.GetMultiString(L"Missing", list), 2);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(reader.GetMultiString(L"One", list), 0);
  EXPECT_EQ(list, std::vector<std::wstring>{L"alpha"});
  EXPECT_THROW(reader.GetMultiString(L"Bin", list), w32_exception);
  // A list longer than the first buffer is read whole.
  const std::wstring long_entry(600, L'z');
  ASSERT_EQ(set_multi(key, L"Many", {long_entry, L"b"}), 0);
  list.clear();
  EXPECT_EQ(reader.GetMultiString(L"Many", list), 0);
  EXPECT_EQ(list, (std::vector<std::wstring>{long_entry, L"b"}));
  RegCloseKey(key);
}

TEST_F(RegistryTest, NamesIgnoreCaseKeepTheirSpellingAndMayShareKeyAndValue) {
  HKEY key = create(L"Software\\MixedCase");
  HKEY again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\mixedcase", 0, nullptr, 0, KEY_READ,
                            nullptr, &again, &disposition),
            0);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ASSERT_EQ(set_dword(key, L"Level", 1), 0);
  ASSERT_EQ(set_dword(again, L"LEVEL", 2), 0);  // the same value
  ASSERT_EQ(set_dword(key, L"a/b%c", 3), 0);    // characters a file name cannot hold
  ASSERT_EQ(set_dword(key, L".hidden", 4), 0);
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, L"Level", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            0);  // a key of the same name as a value

  wchar_t name[64];
  std::vector<std::wstring> values;
  for (DWORD i = 0;; ++i) {
    DWORD n = 64;
    const LSTATUS rc = RegEnumValueW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == 259) break;
    ASSERT_EQ(rc, 0);
    values.emplace_back(name, n);
  }
  EXPECT_EQ(values, (std::vector<std::wstring>{L".hidden", L"a/b%c", L"Level"}));
  DWORD n = 64;
  ASSERT_EQ(RegEnumKeyExW(key, 0, name, &n, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::wstring(name), L"Level");
  n = 3;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &n, nullptr, nullptr, nullptr, nullptr), 234);
  n = 64;
  EXPECT_EQ(RegEnumKeyExW(key, 1, name, &n, nullptr, nullptr, nullptr, nullptr), 259);

  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, L"level", type, image), 0);
  EXPECT_EQ(image[0], 2);
  EXPECT_TRUE(fs::is_directory(root / "HKLM" / "Software" / "MixedCase" / "Level"));
  EXPECT_TRUE(fs::is_regular_file(root / "HKLM" / "Software" / "MixedCase" / "@Level"));
  for (HKEY h : {sub, again, key}) EXPECT_EQ(RegCloseKey(h), 0);
  EXPECT_EQ(RegCloseKey(key), 6);  // closed already
}

TEST_F(RegistryTest, AGarbageValueFileGives13AndOthersStillRead) {
  HKEY key = create(L"SOFTWARE\\Garbage");
  ASSERT_EQ(set_dword(key, L"Good", 5), 0);
  const fs::path folder = root / "HKLM" / "SOFTWARE" / "Garbage";
  std::ofstream(folder / "@Number") << "REG_DWORD\nnot a number\n";
  std::ofstream(folder / "@Kind") << "REG_WHATEVER\n1\n";
  std::ofstream(folder / "@Hex") << "REG_BINARY\n0g\n";
  std::ofstream(folder / "@Edited") << "REG_DWORD\r\n0x10\r\n";  // an editor's line ends
  DWORD type = 0;
  std::vector<BYTE> image;
  EXPECT_EQ(query(key, L"Number", type, image), 13);
  EXPECT_EQ(query(key, L"Kind", type, image), 13);
  EXPECT_EQ(query(key, L"Hex", type, image), 13);
  ASSERT_EQ(query(key, L"Edited", type, image), 0);
  EXPECT_EQ(image[0], 0x10);
  ASSERT_EQ(query(key, L"Good", type, image), 0);
  EXPECT_EQ(image[0], 5);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeletionOfValuesKeysAndTrees) {
  HKEY key = create(L"SOFTWARE\\Tree\\Branch\\Leaf");
  ASSERT_EQ(set_dword(key, L"V", 1), 0);
  RegCloseKey(key);
  HKEY tree = create(L"SOFTWARE\\Tree");
  ASSERT_EQ(set_dword(tree, L"Top", 1), 0);
  EXPECT_EQ(RegDeleteValueW(tree, L"top"), 0);
  EXPECT_EQ(RegDeleteValueW(tree, L"top"), 2);
  EXPECT_EQ(RegDeleteKeyW(tree, L"Branch"), 5);  // it has a sub-key
  EXPECT_EQ(RegDeleteKeyW(tree, L"Branch\\Leaf"), 0);
  EXPECT_EQ(RegDeleteKeyW(tree, L"Branch"), 0);
  create(L"SOFTWARE\\Tree\\Again\\Deeper");
  ASSERT_EQ(set_dword(tree, L"Kept", 1), 0);
  EXPECT_EQ(RegDeleteTreeW(tree, nullptr), 0);  // contents only
  HKEY gone = nullptr;
  EXPECT_EQ(RegOpenKeyExW(tree, L"Again", 0, KEY_READ, &gone), 2);
  DWORD type = 0;
  std::vector<BYTE> image;
  EXPECT_EQ(query(tree, L"Kept", type, image), 2);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"), 0);
  // The open handle now names a deleted key.
  EXPECT_EQ(query(tree, L"Kept", type, image), 1018);
  EXPECT_EQ(set_dword(tree, L"Kept", 1), 1018);
  RegCloseKey(tree);
  // Nothing of the store's temporaries is left behind.
  EXPECT_TRUE(fs::is_empty(root / "HKLM" / "SOFTWARE"));
}

TEST_F(RegistryTest, AnotherAccountReadsButCannotCreate) {
  HKEY key = create(L"SOFTWARE\\Shared");
  ASSERT_EQ(set_dword(key, L"Level", 3), 0);
  RegCloseKey(key);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  const int status = in_child([] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 100;
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr, &k,
                        nullptr) != 5)
      return 1;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared", 0, KEY_WRITE, &k) != 5) return 2;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared", 0, KEY_READ, &k) != 0) return 3;
    DWORD value = 0, size = 4;
    if (RegQueryValueExW(k, L"Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ||
        value != 3)
      return 4;
    return 0;
  });
  if (status == 100) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
}

TEST_F(RegistryTest, AChangeByAnotherProcessWakesAWaiterOnlyOnceAndNoneIsLost) {
  HKEY key = create(L"SOFTWARE\\Watched");
  create(L"SOFTWARE\\Watched\\Sub");
  krCore::manualresetevent shutdown, change;
  HANDLE handles[2] = {shutdown, change};
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 1, 0xF, change, 1), 0);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, 0, 0), 258u);  // nothing yet

  // A value of a sub-key, written by another process.
  ASSERT_EQ(in_child([] {
              HKEY sub = nullptr;
              if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Watched\\Sub", 0, KEY_WRITE,
                                &sub))
                return 1;
              const DWORD v = 1;
              return static_cast<int>(
                  RegSetValueExW(sub, L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
            }),
            0);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, 0, 10000), 1u);
  change.reset();

  // A change while no request is armed signals the next request at once.
  ASSERT_EQ(set_dword(key, L"W", 2), 0);
  HKEY deeper = create(L"SOFTWARE\\Watched\\Sub\\New");  // a new sub-key is watched too
  RegCloseKey(deeper);
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 1, 0xF, change, 1), 0);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, 0, 10000), 1u);
  change.reset();

  // Deleting the key wakes the waiter; the next request fails with 1018.
  ASSERT_EQ(RegNotifyChangeKeyValue(key, 1, 0xF, change, 1), 0);
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Watched"), 0);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, 0, 10000), 1u);
  change.reset();
  LSTATUS rc = 0;
  for (int i = 0; i < 1000 && rc == 0; ++i) {  // the deletion may still be on its way
    rc = RegNotifyChangeKeyValue(key, 1, 0xF, change, 1);
    if (rc == 0) WaitForSingleObject(change, 100);
  }
  EXPECT_EQ(rc, 1018);
  RegCloseKey(key);
}

TEST_F(RegistryTest, ReadersNeverSeeATornValueWhileTwoProcessesWrite) {
  HKEY key = create(L"SOFTWARE\\Busy");
  ASSERT_EQ(set_string(key, L"Text", L"a"), 0);
  // Each writer writes strings of one repeated letter and changing length;
  // a torn read would mix letters, cut the type line or fail to parse.
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      HKEY k = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Busy", 0, KEY_WRITE, &k)) ::_exit(1);
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
      for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        const std::wstring text(static_cast<size_t>(1 + (i * 37) % 3000),
                                static_cast<wchar_t>(L'a' + (i + w * 13) % 26));
        if (set_string(k, L"Text", text)) ::_exit(2);
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      HKEY k = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Busy", 0, KEY_READ, &k)) {
        ++bad;
        return;
      }
      while (!stop) {
        DWORD type = 0;
        std::vector<BYTE> image;
        if (LSTATUS rc = query(k, L"Text", type, image); rc != 0 || type != REG_SZ) {
          if (++bad < 3) ADD_FAILURE() << rc << " " << type;
          continue;
        }
        const auto list = krCore::detail::reg::strings_of_image(image.data(), image.size());
        if (list.size() != 1 || list[0].find_first_not_of(list[0][0]) != std::wstring::npos)
          ++bad;
        ++reads;
      }
      RegCloseKey(k);
    });
  }
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 100);
  RegCloseKey(key);
}

}  // namespace
