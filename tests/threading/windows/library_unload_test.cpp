// qmcore.dll loaded and unloaded again and again by a host, which starts
// one of the library's threads each time (the logger's configuration
// watcher) and ends it again: each unload gives back what the load took
// of the process's fixed supplies. This program links neither the DLL nor
// its objects; it loads the DLL by name from the search path.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

// The fiber-local slots still free in the process: taken until none is
// left, then given back.
std::size_t free_fiber_slots() {
  std::vector<DWORD> taken;
  for (DWORD slot = ::FlsAlloc(nullptr); slot != FLS_OUT_OF_INDEXES; slot = ::FlsAlloc(nullptr))
    taken.push_back(slot);
  for (const DWORD slot : taken) ::FlsFree(slot);
  return taken.size();
}

class LibraryUnload : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("qmcore-unload-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  // Loads the library, starts the logger (and with it its watcher thread),
  // closes it (which ends the thread) and unloads the library.
  void load_log_and_unload() {
    const HMODULE library = ::LoadLibraryW(L"qmcore.dll");
    ASSERT_NE(library, nullptr) << ::GetLastError();
    const auto initialize = reinterpret_cast<void (*)(const wchar_t*)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLogInitialize")));
    const auto log = reinterpret_cast<int (*)(const wchar_t*)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLog")));
    const auto close = reinterpret_cast<int (*)()>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLogClose")));
    ASSERT_TRUE(initialize && log && close);
    initialize((folder / "unload").wstring().c_str());
    EXPECT_EQ(log(L"loaded once more"), 0);
    EXPECT_EQ(close(), 0);
    ASSERT_TRUE(::FreeLibrary(library)) << ::GetLastError();
    ASSERT_EQ(::GetModuleHandleW(L"qmcore.dll"), nullptr) << "the library stayed loaded";
  }

  std::filesystem::path folder;
};

TEST_F(LibraryUnload, LoadingAndUnloadingAgainLeaksNoFiberSlot) {
  // The first load may keep what the runtimes set up once per process.
  ASSERT_NO_FATAL_FAILURE(load_log_and_unload());
  const std::size_t free_before = free_fiber_slots();
  ASSERT_GT(free_before, 0u);
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_NO_FATAL_FAILURE(load_log_and_unload());
  }
  EXPECT_EQ(free_fiber_slots(), free_before);
  // A throw is dispatched through the process's vectored handlers first:
  // none of the library's may be left behind, pointing into unmapped code.
  EXPECT_THROW(throw std::runtime_error("after the unload"), std::runtime_error);
}

}  // namespace
