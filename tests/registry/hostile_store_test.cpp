// The store where another account holds part of it, where descriptors run
// short, and with names longer than one file name: links planted in a
// delegated key lead nowhere, deletion is whole or reported, and long key
// and value names keep working.
#include <sys/mount.h>
#include <sys/resource.h>

#include <fstream>

#include "registry_support.h"

namespace {

using namespace regtest;

// Every entry under `dir`, hidden ones included.
size_t entries_under(const fs::path& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++n;
  return n;
}

class HostileStoreTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    std::string pattern = (fs::temp_directory_path() / "qmcore-outside-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    outside = pattern;
    fs::create_directory(outside / "Important");
    std::ofstream(outside / "Important" / "keep") << "data";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(outside, ignored);
    RegistryTest::TearDown();
  }
  fs::path outside;
};

TEST_F(HostileStoreTest, LinksPlantedInADelegatedKeyLeadNowhere) {
  RegCloseKey(create(L"SOFTWARE\\Delegated"));
  const fs::path delegated = root / "HKLM" / "SOFTWARE" / "Delegated";
  ASSERT_EQ(::chown(delegated.c_str(), 65534, 65534), 0);
  const std::string target = outside.string();
  const std::string secret = (outside / "Important" / "keep").string();
  ASSERT_EQ(in_child([&] {
              if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 100;
              return ::symlink(target.c_str(), (delegated / "Sub").c_str()) == 0 &&
                             ::symlink(secret.c_str(), (delegated / "@Value").c_str()) == 0
                         ? 0
                         : 101;
            }),
            0);

  // Root's create, write, open and tree deletion through "Sub" reach
  // nothing outside the store.
  HKEY sub = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Delegated\\Sub", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &sub, nullptr) == 0) {
    set_dword(sub, L"Planted", 1);
    RegCloseKey(sub);
  }
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Delegated\\Sub\\Important", 0, KEY_READ,
                          &sub),
            0);
  EXPECT_NE(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Delegated\\Sub\\Important"), 0);
  EXPECT_EQ(entries_under(outside), 2u);
  EXPECT_TRUE(fs::exists(outside / "Important" / "keep"));

  // A value file that is a link is no value: not read, and a write
  // replaces the link instead of writing through it.
  HKEY key = create(L"SOFTWARE\\Delegated");
  DWORD type = 0;
  std::vector<BYTE> image;
  EXPECT_NE(query(key, L"Value", type, image), 0);
  ASSERT_EQ(set_dword(key, L"Value", 7), 0);
  RegCloseKey(key);
  std::ifstream in(outside / "Important" / "keep");
  std::string kept;
  in >> kept;
  EXPECT_EQ(kept, "data");
}

TEST_F(HostileStoreTest, DeepTreeIsRemovedWithFewDescriptorsAndLeftoversAreFinished) {
  std::wstring path = L"SOFTWARE\\Deep";
  for (int i = 0; i < 100; ++i) path += L"\\Level";
  HKEY bottom = create(path.c_str());
  ASSERT_EQ(set_string(bottom, L"Password", L"hunter2"), 0);
  RegCloseKey(bottom);
  // Remains of a deletion that stopped half-way, as a failure leaves them.
  const fs::path software = root / "HKLM" / "SOFTWARE";
  fs::create_directories(software / ".~del.1.1" / "a" / "b");
  std::ofstream(software / ".~del.1.1" / "a" / "b" / "@Secret") << "REG_SZ\nx\n";

  EXPECT_EQ(in_child([] {
              const rlimit few{64, 64};
              if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return 100;
              return static_cast<int>(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Deep"));
            }),
            0);
  EXPECT_EQ(entries_under(software), 0u);
}

TEST_F(HostileStoreTest, ADeletionThatCannotFinishSaysSo) {
  // A mount point deep in the tree cannot be removed: the deletion fails
  // and says so, instead of reporting success over what it left.
  HKEY key = create(L"SOFTWARE\\Mounted\\A\\Mnt");
  RegCloseKey(key);
  const fs::path mnt = root / "HKLM" / "SOFTWARE" / "Mounted" / "A" / "Mnt";
  ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k"), 0);
  key = create(L"SOFTWARE\\Mounted\\A\\Mnt");
  ASSERT_EQ(set_string(key, L"Password", L"hunter2"), 0);
  RegCloseKey(key);
  EXPECT_NE(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Mounted"), 0);
  // What could be removed was: the value inside the mount is gone.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root / "HKLM" / "SOFTWARE", ec);
       !ec && it != fs::end(it); it.increment(ec)) {
    EXPECT_NE(it->path().filename(), "@Password");
    if (it->path().filename() == "Mnt") ::umount2(it->path().c_str(), MNT_DETACH);
  }
}

TEST_F(HostileStoreTest, NamesLongerThanAFileNameKeepWorking) {
  const std::wstring value_name(300, L'v');
  std::wstring key_name;
  for (int i = 0; i < 200; ++i) key_name += L'\u00e9';  // 400 bytes of UTF-8
  HKEY key = create((L"SOFTWARE\\" + key_name).c_str());
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(set_dword(key, value_name.c_str(), 5), 0);
  ASSERT_EQ(set_dword(key, L"short", 6), 0);
  RegCloseKey(key);

  // Found again in another case, listed with the real names.
  std::wstring upper;
  for (int i = 0; i < 200; ++i) upper += L'\u00c9';
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + upper).c_str(), 0, KEY_READ, &key),
            0);
  DWORD type = 0;
  std::vector<BYTE> image;
  ASSERT_EQ(query(key, std::wstring(300, L'V').c_str(), type, image), 0);
  EXPECT_EQ(image, (std::vector<BYTE>{5, 0, 0, 0}));
  std::vector<wchar_t> name(16384);
  DWORD size = static_cast<DWORD>(name.size());
  std::vector<std::wstring> values;
  for (DWORD i = 0; RegEnumValueW(key, i, name.data(), &size, nullptr, nullptr, nullptr,
                                  nullptr) == 0;
       ++i, size = static_cast<DWORD>(name.size()))
    values.emplace_back(name.data(), size);
  EXPECT_EQ(values, (std::vector<std::wstring>{L"short", value_name}));
  RegCloseKey(key);
  HKEY software = create(L"SOFTWARE");
  size = static_cast<DWORD>(name.size());
  ASSERT_EQ(RegEnumKeyExW(software, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::wstring(name.data(), size), key_name);

  // Past the longest names Windows allows: refused as there.
  EXPECT_EQ(set_dword(software, std::wstring(16384, L'v').c_str(), 1), 87);
  EXPECT_EQ(RegCreateKeyExW(software, std::wstring(256, L'k').c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            87);
  EXPECT_EQ(RegDeleteTreeW(software, key_name.c_str()), 0);
  EXPECT_EQ(entries_under(root / "HKLM" / "SOFTWARE"), 0u);
  RegCloseKey(software);
}

}  // namespace
