// The system utilities on Windows ask the system: environment values of
// any length (a set but empty variable is not an unset one), the temporary
// and application-data folders, and private folders that only their owner
// may enter.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <string>

#include <sddl.h>

#include <krcore/sysutil.h>

#include "sysutil/directories.h"

namespace {

using krCore::detail::environment_value;

TEST(SystemEnvironment, ValuesOfAnyLengthAndEmptyIsNotUnset) {
  const std::wstring longValue(1000, L'x');
  ASSERT_TRUE(SetEnvironmentVariableW(L"QMCORE_TEST_LONG", longValue.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"QMCORE_TEST_EMPTY", L""));
  SetEnvironmentVariableW(L"QMCORE_TEST_UNSET", nullptr);

  std::wstring value;
  unsigned long error = 1;
  EXPECT_EQ(environment_value(L"QMCORE_TEST_LONG", value, error), longValue.size());
  EXPECT_EQ(value, longValue);
  EXPECT_EQ(error, 0u);

  value = L"stale";
  EXPECT_EQ(environment_value(L"QMCORE_TEST_EMPTY", value, error), 0u);
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(error, 0u);

  EXPECT_EQ(environment_value(L"QMCORE_TEST_UNSET", value, error), 0u);
  EXPECT_EQ(error, 203u);

  SetEnvironmentVariableW(L"QMCORE_TEST_LONG", nullptr);
  SetEnvironmentVariableW(L"QMCORE_TEST_EMPTY", nullptr);
}

// The folder of the executable is its path up to the last backslash.
TEST(SystemEnvironment, TheModulePathIsCutAtTheLastBackslash) {
  wchar_t own[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::wstring full(own, n);
  EXPECT_EQ(krCore::getmodulepath(true), full);
  EXPECT_EQ(krCore::getmodulepath(false), full.substr(0, full.find_last_of(L'\\')));
  EXPECT_FALSE(krCore::getmodulepath(false).empty());
}

TEST(SystemEnvironment, FoldersComeFromTheSystem) {
  unsigned long error = 1;
  const std::wstring temp = krCore::detail::temp_directory(error);
  EXPECT_EQ(error, 0u);
  ASSERT_FALSE(temp.empty());
  EXPECT_NE(GetFileAttributesW(temp.c_str()), INVALID_FILE_ATTRIBUTES);

  std::wstring appdata;
  ASSERT_EQ(krCore::detail::common_appdata_directory(appdata), 0);
  ASSERT_FALSE(appdata.empty());
  EXPECT_NE(GetFileAttributesW(appdata.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// The number of entries in the access list of `path`; -1 when it cannot
// be read.
int access_entries(const std::wstring& path, bool* protected_list = nullptr) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS)
    return -1;
  ACL_SIZE_INFORMATION size{};
  const bool ok = acl && GetAclInformation(acl, &size, sizeof size, AclSizeInformation);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  if (protected_list) *protected_list = (control & SE_DACL_PROTECTED) != 0;
  LocalFree(descriptor);
  return ok ? static_cast<int>(size.AceCount) : -1;
}

// Whether folders here keep the access list they are made with (Wine keeps
// it only where the file system stores extended attributes), and whether
// they keep its protection from inheritance (Wine does not).
bool access_lists_are_kept(const std::wstring& base, bool& protection_kept) {
  const std::wstring dir = base + L"qmcore-acl-" + std::to_wstring(GetCurrentProcessId());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;FA;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const bool made = CreateDirectoryW(dir.c_str(), &attributes) != 0;
  LocalFree(descriptor);
  const bool kept = made && access_entries(dir, &protection_kept) == 3;
  RemoveDirectoryW(dir.c_str());
  return kept;
}

TEST(SystemEnvironment, APrivateFolderAdmitsItsOwnerOnly) {
  unsigned long error = 0;
  const std::wstring base = krCore::detail::temp_directory(error);
  bool protection_kept = false;
  if (!access_lists_are_kept(base, protection_kept))
    GTEST_SKIP() << "Wine gap: folders here do not keep the access list they are made with";
  const std::wstring dir = base + L"qmcore-private-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_EQ(krCore::detail::create_one_directory(dir, true), 0u);
  EXPECT_EQ(krCore::detail::create_one_directory(dir, true), 183u);
  EXPECT_EQ(krCore::detail::create_one_directory(dir + L"\\missing\\leaf", false), 3u);

  // The folder's list names nobody but the owner and the system, and it
  // inherits nothing from the parent.
  bool protected_list = false;
  EXPECT_EQ(access_entries(dir, &protected_list), 2);
  if (protection_kept) {
    EXPECT_TRUE(protected_list);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace
