// The usage counter and its holders, and the resource holders: what each
// releases, exactly once (the sanitizer pass reports a double release or a
// leak).
#if !defined(_WIN32)
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>
#include <krcore/foundation.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/waitable.h"

namespace {

using krCore::AtomicCounter_t;

bool done(AtomicCounter_t& c) { return WaitForSingleObject(c.DoneEvent(), 0) == 0; }

TEST(AtomicCounter, DoneEventFollowsTheReturnsToZeroAlsoUnderRacingPairs) {
  AtomicCounter_t c;
  EXPECT_FALSE(done(c));  // never incremented
  EXPECT_EQ(c.Increment(), 1u);
  EXPECT_EQ(c.Decrement(), 0u);
  EXPECT_TRUE(done(c) && done(c));  // manual reset: every waiter sees it
  c.Increment();
  EXPECT_FALSE(done(c));
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        c.Increment();
        c.Decrement();
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(c.Decrement(), 0u);
  EXPECT_TRUE(done(c));
}

TEST(AutoAtomicCounter, HoldersMoveTheCountBetweenCountersAndCountOnce) {
  AtomicCounter_t a, b;
  {
    krCore::AutoAtomicCounter_t x(a), y(b);
    krCore::AutoAtomicCounter_t copy(y);
    x = y;
    EXPECT_TRUE(done(a));
    EXPECT_EQ(b.Counter(), 3u);
    x = x;
    EXPECT_EQ(b.Counter(), 3u);
  }
  EXPECT_TRUE(done(b));

  krCore::AutoAtomicCounter_r_t empty;
  {
    krCore::AutoAtomicCounter_r_t h(a);
    krCore::AutoAtomicCounter_r_t copy(empty);
    copy = h;
    EXPECT_EQ(a.Counter(), 2u);
    h.release();
    h.release();
    EXPECT_EQ(a.Counter(), 1u);
    copy.swap(h);
    EXPECT_EQ(copy.Counter(), 0u);
  }
  EXPECT_TRUE(done(a));
}

// The holders of memory the system allocates are given the C library's blocks
// here, which only the Linux stand-ins free alike; the Windows holders have
// their own tests in windows/.
#if !defined(_WIN32)
TEST(Holders, EachReleasesItsResourceOnce) {
  HANDLE h = krCore::detail::create_event(true, false, L"");
  {
    krCore::auto_closehandle invalid(INVALID_HANDLE_VALUE);  // nothing to close
    krCore::auto_closehandle holder(h);
    holder.attach(h);  // the same value: nothing happens
    holder.close();
    holder.close();
  }
  EXPECT_FALSE(CloseHandle(h));  // closed exactly once above
  krCore::CloseHandleImpl(h);    // logs, never throws
  krCore::autoresetevent e;
  { std::shared_ptr<void> keep(static_cast<void*>(e), krCore::NoCloseHandleImpl); }
  e.signal();
  EXPECT_EQ(WaitForSingleObject(e, 0), 0u);  // still open

  krCore::auto_localfree local(std::malloc(8));
  local.attach(local.release());
  local.dispose();
  local.dispose();
  krCore::auto_malloc block(32);                    // the sanitizer pass reports a leak
  krCore::auto_heap_memory heap(64, 0x8, nullptr);  // 0x8: zeroed
  const char zeros[64] = {};
  EXPECT_EQ(std::memcmp(heap.get(), zeros, 64), 0);
  krCore::auto_CoTaskMemFree com(static_cast<wchar_t*>(std::malloc(16)));
  wchar_t* text = static_cast<wchar_t*>(std::malloc(4 * sizeof(wchar_t)));
  { krCore::auto_rpcstringfree rpc(&text); }
  EXPECT_EQ(text, nullptr);  // freed through the address

  krCore::auto_fclose f(std::tmpfile());
  f.attach(std::tmpfile());
  f.close();
  krCore::auto_freelibrary lib(::dlopen("libm.so.6", RTLD_NOW));
  EXPECT_NE(lib.get(), nullptr);
  lib.dispose();
  EXPECT_EQ(lib.get(), nullptr);
}

#endif

}  // namespace
