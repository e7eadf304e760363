// The guard's install/restore discipline, the fixed texts, exceptions
// without a record, and the faults that must not be translated.
#include <gtest/gtest.h>
#include <krcore/se_translator.h>
#include <signal.h>

#include <thread>

#include "fault_generators.h"
#include "fault_signals.h"

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

TEST(Guard, TranslatorSettingIsPerThread) {
  se guard;
  se::translator_function seen = &own_translator;
  std::thread([&] { seen = set_thread_translator(nullptr); }).join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(who_translates(), 'L');
}

TEST(Texts, NamesAndDescriptionsAreTheFixedOnes) {
  EXPECT_EQ(se::name(0xC0000005), "Access Violation");
  EXPECT_EQ(se::description(0xC0000005),
            "The thread attempted to read from or write to a virtual address for which it does "
            "not have the appropriate access");
  EXPECT_EQ(se::name(0xC00000FD), "Stack Overflow");
  EXPECT_EQ(se::description(0xC00000FD), "The thread used up its stack");
  EXPECT_EQ(se::name(0xE06D7363), "Microsoft C++ Exception");
  EXPECT_EQ(se::description(0x80000001), "Guard Page Exception");
  EXPECT_EQ(se::description(0xC0000017),
            "The allocation attempt failed because of a lack of available memory or heap "
            "corruption.");
  EXPECT_EQ(se::name(0x40000015), "Fatal App Exit");
  EXPECT_EQ(se::description(0x40000015), "Unknown SEH Exception");
  EXPECT_EQ(se::name(0xC0000409), "SEH:Unknown:excode=[3221226505,0xc0000409]");
  EXPECT_EQ(se::description(0xC0000409), "Unknown SEH Exception");
}

// Builds exceptions from records made by hand (the constructor taking a
// record is protected).
struct from_record : se::exception {
  explicit from_record(EXCEPTION_POINTERS* p) : se::exception(p) {}
};

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

TEST(Exception, ReadsAHandMadeRecordWithoutCopyingIt) {
  EXCEPTION_RECORD rec{};
  CONTEXT ctx{};
  EXCEPTION_POINTERS ptrs{&rec, &ctx};
  rec.ExceptionCode = 0xC0000409;
  rec.ExceptionFlags = 1;
  rec.ExceptionAddress = &rec;
  const from_record e(&ptrs);
  EXPECT_EQ(e.pointers(), &ptrs);
  EXPECT_FALSE(e.is_continuable());
  EXPECT_EQ(e.address(), &rec);
  EXPECT_EQ(e.description(), "Unknown SEH Exception");
  rec.ExceptionFlags = 0;
  EXPECT_TRUE(e.is_continuable());
}

TEST(Exception, TranslatorThrowsTheClassOfTheRecordsCode) {
  EXCEPTION_RECORD rec{};
  CONTEXT ctx{};
  EXCEPTION_POINTERS ptrs{&rec, &ctx};
  rec.ExceptionCode = 0xC0000017;
  rec.ExceptionInformation[0] = 4096;
  try {
    se::translator(0, &ptrs);  // the first argument is not used
  } catch (const se::no_memory& e) {
    EXPECT_EQ(e.mem_size(), 4096u);
    EXPECT_EQ(e.pointers(), &ptrs);
  }
  rec.ExceptionCode = 0xC0000409;
  try {
    se::translator(0xC0000005, &ptrs);
  } catch (const se::access_violation&) {
    ADD_FAILURE() << "the argument code was used";
  } catch (const se::exception& e) {
    EXPECT_EQ(typeid(e), typeid(se::exception));
    EXPECT_EQ(e.code(), 0xC0000409u);
  }
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
  EXPECT_EXIT(
      {
        se guard;
        try {
          raise(SIGSEGV);
        } catch (...) {
        }
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        se guard;
        try {
          raise(SIGFPE);
        } catch (...) {
        }
      },
      ::testing::KilledBySignal(SIGFPE), "");
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
