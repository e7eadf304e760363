// Test support for the settings store: a private root per test (the
// variable KRCORE_REGISTRY_ROOT points at it while the test runs) and short
// forms for typed writes and reads.
#pragma once

#include <gtest/gtest.h>
#include <krcore/registry.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/utf.h"
#include "registry/value_file.h"

namespace regtest {

namespace fs = std::filesystem;

// Runs fn in a child process and returns its exit status.
template <class Fn>
int in_child(Fn fn) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qmcore-registry-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    ::chmod(root.c_str(), 0755);  // readable by every account, as the real root is
    ::setenv("KRCORE_REGISTRY_ROOT", root.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KRCORE_REGISTRY_ROOT");
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Creates (or opens) HKLM\path for writing.
  static HKEY create(const wchar_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              0);
    return key;
  }
  static LSTATUS set_dword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  }
  static LSTATUS set_string(HKEY key, const wchar_t* name, const std::wstring& value,
                            DWORD type = REG_SZ) {
    const std::vector<BYTE> image = krCore::detail::reg::string_image(value);
    return RegSetValueExW(key, name, 0, type, image.data(), static_cast<DWORD>(image.size()));
  }
  static LSTATUS set_multi(HKEY key, const wchar_t* name, const std::vector<std::wstring>& list) {
    const std::vector<BYTE> image = krCore::detail::reg::multi_string_image(list);
    return RegSetValueExW(key, name, 0, REG_MULTI_SZ, image.data(),
                          static_cast<DWORD>(image.size()));
  }
  // The value's type and byte image; the code of the query otherwise. A
  // value that grew between the size query and the read is read again.
  static LSTATUS query(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& image) {
    DWORD size = 0;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    while (rc == 0) {
      image.assign(size, 0);
      rc = RegQueryValueExW(key, name, nullptr, &type, image.data(), &size);
      if (rc != 234) break;
      rc = 0;
    }
    if (rc == 0) image.resize(size);
    return rc;
  }

  fs::path root;
};

}  // namespace regtest
