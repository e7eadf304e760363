// GUID creation, text form and parsing.
#include <gtest/gtest.h>
#include <krcore/sysutil.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cwchar>
#include <cwctype>
// GCC 12 reports a false maybe-uninitialized inside std::regex when building
// with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/thrown.h"
#include "sysutil/guid_text.h"

using namespace krCore;

namespace {

constexpr long kInvalidClassString = static_cast<int>(0x800401F3u);

std::string key(const GUID& g) { return std::string(reinterpret_cast<const char*>(&g), sizeof g); }

// Lower-case 8-4-4-4-12 text of a version 4, RFC 4122 variant GUID.
bool is_v4_text(const std::wstring& t) {
  static const std::wregex v4(
      L"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  return std::regex_match(t, v4);
}

}  // namespace

TEST(Guid, TextIsLowerCaseVersion4AndParsesBackToTheSameValue) {
  for (int i = 0; i < 200; ++i) {
    const std::wstring text = createguid();
    ASSERT_TRUE(is_v4_text(text)) << text;
    const GUID plain = GuidFromString(text);
    std::wstring upper = L"{" + text + L"}";
    for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    EXPECT_EQ(GuidFromString(upper), plain);
  }
  // Field order: the text spells Data1, Data2, Data3, then the Data4 bytes.
  const GUID g = GuidFromString(L"01234567-89ab-cdef-0123-456789ABCDEF");
  const GUID expected{
      0x01234567u, 0x89ab, 0xcdef, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
  EXPECT_EQ(g, expected);
}

TEST(Guid, TextSpellsEveryFieldDigitByDigitAsPrintfDoes) {
  // The text is made many digits at a time; each digit must land in its
  // place with its own value, for every value, whatever the other digits.
  std::vector<GUID> guids = {
      {0x01234567u, 0x89ab, 0xcdef, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}},
      {0xfedcba98u, 0x7654, 0x3210, {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10}}};
  for (unsigned v = 0; v < 16; ++v) {
    const auto byte = static_cast<unsigned char>(v * 0x11);
    guids.push_back({byte * 0x01010101u, static_cast<unsigned short>(byte * 0x0101),
                     static_cast<unsigned short>(byte * 0x0101),
                     {byte, byte, byte, byte, byte, byte, byte, byte}});
  }
  for (int i = 0; i < 1000; ++i) guids.push_back(CreateGUID());
  for (const GUID& g : guids) {
    wchar_t expected[40];
    std::swprintf(expected, 40, L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    ASSERT_EQ(krCore::detail::guid_text(g), expected);
  }
}

TEST(Guid, ValuesAreUniqueAcrossThreadsAndTheirRandomBitsBalanced) {
  constexpr int kThreads = 4, kPerThread = 20000;
  std::vector<std::vector<GUID>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) made[t].push_back(CreateGUID());
    });
  for (auto& t : threads) t.join();

  std::set<std::string> seen;
  std::vector<int> ones(128, 0);
  for (const auto& list : made)
    for (const GUID& g : list) {
      ASSERT_EQ(g.Data3 >> 12, 4);
      ASSERT_EQ(g.Data4[0] >> 6, 2);
      seen.insert(key(g));
      const auto* b = reinterpret_cast<const unsigned char*>(&g);
      for (int bit = 0; bit < 128; ++bit) ones[bit] += (b[bit / 8] >> (bit % 8)) & 1;
    }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  // Apart from the 6 fixed version and variant bits, every bit is set in
  // about half the values (the bound is more than 10 standard deviations).
  int balanced = 0;
  for (int bit = 0; bit < 128; ++bit) {
    const double share = ones[bit] / double(kThreads * kPerThread);
    if (share > 0.47 && share < 0.53) ++balanced;
  }
  EXPECT_EQ(balanced, 122);
}

