// Hardware faults on Windows: each arrives as its class, with its code,
// access kind and address, on any thread that has a translator, again and
// again (a stack overflow included); a thread without one leaves the fault
// to the handlers after the library's.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/se_translator.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "diagnostics/fault_frames.h"
#include "diagnostics/fault_record.h"
#include "diagnostics/fault_signals.h"
#include "faults/fault_generators.h"

namespace {

using se = se_translator;
constexpr std::uintptr_t kAny = ~std::uintptr_t{0};

// Pages the cases fault on: one inaccessible, one readable and writable but
// not executable.
struct pages {
  char* none = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
  char* data = static_cast<char*>(::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
};
pages& test_pages() {
  static pages p;
  return p;
}

struct fault_case {
  const char* name;
  std::function<void(std::uintptr_t* expected_address)> generate;
  const std::type_info& type;
  unsigned int code;
  std::uintptr_t info0 = kAny;
  std::uintptr_t info1 = kAny;
};

void check(const fault_case& c) {
  std::uintptr_t expected_address = kAny;
  try {
    c.generate(&expected_address);
    ADD_FAILURE() << "no fault";
  } catch (const se::exception& e) {
    EXPECT_EQ(typeid(e).name(), std::string(c.type.name()));
    EXPECT_EQ(e.code(), c.code);
    const EXCEPTION_RECORD* r = e.pointers()->ExceptionRecord;
    const auto address = reinterpret_cast<std::uintptr_t>(e.address());
    if (c.info0 != kAny) {
      EXPECT_EQ(r->ExceptionInformation[0], c.info0);
    }
    if (c.info1 != kAny) {
      EXPECT_EQ(r->ExceptionInformation[1], c.info1);
    }
    if (expected_address != kAny) {
      EXPECT_EQ(address, expected_address);
    }
    if (const auto* av = dynamic_cast<const se::access_violation*>(&e)) {
      EXPECT_EQ(av->is_read_op(), r->ExceptionInformation[0] == 0);
    }
    EXPECT_TRUE(e.is_continuable());
    // The record shows the faulting instruction, where the captured stack
    // starts, and the callers down to this function.
    EXPECT_EQ(e.pointers()->ContextRecord->Rip, address);
    const auto frames = krCore::detail::fault_frames(e);
    ASSERT_GE(frames.count, 3u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(frames.frames[0]), address);
  }
}

std::vector<fault_case> all_cases() {
  pages& p = test_pages();
  const auto none = reinterpret_cast<std::uintptr_t>(p.none);
  const auto data = reinterpret_cast<std::uintptr_t>(p.data);
  const auto code = reinterpret_cast<std::uintptr_t>(&faultgen::divide);
  return {
      {"read null page", [](auto*) { faultgen::read_at(reinterpret_cast<void*>(0x10)); },
       typeid(se::access_violation), 0xC0000005, 0, 0x10},
      {"read protected page", [&p](auto*) { faultgen::read_at(p.none + 8); },
       typeid(se::access_violation), 0xC0000005, 0, none + 8},
      {"write protected page", [&p](auto*) { faultgen::write_at(p.none + 16); },
       typeid(se::access_violation), 0xC0000005, 1, none + 16},
      {"write read-only code",
       [](auto*) { faultgen::write_at(reinterpret_cast<void*>(&faultgen::divide)); },
       typeid(se::access_violation), 0xC0000005, 1, code},
      {"call unmapped",
       [](std::uintptr_t* a) {
         *a = 0x40;
         faultgen::call_at(reinterpret_cast<void*>(0x40));
       },
       typeid(se::access_violation), 0xC0000005, 8, 0x40},
      {"call non-executable",
       [&p](std::uintptr_t* a) {
         *a = reinterpret_cast<std::uintptr_t>(p.data);
         faultgen::call_at(p.data);
       },
       typeid(se::access_violation), 0xC0000005, 8, data},
      {"runtime reads bad pointer",
       [](auto*) {
         static volatile auto len = &strlen;
         len(reinterpret_cast<const char*>(0x20));
       },
       typeid(se::access_violation), 0xC0000005, 0, 0x20},
      {"stack overflow", [](auto*) { faultgen::exhaust_stack(0); }, typeid(se::stack_overflow),
       0xC00000FD},
      {"divide by zero", [](auto*) { faultgen::divide(7, 0); }, typeid(se::int_divide_by_zero),
       0xC0000094},
      {"INT_MIN / -1", [](auto*) { faultgen::divide(INT_MIN, -1); }, typeid(se::int_overflow),
       0xC0000095},
      {"illegal instruction", [](auto*) { faultgen::illegal_instruction(); },
       typeid(se::illegal_instruction), 0xC000001D},
      {"privileged instruction", [](auto*) { faultgen::privileged_instruction(); },
       typeid(se::priv_instruction), 0xC0000096},
      {"breakpoint", [](std::uintptr_t* a) { faultgen::breakpoint(a); }, typeid(se::breakpoint),
       0x80000003},
  };
}

void check_all_cases(int rounds) {
  se guard;
  for (const fault_case& c : all_cases()) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      check(c);
    }
  }
}

