// The guard's install/restore discipline, the fixed texts, exceptions
// without a record, and the faults that must not be translated.
#include <gtest/gtest.h>
#include <krcore/se_translator.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "fault_generators.h"
#include "diagnostics/fault_signals.h"

namespace {

using se = se_translator;
using krCore::detail::set_thread_translator;

// A translator of the caller's own, told apart by what it throws.
struct own_translation {
  unsigned int code;
};
void own_translator(unsigned int, EXCEPTION_POINTERS* p) {
  throw own_translation{p->ExceptionRecord->ExceptionCode};
}

// Which translator handled a read fault: 'L' the library's, 'O' ours.
char who_translates() {
  try {
    faultgen::read_at(reinterpret_cast<void*>(0x8));
  } catch (const se::access_violation&) {
    return 'L';
  } catch (const own_translation&) {
    return 'O';
  }
  return '-';
}

TEST(Guard, NestedGuardsRestoreEachOtherAndThePreviousTranslator) {
  EXPECT_EQ(set_thread_translator(&own_translator), nullptr);
  EXPECT_EQ(who_translates(), 'O');
  {
    se outer;
    EXPECT_EQ(who_translates(), 'L');
    {
      se inner;
      EXPECT_EQ(who_translates(), 'L');
    }
    EXPECT_EQ(who_translates(), 'L');  // the inner guard restored the outer's
  }
  EXPECT_EQ(who_translates(), 'O');  // the outer guard restored ours
  EXPECT_EQ(set_thread_translator(nullptr), &own_translator);
}

TEST(Guard, CopyAssignmentTakesTheKeptTranslatorAndInstallsNothing) {
  set_thread_translator(&own_translator);
  {
    se first;
    set_thread_translator(nullptr);
    se second;       // keeps null
    second = first;  // now keeps ours
    EXPECT_EQ(set_thread_translator(&se::translator), &se::translator);
  }
  // Both guards restored ours: `second` directly, `first` after it.
  EXPECT_EQ(set_thread_translator(nullptr), &own_translator);
}

// Codes without a text of their own are named by their number.
TEST(Texts, CodesWithoutTextsFallBack) {
  const struct {
    unsigned int code;
    const char* name;
    const char* description;
  } expected[] = {
      {0x40000015, "Fatal App Exit", "Unknown SEH Exception"},
      {0xC0000409, "SEH:Unknown:excode=[3221226505,0xc0000409]", "Unknown SEH Exception"},
      {0, "SEH:Unknown:excode=[0,0x0]", "Unknown SEH Exception"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(se::name(e.code), e.name);
    EXPECT_EQ(se::description(e.code), e.description);
  }
}

TEST(Exception, WithoutRecordIsAnUnknownContinuableCode) {
  const se::exception e;
  EXPECT_EQ(e.code(), 0xC000000Du);
  EXPECT_EQ(e.address(), nullptr);
  EXPECT_TRUE(e.is_continuable());
  EXPECT_STREQ(e.what(), "se_translator::exception");
  EXPECT_EQ(e.name(), "SEH:Unknown:excode=[3221225485,0xc000000d]");
  EXPECT_STREQ(se::exception("disk on fire").what(), "disk on fire");
  EXPECT_STREQ(se::exception(std::wstring(L"wide text")).what(), "wide text");
}

// Codes Linux never produces still have their classes and names (the
// produced ones are checked on real faults); the translator throws the class
// of the record's code, not of its argument, reading the record in place.
TEST(Exception, TranslatorThrowsTheClassOfTheRecordsCode) {
  const struct {
    unsigned int code;
    const std::type_info& type;
  } classes[] = {
      {0xC0000017, typeid(se::no_memory)},  {0xC000008C, typeid(se::array_bounds_exceeded)},
      {0x80000001, typeid(se::guard_page)}, {0xE06D7363, typeid(se::microsoft_cpp)},
      {0xC0000409, typeid(se::exception)},
  };
  EXCEPTION_RECORD rec{};
  CONTEXT ctx{};
  EXCEPTION_POINTERS ptrs{&rec, &ctx};
  rec.ExceptionInformation[0] = 4096;
  rec.ExceptionFlags = 1;
  for (const auto& c : classes) {
    rec.ExceptionCode = c.code;
    try {
      se::translator(0xC0000005, &ptrs);  // the first argument is not used
      ADD_FAILURE() << "nothing thrown";
    } catch (const se::exception& e) {
      EXPECT_EQ(typeid(e), c.type) << std::hex << c.code;
      EXPECT_EQ(e.pointers(), &ptrs);
      EXPECT_FALSE(e.is_continuable());
      EXPECT_EQ(e.name().rfind("SEH:Unknown", 0) == 0, c.code == 0xC0000409) << e.name();
      if (c.code == 0xC0000017) {
        EXPECT_EQ(static_cast<const se::no_memory&>(e).mem_size(), 4096u);
      }
    }
  }
}

// A host that installed a small alternate signal stack (glibc's classic
// 8 KiB) before the first guard: the handler needs about as much as that
// holds (more under the sanitizers, or deeper in a stack), so it must not
// run there at all — neither the host's stack nor the heap below it is
// touched — and the host's stack is back in force once the guard ends.
TEST(Guard, SmallHostSignalStackIsSetAsideWhileGuarded) {
  std::thread([] {
    constexpr std::size_t kHostSize = 8 * 1024, kBelow = 56 * 1024;
    std::vector<unsigned char> heap(kBelow + kHostSize, 0xA5);
    stack_t host{};
    host.ss_sp = heap.data() + kBelow;
    host.ss_size = kHostSize;
    ASSERT_EQ(sigaltstack(&host, nullptr), 0);
    for (int round = 0; round < 2; ++round) {  // the second guard sets it aside again
      se guard;
      EXPECT_EQ(who_translates(), 'L');
    }
    stack_t now{};
    ASSERT_EQ(sigaltstack(nullptr, &now), 0);
    EXPECT_EQ(now.ss_sp, host.ss_sp);
    EXPECT_EQ(now.ss_size, kHostSize);
    EXPECT_FALSE(now.ss_flags & SS_DISABLE);
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::size_t overwritten = 0;
    for (const unsigned char byte : heap) overwritten += byte != 0xA5;
    EXPECT_EQ(overwritten, 0u);
  }).join();
}

// Faults that are not translated reach the previous disposition: the
// default one, which kills the process with the same signal.
using NotTranslatedDeathTest = ::testing::Test;

TEST(NotTranslatedDeathTest, ThreadWithoutTranslatorStillCrashes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        se guard;  // on this thread only
        std::thread([] { faultgen::read_at(reinterpret_cast<void*>(0x8)); }).join();
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

TEST(NotTranslatedDeathTest, RaisedSignalsAreNotTranslated) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const int sig : {SIGSEGV, SIGFPE, SIGILL}) {
    EXPECT_EXIT(
        {
          se guard;
          try {
            raise(sig);
          } catch (...) {
          }
        },
        ::testing::KilledBySignal(sig), "")
        << sig;
  }
}

// A handler that was in place before the library's runs for the faults the
// library does not translate.
void earlier_handler(int, siginfo_t* info, void*) {
  static const char text[] = "earlier handler ran\n";
  (void)!write(2, text, sizeof text - 1);
  _exit(info->si_addr == reinterpret_cast<void*>(0x28) ? 3 : 4);
}

TEST(NotTranslatedDeathTest, EarlierHandlerIsChained) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction sa {};
        sa.sa_sigaction = &earlier_handler;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, nullptr);
        se guard;  // the first guard of this process installs the library's handler
        if (who_translates() != 'L') _exit(5);
        std::thread([] { faultgen::read_at(reinterpret_cast<void*>(0x28)); }).join();
      },
      ::testing::ExitedWithCode(3), "earlier handler ran");
}