TEST(Guid, AForkedChildNeverRepeatsItsParentsValues) {
  (void)CreateGUID();  // the parent has random bytes read ahead
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    for (int i = 0; i < 16; ++i) {
      const GUID g = CreateGUID();
      if (write(fds[1], &g, sizeof g) != sizeof g) _exit(2);
    }
    _exit(0);
  }
  close(fds[1]);
  std::set<std::string> parent;
  for (int i = 0; i < 16; ++i) parent.insert(key(CreateGUID()));
  int from_child = 0;
  GUID g;
  while (read(fds[0], &g, sizeof g) == sizeof g) {
    ++from_child;
    EXPECT_EQ(parent.count(key(g)), 0u);
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(from_child, 16);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {
GUID* g_made_at_thread_end = nullptr;
struct makes_guid_at_thread_end {
  ~makes_guid_at_thread_end() { *g_made_at_thread_end = CreateGUID(); }
};
}  // namespace

TEST(Guid, AThreadLocalDestructorStillGetsAGuidAndLeaksNothing) {
  // Made before the thread's first GUID, this thread-local is destroyed
  // after the thread's batch of random bytes is gone; its GUID must still
  // be good, and must not leave a new batch behind that nobody frees (the
  // leak checker of the sanitizer build sees that).
  GUID early{}, late{};
  g_made_at_thread_end = &late;
  std::thread([&early] {
    thread_local makes_guid_at_thread_end at_end;
    (void)&at_end;
    early = CreateGUID();
  }).join();
  EXPECT_NE(early, late);
  EXPECT_EQ(late.Data3 >> 12, 4);
  EXPECT_EQ(late.Data4[0] >> 6, 2);
}

TEST(Guid, ParserAcceptsBracesOrNoneAndNothingElseAndThrowsWhenAsked) {
  const std::wstring good = L"6b29fc40-ca47-1067-b31d-00dd010662da";
  GUID a{}, b{};
  EXPECT_EQ(GuidFromString(good, a, true), 0);
  EXPECT_EQ(GuidFromString((L"{" + good + L"}").c_str(), b, true), 0);
  EXPECT_EQ(a, b);
  EXPECT_TRUE(IsGuid(good));
  EXPECT_TRUE(IsGuid(L"{" + good + L"}"));
  EXPECT_EQ(Api_GuidFromString((L"{" + good + L"}").c_str(), b, false), 0);
  EXPECT_EQ(Api_GuidFromString(good.c_str(), b, false), kInvalidClassString);  // needs braces

  const std::wstring bad[] = {
      L"",
      L"{" + good,                              // no closing brace
      good + L"}",                              // no opening brace
      L"{" + good + L"}x",                      // trailing text
      L" " + good,                              // white space
      good.substr(0, 35),                       // one digit short
      L"6b29fc40ca47-1067-b31d-00dd010662da-",  // dash moved
      L"6b29fc4g-ca47-1067-b31d-00dd010662da",  // not a hex digit
  };
  for (const auto& text : bad) {
    GUID g{};
    EXPECT_FALSE(IsGuid(text)) << text;
    EXPECT_FALSE(IsGuid(text.c_str())) << text;
    EXPECT_EQ(GuidFromString(text, g, false), kInvalidClassString) << text;
  }
  GUID g{};
  EXPECT_EQ(GuidFromString(static_cast<const wchar_t*>(nullptr), g, false), kInvalidClassString);
  EXPECT_FALSE(IsGuid(static_cast<const wchar_t*>(nullptr)));

  // Asked to, bad text throws with the parser's HRESULT.
  const auto e = testsupport::thrown<krException>([] { GuidFromString(L"nope"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code(), 0x800401F3u);
  EXPECT_STREQ(e->what(), "GuidFromString() ::CLSIDFromString failed for string [{nope}]");
  EXPECT_THROW(GuidFromString(std::wstring(L"{nope}"), g, true), krException);
  EXPECT_THROW(Api_GuidFromString(L"x", g, true), krException);
}