TEST(FaultTranslationOnWindows, EveryFaultArrivesAsItsClassOnTheMainAndAnotherThread) {
  check_all_cases(3);
  std::thread([] { check_all_cases(3); }).join();
}

// A handler behind the library's, as the system or a host would have one:
// it counts the illegal instructions it sees and steps over them.
LONG g_seen_by_host = 0;
LONG CALLBACK host_handler(EXCEPTION_POINTERS* p) {
  if (p->ExceptionRecord->ExceptionCode != 0xC000001D) return EXCEPTION_CONTINUE_SEARCH;
  ++g_seen_by_host;
  p->ContextRecord->Rip += 2;  // ud2
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct host_handler_scope {
  void* handle = ::AddVectoredExceptionHandler(0, &host_handler);
  ~host_handler_scope() { ::RemoveVectoredExceptionHandler(handle); }
};

TEST(FaultTranslationOnWindows, WithoutATranslatorTheFaultGoesToTheHandlersAfterTheLibrarys) {
  { se installs_the_handler; }
  host_handler_scope host;
  g_seen_by_host = 0;
  faultgen::illegal_instruction();  // no translator on this thread
  EXPECT_EQ(g_seen_by_host, 1);
  std::thread([] {
    se only_there;
  }).join();
  faultgen::illegal_instruction();
  EXPECT_EQ(g_seen_by_host, 2);
  {
    se guard;  // while a translator is in force the host sees nothing
    EXPECT_THROW(faultgen::illegal_instruction(), se::illegal_instruction);
  }
  EXPECT_EQ(g_seen_by_host, 2);
}

TEST(FaultTranslationOnWindows, RecordsStayValidAcrossFaultsAndThreads) {
  std::exception_ptr kept;
  std::thread([&] {
    se guard;
    try {
      faultgen::read_at(reinterpret_cast<void*>(0x58));
    } catch (const se::access_violation& outer) {
      try {
        faultgen::write_at(test_pages().none + 200);
      } catch (const se::access_violation& inner) {
        EXPECT_NE(inner.pointers(), outer.pointers());
        EXPECT_FALSE(inner.is_read_op());
      }
      EXPECT_TRUE(outer.is_read_op());
      EXPECT_EQ(outer.inaccessible_address(), 0x58u);
      kept = std::current_exception();
    }
  }).join();
  ASSERT_TRUE(kept);
  try {
    std::rethrow_exception(kept);
  } catch (const se::access_violation& e) {
    EXPECT_EQ(e.inaccessible_address(), 0x58u);
    EXPECT_GE(krCore::detail::fault_frames(e).count, 2u);
  }
}

// The C++ runtime's threads lose their thread-local storage before the
// system's end-of-thread callbacks run, and it is there that an ended
// thread's records are given up: none may stay behind, and one that an
// object still refers to goes with that object.
TEST(FaultTranslationOnWindows, AnEndedThreadsRecordsGoWithItOrWithTheLastObjectKeepingOne) {
  { se on_this_thread_too; }
  const std::size_t before = krCore::detail::fault_pool_live_count();
  for (int i = 0; i < 20; ++i) {
    std::thread([] {
      se guard;
      EXPECT_THROW(faultgen::read_at(reinterpret_cast<void*>(0x68)), se::access_violation);
    }).join();
  }
  EXPECT_EQ(krCore::detail::fault_pool_live_count(), before);

  std::exception_ptr kept;
  std::thread([&kept] {
    se guard;
    try {
      faultgen::read_at(reinterpret_cast<void*>(0x70));
    } catch (const se::access_violation&) {
      kept = std::current_exception();
    }
  }).join();
  EXPECT_EQ(krCore::detail::fault_pool_live_count(), before + 1);
  kept = nullptr;
  EXPECT_EQ(krCore::detail::fault_pool_live_count(), before);
}

TEST(FaultTranslationOnWindows, ConcurrentThreadsEachGetTheirOwnFaults) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      se guard;
      const auto address = reinterpret_cast<void*>(0x1000 * (t + 1) + 8);
      for (int i = 0; i < 500; ++i) {
        try {
          faultgen::read_at(address);
          ++wrong[t];
        } catch (const se::access_violation& e) {
          if (e.pointers()->ExceptionRecord->ExceptionInformation[1] !=
              reinterpret_cast<std::uintptr_t>(address))
            ++wrong[t];
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
