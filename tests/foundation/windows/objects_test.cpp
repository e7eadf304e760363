// The library's synchronisation objects on Windows are the system's own:
// one name is one object across every holder of it, a name that belongs to
// another kind of object is refused, and waits that the library takes wider
// than 32 bits are never cut to their low bits.
#include <gtest/gtest.h>
#include <krcore/foundation.h>
#include <windows.h>

#include <string>
#include <thread>

#include "foundation/errors.h"
#include "foundation/waitable.h"

namespace {

// A name no other test process uses.
std::wstring unique_name(const wchar_t* what) {
  return std::wstring(L"Local\\qmcore-test-") + what + L"-" +
         std::to_wstring(::GetCurrentProcessId());
}

}  // namespace

TEST(WindowsNamedObjects, OneNameIsOneObject) {
  const std::wstring name = unique_name(L"event");
  krCore::manualresetevent first(name);
  krCore::manualresetevent second(name);
  EXPECT_NE(static_cast<void*>(first), static_cast<void*>(second));  // two handles
  first.signal();
  EXPECT_EQ(::WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  second.reset();
  EXPECT_EQ(::WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  const std::wstring semaphore_name = unique_name(L"semaphore");
  krCore::semaphore counter(2, 0, semaphore_name);
  krCore::semaphore same(2, 0, semaphore_name);
  EXPECT_TRUE(counter.release(2));
  EXPECT_FALSE(same.release(1));  // the one count is full
  EXPECT_EQ(::WaitForSingleObject(same, 0), WAIT_OBJECT_0);
}

TEST(WindowsNamedObjects, ASecondCreatorIsToldTheObjectExisted) {
  const std::wstring name = unique_name(L"exists");
  HANDLE created = krCore::detail::create_event(true, false, name);
  ASSERT_NE(created, nullptr);
  HANDLE opened = krCore::detail::create_event(true, false, name);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(::GetLastError(), krCore::detail::kErrorAlreadyExists);
  ::CloseHandle(opened);
  ::CloseHandle(created);

  // The mutex class opens an existing mutex instead of owning it.
  const std::wstring mutex_name = unique_name(L"mutex");
  krCore::mutex owner(true, mutex_name);
  EXPECT_TRUE(owner.own());
  bool other_owns = true, other_acquired = true;
  std::thread([&] {
    krCore::mutex other(true, mutex_name);
    other_owns = other.own();
    other_acquired = other.aquire(0);
  }).join();
  EXPECT_FALSE(other_owns);
  EXPECT_FALSE(other_acquired);  // initial ownership was not granted either
  EXPECT_EQ(owner.release(), 0u);
}

TEST(WindowsNamedObjects, ANameOfAnotherKindIsRefused) {
  const std::wstring name = unique_name(L"kind");
  krCore::manualresetevent event(name);
  EXPECT_EQ(krCore::detail::create_mutex(false, name), nullptr);
  EXPECT_EQ(::GetLastError(), krCore::detail::kErrorInvalidHandle);
  EXPECT_EQ(krCore::detail::create_semaphore(0, 1, name), nullptr);
  EXPECT_EQ(::GetLastError(), krCore::detail::kErrorInvalidHandle);
  EXPECT_THROW(krCore::mutex(false, name), krCore::mutexException);
  EXPECT_THROW(krCore::semaphore(1, 0, name), krCore::semaphore_exception);
}

TEST(WindowsWaits, ATimeOutBeyond32BitsIsTheLongestWaitNotItsLowBits) {
  // 2^32 ms (and 2^32 + 5) cut to their low bits would time out at once
  // (or after 5 ms); the waits must still be waiting when the event comes.
  for (const unsigned long long timeout : {1ull << 32, (1ull << 32) + 5}) {
    krCore::manualresetevent late;
    HANDLE h = late;
    krCore::manualresetevent returned;
    DWORD result = 0xFFu;
    std::thread waiter([&] {
      result = krCore::detail::wait_any(&h, 1, timeout);
      returned.signal();
    });
    EXPECT_EQ(::WaitForSingleObject(returned, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << timeout;
    late.signal();
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0) << timeout;
  }
}
