// The resource holders on Windows: each gives its resource back to the
// system exactly once, and memory to the allocator it came from.
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

namespace {

// Whether `block` is a live block of the process heap, where LocalAlloc and
// CoTaskMemAlloc take theirs. A block given back to the heap is no longer
// one; a block handed to another allocator's free stays one.
bool live_in_process_heap(void* block) {
  return ::HeapValidate(::GetProcessHeap(), 0, block) != FALSE;
}

}  // namespace

TEST(WindowsHolders, SystemMemoryGoesBackToItsOwnAllocator) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(L"agent.exe -loglevel 8", &argc);
  ASSERT_NE(argv, nullptr);
  ASSERT_TRUE(live_in_process_heap(argv));
  { krCore::auto_localfree held(argv); }
  EXPECT_FALSE(live_in_process_heap(argv));

  void* task = ::CoTaskMemAlloc(64);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(live_in_process_heap(task));
  { krCore::auto_CoTaskMemFree held(task); }
  EXPECT_FALSE(live_in_process_heap(task));
}

TEST(WindowsHolders, AHandleIsClosedOnceEvenWhenItsValueIsReused) {
  HANDLE first = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  krCore::auto_closehandle holder(first);
  holder.close();
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(first, &flags));
  // The system hands out freed handle values again: a second close must
  // not reach whatever object the value names now.
  HANDLE reused = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(reused, nullptr);
  holder.close();
  EXPECT_TRUE(::GetHandleInformation(reused, &flags));
  // attach() of another handle closes the held one, the same value nothing.
  HANDLE other = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    krCore::auto_closehandle owner(reused);
    owner.attach(reused);
    EXPECT_TRUE(::GetHandleInformation(reused, &flags));
    owner.attach(other);
    EXPECT_FALSE(::GetHandleInformation(reused, &flags));
  }
  EXPECT_FALSE(::GetHandleInformation(other, &flags));
}
