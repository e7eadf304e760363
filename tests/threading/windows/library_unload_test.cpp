// qmcore.dll loaded and unloaded again and again by a host, which starts
// one of the library's threads each time (the logger's configuration
// watcher) and ends it again, and logs to a file from its own threads, one
// of which outlives the unload: each unload gives back what the load took
// of the process's fixed supplies, and leaves nothing that holds the DLL
// loaded. This program links neither the DLL nor its objects; it loads the
// DLL by name from the search path, and reaches the logger's programmatic
// start by its exported name.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
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

  // Loads the library, starts the logger (and with it its watcher thread)
  // and has it write to a file, logs from this thread and from another one
  // that is still running as the library goes, closes the logger (which
  // ends the watcher) and unloads the library.
  void load_log_and_unload() {
    const HMODULE library = ::LoadLibraryW(L"qmcore.dll");
    ASSERT_NE(library, nullptr) << ::GetLastError();
    const auto initialize = reinterpret_cast<void (*)(const wchar_t*)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLogInitialize")));
    const auto log = reinterpret_cast<int (*)(const wchar_t*)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLog")));
    const auto flush = reinterpret_cast<int (*)()>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLogFlush")));
    const auto close = reinterpret_cast<int (*)()>(
        reinterpret_cast<void (*)()>(::GetProcAddress(library, "krLogClose")));
    // singleton<logger>'s instance and logger::initialize(options, level,
    // size, files, name), whose `this` comes first as for a free function.
    const auto* instance = reinterpret_cast<const std::atomic<void*>*>(
        ::GetProcAddress(library, "_ZN6krCore14singleton_baseINS_6loggerEE9_instanceE"));
    const auto to_file = reinterpret_cast<void (*)(void*, int, int, int, int, const wchar_t*)>(
        reinterpret_cast<void (*)()>(
            ::GetProcAddress(library, "_ZN6krCore6logger10initializeEiiiiPKw")));
    ASSERT_TRUE(initialize && log && flush && close && instance && to_file);
    const std::wstring base = (folder / "unload").wstring();
    initialize(base.c_str());
    to_file(instance->load(), 1, 3, 0, 0, base.c_str());  // the file only, normal level
    EXPECT_EQ(log(L"loaded once more"), 0);
    // A host thread that logged keeps running past the unload.
    const HANDLE logged = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE unloaded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread host([&] {
      log(L"from a host thread");
      ::SetEvent(logged);
      ::WaitForSingleObject(unloaded, INFINITE);
    });
    const DWORD waited = ::WaitForSingleObject(logged, 60000);
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(close(), 0);
    const bool freed = ::FreeLibrary(library);
    const HMODULE left = ::GetModuleHandleW(L"qmcore.dll");
    ::SetEvent(unloaded);
    host.join();
    ::CloseHandle(logged);
    ::CloseHandle(unloaded);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    ASSERT_TRUE(freed) << ::GetLastError();
    ASSERT_EQ(left, nullptr) << "the library stayed loaded";
    EXPECT_NE(logged_text().find(L"from a host thread"), std::wstring::npos)
        << "the host thread's line never reached a file";
  }

  // What the log files in the folder hold (UTF-16LE), one after another.
  std::wstring logged_text() const {
    std::wstring text;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return text;
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
