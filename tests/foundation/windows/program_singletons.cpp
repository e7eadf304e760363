// A program that links qmcore.dll keeps its own singleton<T> classes in
// itself, and reaches the library's own singletons (the logger here) as the
// very instances the library uses.
#include <gtest/gtest.h>

#include <krcore/krlog.h>
#include <krcore/logging.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class ProgramCounter : public krCore::singleton<ProgramCounter> {
  friend class krCore::singleton<ProgramCounter>;

 public:
  int next() { return ++_value; }
  static void close() { destroy_instance(); }

 private:
  ProgramCounter() = default;
  int _value = 0;
};

TEST(ProgramSingletons, AProgramsOwnClassLinksAndKeepsOneInstance) {
  ProgramCounter* first = ProgramCounter::instance();
  EXPECT_EQ(first->next(), 1);
  EXPECT_EQ(ProgramCounter::instance(), first);
  EXPECT_EQ(ProgramCounter::instance()->next(), 2);
  ProgramCounter::close();
  EXPECT_EQ(ProgramCounter::instance()->next(), 1);
  ProgramCounter::close();
}

TEST(ProgramSingletons, TheLibrarysLoggerIsTheOneTheProgramReaches) {
  std::vector<std::wstring> seen;
  krCore::logger* mine = krCore::singleton<krCore::logger>::instance();
  mine->set_write_message_func(
      [&seen](const wchar_t* text, krCore::logger::log_levels) { seen.emplace_back(text); });
  mine->initialize(0, krCore::logger::log_verbose, 0, 0, nullptr);  // no file, no console
  krLog(L"written through the flat function");
  krLogClose();
  // The settings report may come before it.
  EXPECT_NE(std::find(seen.begin(), seen.end(), L"written through the flat function"), seen.end());
}

}  // namespace
