// Hardware faults on Windows, beside the portable translation tests: a
// thread without a translator leaves the fault to the handlers after the
// library's, and an ended thread's records go with it.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/se_translator.h>

#include <exception>
#include <thread>

#include "diagnostics/fault_record.h"
#include "faults/fault_generators.h"

namespace {

using se = se_translator;

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

}  // namespace
