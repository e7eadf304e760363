// Lookups of one address, the trace formatter's directives on the calling
// thread's own stack, walks from a register set, and modules loaded after
// the symbol handler started.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trace_lines.h"

namespace symtarget {
// Its address is looked up below; the body only has to exist.
__attribute__((noinline)) int known_function(int a, const char* b) {
  asm volatile("");
  return a + (b ? b[0] : 0);
}
constexpr int kKnownFunctionLine = __LINE__ - 4;
}  // namespace symtarget

namespace {

unsigned long address_of(const void* p) { return reinterpret_cast<unsigned long>(p); }

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

using tracetest::lines_of;

TEST(SymbolLookup, FunctionModuleAndLineOfAnAddress) {
  sym_engine engine(0);
  engine.address(address_of(reinterpret_cast<const void*>(&symtarget::known_function)) + 1);
  char text[512];
  unsigned long displacement = 0;
  ASSERT_EQ(engine.symbol(text, sizeof text, &displacement),
            std::strlen("symtarget::known_function()"));
  EXPECT_STREQ(text, "symtarget::known_function()");
  EXPECT_EQ(displacement, 1u);

  ASSERT_EQ(engine.module(text, sizeof text), std::strlen("diagnostics_tests"));
  EXPECT_STREQ(text, "diagnostics_tests");

  unsigned int line = 0;
  ASSERT_GT(engine.fileline(text, sizeof text, &line), 0u);
  EXPECT_EQ(std::string(text).substr(std::strlen(text) - std::strlen("/symbols_test.cpp")),
            "/symbols_test.cpp");
  EXPECT_GE(line, static_cast<unsigned>(symtarget::kKnownFunctionLine));
  EXPECT_LE(line, static_cast<unsigned>(symtarget::kKnownFunctionLine) + 3);
}

TEST(SymbolLookup, TruncatesRejectsUnusableBuffersAndAddressesInNoModule) {
  sym_engine engine(0);
  engine.address(address_of(reinterpret_cast<const void*>(&symtarget::known_function)));
  char text[8];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(engine.symbol(text, 5), 4u);
  EXPECT_STREQ(text, "symt");
  EXPECT_EQ(engine.module(text, 1), 0u);
  EXPECT_STREQ(text, "");

  EXPECT_EQ(engine.symbol(nullptr, 100), 0u);
  EXPECT_EQ(engine.fileline(text, 0, nullptr), 0u);

  engine.address(0x10);
  unsigned int line = 7;
  EXPECT_EQ(engine.module(text, sizeof text), 0u);
  EXPECT_EQ(engine.symbol(text, sizeof text), 0u);
  EXPECT_EQ(engine.fileline(text, sizeof text, &line), 0u);
  EXPECT_EQ(line, 7u);

  // Above every module: the calling thread's stack, an address in no
  // mapping and a non-canonical one.
  int on_stack = 0;
  for (unsigned long high : {address_of(&on_stack), 0x7ffffffff000ul, 0xdead000000000000ul}) {
    engine.address(high);
    char name[256] = "";
    EXPECT_EQ(engine.module(name, sizeof name), 0u) << std::hex << high << ": " << name;
    EXPECT_EQ(engine.symbol(name, sizeof name), 0u) << std::hex << high << ": " << name;
  }
}

TEST(SymbolLookup, ModuleLoadedLaterResolves) {
  // Start the handler before the module exists in the process.
  sym_engine engine(0);
  engine.address(address_of(reinterpret_cast<const void*>(&symtarget::known_function)));
  char text[256];
  ASSERT_GT(engine.module(text, sizeof text), 0u);

  void* handle = dlopen(DIAG_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  void* entry = dlsym(handle, "diag_plugin_entry");
  ASSERT_NE(entry, nullptr);
  engine.address(address_of(entry));
  ASSERT_GT(engine.symbol(text, sizeof text), 0u);
  EXPECT_STREQ(text, "diag_plugin_entry()");
  ASSERT_GT(engine.module(text, sizeof text), 0u);
  EXPECT_STREQ(text, "libdiag_plugin.so");
  dlclose(handle);
}

// --- the formatter on the calling thread's own stack

std::string own_trace(unsigned skip, const char* format, bool* ok = nullptr) {
  std::ostringstream os;
  const bool result = sym_engine::stack_trace(os, skip, format);
  if (ok) *ok = result;
  return os.str();
}

TEST(OwnStackTrace, DefaultFormatFromTheTracerThroughTheCaller) {
  const std::vector<std::string> lines = lines_of(own_trace(0, "%f(%l) : %m at %s\n"));
  ASSERT_GE(lines.size(), 3u);
  // Frame 0 is the tracer in the library; its source is the engine's own.
  // own_trace may be inlined: this test's body is frame 1 or 2.
  EXPECT_NE(lines[0].find("sym_engine.cpp("), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(") : libqmcore.so"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(" at sym_engine::stack_trace()"), std::string::npos) << lines[0];
  auto is_body = [](const std::string& line) {
    return line.find("symbols_test.cpp(") != std::string::npos &&
           line.find(") : diagnostics_tests at ") != std::string::npos &&
           ends_with(line,
                     "OwnStackTrace_DefaultFormatFromTheTracerThroughTheCaller_Test::TestBody()");
  };
  EXPECT_TRUE(is_body(lines[1]) || is_body(lines[2])) << lines[1] << " / " << lines[2];
  // The program's entry code comes without source lines: file and line
  // print their placeholders.
  EXPECT_EQ(lines.back(), " (0) : diagnostics_tests at _start()");
}

TEST(OwnStackTrace, UnknownDirectivesPercentAndTrailingPercent) {
  bool ok = false;
  const std::string text = own_trace(0, "%q|%%|\n%", &ok);
  ASSERT_TRUE(ok);
  // Every frame prints the same text: the unknown directive as it stands,
  // one percent sign for "%%", CR LF for the line feed, and the trailing "%".
  const std::string per_frame = "%q|%|\r\n%";
  ASSERT_GE(text.size(), 2 * per_frame.size());
  ASSERT_EQ(text.size() % per_frame.size(), 0u) << text;
  for (std::size_t i = 0; i < text.size(); i += per_frame.size())
    EXPECT_EQ(text.substr(i, per_frame.size()), per_frame);
}

TEST(OwnStackTrace, ModuleBangSymbolPlusDisplacement) {
  const std::vector<std::string> lines = lines_of(own_trace(0, "%m!%s+%sd\n"));
  ASSERT_GE(lines.size(), 2u);
  // The module is the library's file as mapped (its full version name).
  const std::string middle = "!sym_engine::stack_trace()+";
  ASSERT_EQ(lines[0].rfind("libqmcore.so", 0), 0u) << lines[0];
  const std::size_t at = lines[0].find(middle);
  ASSERT_NE(at, std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find_first_not_of("0123456789", at + middle.size()), std::string::npos);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find('!'), std::string::npos) << line;
    EXPECT_NE(line.find("()+"), std::string::npos) << line;
  }
}

TEST(OwnStackTrace, SkipBeyondTheStackOrAFailedStreamPrintNothingAndSucceed) {
  bool ok = false;
  EXPECT_EQ(own_trace(10000, "%m %s\n", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(own_trace(0, nullptr, &ok), "");
  EXPECT_FALSE(ok);
  std::ostringstream os;
  os.setstate(std::ios::badbit);
  EXPECT_TRUE(sym_engine::stack_trace(os, 0, "%s\n"));
}

TEST(OwnStackTrace, ThreadsTraceSideBySide) {
  // The handler is shared; each thread's trace must still be its own.
  constexpr int kThreads = 4, kTraces = 25;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTraces; ++i) {
        const std::string text = own_trace(1, "%s\n");
        if (text.find("ThreadsTraceSideBySide_Test::TestBody()::{lambda()#1}") == std::string::npos)
          ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// --- walks from a register set the caller made

// Fills a CONTEXT with the registers of the calling function at this call.
__attribute__((noinline)) void capture_registers(CONTEXT* c) {
  ucontext_t uc;
  getcontext(&uc);
  const greg_t* g = uc.uc_mcontext.gregs;
  // Describe the caller: its pc is our return address, its stack pointer
  // lies just above it.
  c->Rip = reinterpret_cast<std::uint64_t>(__builtin_return_address(0));
  c->Rsp = reinterpret_cast<std::uint64_t>(__builtin_frame_address(0)) + 16;
  c->Rbp = *static_cast<const std::uint64_t*>(__builtin_frame_address(0));  // the caller's, saved
  c->Rbx = static_cast<std::uint64_t>(g[REG_RBX]);
  c->R12 = static_cast<std::uint64_t>(g[REG_R12]);
  c->R13 = static_cast<std::uint64_t>(g[REG_R13]);
  c->R14 = static_cast<std::uint64_t>(g[REG_R14]);
  c->R15 = static_cast<std::uint64_t>(g[REG_R15]);
}

TEST(RegisterWalk, UnwindsFromTheContextThroughItsCallers) {
  CONTEXT c{};
  capture_registers(&c);
  std::ostringstream os;
  ASSERT_TRUE(sym_engine::stack_trace(os, &c, 0, "%s\n"));
  const std::vector<std::string> lines = lines_of(os.str());
  ASSERT_GE(lines.size(), 3u) << os.str();
  EXPECT_TRUE(
      ends_with(lines[0], "RegisterWalk_UnwindsFromTheContextThroughItsCallers_Test::TestBody()"))
      << lines[0];
  // The walk goes on into the test framework that called the body.
  EXPECT_NE(os.str().find("testing::"), std::string::npos) << os.str();
}

TEST(RegisterWalk, RejectsMissingOrUnreadableContext) {
  sym_engine engine(0);
  EXPECT_FALSE(engine.stack_first(nullptr));
  EXPECT_FALSE(engine.stack_first(reinterpret_cast<CONTEXT*>(0x20)));
  EXPECT_FALSE(engine.stack_next());
  std::ostringstream os;
  EXPECT_FALSE(sym_engine::stack_trace(os, reinterpret_cast<CONTEXT*>(0x20)));
  EXPECT_EQ(os.str(), "");

  // A pc in no module (a call through a bad pointer) is a frame of its own;
  // with no readable stack above it the walk ends there.
  CONTEXT nowhere{};
  nowhere.Rip = 0x1000;
  EXPECT_TRUE(engine.stack_first(&nowhere));
  EXPECT_FALSE(engine.stack_next());
}

}  // namespace