// The earlier handler is reached as the kernel would have delivered to it:
// with its mask and the signal blocked (or not, for SA_NODEFER), once only
// when it asked to be reset, and SA_SIGINFO with SIG_DFL is the default.
// The exit status tells what the handler saw: 10, plus 1 when SIGSEGV was
// blocked, plus 2 when SIGUSR2 was.
void report_mask(int) {
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  _exit(10 + (sigismember(&now, SIGSEGV) == 1) + 2 * (sigismember(&now, SIGUSR2) == 1));
}

// Counts its runs; a second one means the reset was lost.
std::atomic<int> g_one_shot_runs{0};
void one_shot(int) {
  if (g_one_shot_runs.fetch_add(1) > 0) _exit(7);
  static const char text[] = "one-shot handler ran\n";
  (void)!write(2, text, sizeof text - 1);
}

// Installs `handler` with `flags` (and `mask` when not 0) for SIGSEGV, sets
// a translator on this thread, and faults on a thread without one. A child
// that loops instead of ending is stopped by the alarm.
void fault_under_host_handler(void (*handler)(int), int flags, int mask) {
  alarm(60);
  struct sigaction sa {};
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  if (mask) sigaddset(&sa.sa_mask, mask);
  sigaction(SIGSEGV, &sa, nullptr);
  se guard;
  std::thread([] { faultgen::read_at(reinterpret_cast<void*>(0x8)); }).join();
  _exit(5);
}

TEST(NotTranslatedDeathTest, EarlierHandlerRunsAsTheKernelWouldRunIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(fault_under_host_handler(&report_mask, 0, SIGUSR2), ::testing::ExitedWithCode(13),
              "");
  EXPECT_EXIT(fault_under_host_handler(&report_mask, SA_NODEFER, 0), ::testing::ExitedWithCode(10),
              "");
  EXPECT_EXIT(fault_under_host_handler(&one_shot, SA_RESETHAND, 0),
              ::testing::KilledBySignal(SIGSEGV), "one-shot handler ran");
  EXPECT_EXIT(fault_under_host_handler(SIG_DFL, SA_SIGINFO, 0), ::testing::KilledBySignal(SIGSEGV),
              "");
}

TEST(NotTranslatedDeathTest, BreakpointWithoutTranslatorTraps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        { se guard; }  // handlers installed, translator gone again
        std::uintptr_t where;
        faultgen::breakpoint(&where);
      },
      ::testing::KilledBySignal(SIGTRAP), "");
}

}  // namespace
