// The scheduler's tables against a plain reference model, with enough
// commands that the time table is many levels deep: the order in
// which due commands come out (by moment, then insertion order, a moved
// command after those already waiting at its new moment), what Remove finds,
// and IDs of other shapes than the GUID texts the tables make.
#include <gtest/gtest.h>

#include <krcore/sysutil.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <list>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "scheduling/command_tables.h"
#if defined(__linux__)
#include "foundation/huge_page_check.h"
#endif

using krCore::CommandShell_t;
using krCore::detail::command_tables;

namespace {

// The reference: moment, then a counter that rises with every insertion.
using model = std::map<std::pair<double, int>, std::wstring>;

// Schedules `work` under a new ID, as the scheduler does, and returns it.
std::wstring add_new(command_tables& tables, double at,
                     const std::shared_ptr<krCore::IThreadwork>& work) {
  krCore::detail::fresh_id id;
  tables.add_new(at, id, work);
  return id.text();
}

// A work item that does nothing: these tests look only at which item comes
// out where.
struct idle_work : krCore::threadwork {
  void Execute() override {}
};

// A work item that counts how many of its kind are alive.
struct counted_work : krCore::threadwork {
  static inline int alive = 0;
  counted_work() { ++alive; }
  ~counted_work() override { --alive; }
  counted_work(const counted_work&) = delete;
  counted_work& operator=(const counted_work&) = delete;
  void Execute() override {}
};

std::vector<std::wstring> ids_of(const std::list<std::shared_ptr<CommandShell_t>>& taken) {
  std::vector<std::wstring> out;
  for (const auto& command : taken) out.push_back(command->ID);
  return out;
}

}  // namespace

TEST(CommandTables, ManyCommandsComeOutByMomentThenInsertionOrder) {
  command_tables tables;
  model expected;
  std::map<std::wstring, model::key_type> where;
  int counter = 0;
  std::mt19937 random(7);
  // Few distinct moments: long runs of equal moments, which only the
  // insertion order tells apart.
  std::uniform_int_distribution<int> moment(0, 40);

  // Enough commands that the entries, the time table and the ID table all
  // grow past the size where their memory comes in large blocks.
  std::vector<std::wstring> ids;
  for (int i = 0; i < 40000; ++i) {
    const double at = moment(random);
    const std::wstring id = add_new(tables, at, nullptr);
    EXPECT_TRUE(krCore::IsGuid(id));
    ASSERT_TRUE(where.emplace(id, model::key_type{at, counter}).second) << "ID handed out twice";
    expected[{at, counter++}] = id;
    ids.push_back(id);
  }
  // Remove a third, move a third (the move goes behind the commands already
  // waiting at the new moment), and remove some twice.
  for (std::size_t i = 0; i < ids.size(); i += 3) {
    std::shared_ptr<CommandShell_t> removed = tables.remove(ids[i]);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->ID, ids[i]);
    EXPECT_EQ(removed->ExecuteMoment, where[ids[i]].first);
    expected.erase(where[ids[i]]);
    EXPECT_FALSE(tables.remove(ids[i]));
    EXPECT_FALSE(tables.contains(ids[i]));
  }
  for (std::size_t i = 1; i < ids.size(); i += 3) {
    std::shared_ptr<CommandShell_t> moved = tables.remove(ids[i]);
    ASSERT_TRUE(moved);
    expected.erase(where[ids[i]]);
    moved->ExecuteMoment = moment(random);
    tables.add(moved);
    expected[{moved->ExecuteMoment, counter++}] = ids[i];
    EXPECT_TRUE(tables.contains(ids[i]));
  }

  // Taken in three steps: only what is due at each step comes out.
  std::vector<std::wstring> want, got;
  for (double now : {9.5, 30.0, 40.0}) {
    std::list<std::shared_ptr<CommandShell_t>> taken;
    tables.take_due(now, taken);
    const std::vector<std::wstring> step = ids_of(taken);
    got.insert(got.end(), step.begin(), step.end());
    while (!expected.empty() && expected.begin()->first.first <= now) {
      want.push_back(expected.begin()->second);
      expected.erase(expected.begin());
    }
    ASSERT_EQ(got, want) << "after taking what is due at " << now;
    EXPECT_EQ(tables.earliest(), expected.empty() ? -1.0 : expected.begin()->first.first);
  }
  EXPECT_TRUE(tables.empty());
  for (const std::wstring& id : ids) EXPECT_FALSE(tables.remove(id));
}

TEST(CommandTables, MomentsOfEverySignComeOutInNumericOrder) {
  // The time table orders moments by their bits: negative moments, both
  // zeros and the extremes must still come out in numeric order (-0 before
  // +0, as the total order of doubles has them).
  const std::vector<double> sorted = {-1e300, -2.5, -1.0, -1e-300, -0.0, 0.0, 1e-300, 3.0, 1e300};
  std::vector<double> shuffled = sorted;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  command_tables tables;
  for (const double at : shuffled) add_new(tables, at, nullptr);
  EXPECT_EQ(tables.earliest(), -1e300);
  std::list<std::shared_ptr<CommandShell_t>> taken;
  tables.take_due(2e300, taken);
  std::vector<double> got;
  for (const auto& command : taken) got.push_back(command->ExecuteMoment);
  ASSERT_EQ(got.size(), sorted.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], sorted[i]) << "at " << i;
    EXPECT_EQ(std::signbit(got[i]), std::signbit(sorted[i])) << "at " << i;
  }
}

TEST(CommandTables, IdsOfOtherShapesAreFoundByTheirExactText) {
  command_tables tables;
  auto shell = [](std::wstring id, double at) {
    auto command = std::make_shared<CommandShell_t>();
    command->ID = std::move(id);
    command->ExecuteMoment = at;
    return command;
  };
  const std::wstring made = add_new(tables, 2.0, nullptr);
  std::wstring upper = made;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  tables.add(shell(L"job-b", 1.0));
  tables.add(shell(L"job-a", 3.0));

  EXPECT_FALSE(tables.remove(upper)) << "IDs are exact texts, not GUID values";
  EXPECT_FALSE(tables.contains(L"job"));
  // The time table alone sees a command whose ID was already taken.
  tables.add(shell(L"job-a", 0.5));
  EXPECT_EQ(tables.earliest(), 0.5);

  std::shared_ptr<CommandShell_t> a = tables.remove(L"job-a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->ExecuteMoment, 3.0);
  EXPECT_FALSE(tables.remove(L"job-a"));

  std::list<std::shared_ptr<CommandShell_t>> taken;
  tables.take_due(10.0, taken);
  EXPECT_EQ(ids_of(taken), (std::vector<std::wstring>{L"job-a", L"job-b", made}));
  EXPECT_TRUE(tables.empty());
}

TEST(CommandTables, CommandsAddedWithoutAShellGiveBackTheirIdMomentAndWork) {
  command_tables tables;
  const auto first = std::make_shared<idle_work>();
  const auto second = std::make_shared<idle_work>();
  const auto removed_work = std::make_shared<idle_work>();
  const auto shelled_work = std::make_shared<idle_work>();
  const std::wstring a = add_new(tables, 1.0, first);
  const std::wstring gone = add_new(tables, 2.0, removed_work);
  add_new(tables, 1.0, second);
  auto shell = std::make_shared<CommandShell_t>();
  shell->ID = L"job";
  shell->ExecuteMoment = 0.5;
  shell->Work = shelled_work;
  tables.add(shell);

  // A shell made on removal carries the text handed out at the add.
  std::shared_ptr<CommandShell_t> removed = tables.remove(gone);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->ID, gone);
  EXPECT_EQ(removed->ExecuteMoment, 2.0);
  EXPECT_EQ(removed->Work, removed_work);
  EXPECT_EQ(tables.remove(L"job"), shell) << "a command added as a shell comes back as that shell";
  tables.add(shell);

  // Work items alone come out in the same order as shells would.
  std::vector<std::shared_ptr<krCore::IThreadwork>> works;
  tables.take_due(1.0, works);
  EXPECT_EQ(works, (std::vector<std::shared_ptr<krCore::IThreadwork>>{shelled_work, first, second}));
  EXPECT_TRUE(tables.empty());
  EXPECT_FALSE(tables.contains(a));
}

TEST(CommandTables, ACommandTakenOutOfTheTimeOrderAloneKeepsItsIdAndMoment) {
  // Taken out of the time order only, a command no longer falls due but is
  // still found by ID, and the shell made for it then carries the moment it
  // waited for, although no time table item holds that moment any more.
  command_tables tables;
  const auto work = std::make_shared<idle_work>();
  const auto other = std::make_shared<idle_work>();
  const std::wstring id = add_new(tables, 2.5, work);
  add_new(tables, 1.0, other);
  CommandShell_t probe;
  probe.ID = id;
  probe.ExecuteMoment = 2.0;
  EXPECT_FALSE(tables.remove_by_time(probe)) << "it does not wait at that moment";
  probe.ExecuteMoment = 2.5;
  ASSERT_TRUE(tables.remove_by_time(probe));
  EXPECT_FALSE(tables.remove_by_time(probe)) << "it is out of the time order already";

  std::vector<std::shared_ptr<krCore::IThreadwork>> works;
  tables.take_due(10.0, works);
  EXPECT_EQ(works, (std::vector<std::shared_ptr<krCore::IThreadwork>>{other}));
  ASSERT_TRUE(tables.contains(id));
  const std::shared_ptr<CommandShell_t> shell = tables.remove(id);
  ASSERT_TRUE(shell);
  EXPECT_EQ(shell->ID, id);
  EXPECT_EQ(shell->ExecuteMoment, 2.5);
  EXPECT_EQ(shell->Work, work);
  EXPECT_FALSE(tables.contains(id));
}

TEST(CommandTables, ANewIdThatAWaitingCommandHasIsDrawnAgain) {
  // The ID is drawn before the tables are locked, so another add may have
  // taken it meanwhile; the insertion must then draw another, and hand out
  // the text of the one it kept.
  command_tables tables;
  krCore::detail::fresh_id first;
  tables.add_new(1.0, first, nullptr);
  krCore::detail::fresh_id clash = first;
  tables.add_new(2.0, clash, nullptr);
  EXPECT_NE(clash.text(), first.text());
  EXPECT_TRUE(krCore::IsGuid(clash.text()));
  EXPECT_EQ(krCore::GuidFromString(clash.text()), clash.guid);
  std::shared_ptr<CommandShell_t> a = tables.remove(first.text());
  std::shared_ptr<CommandShell_t> b = tables.remove(clash.text());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->ExecuteMoment, 1.0);
  EXPECT_EQ(b->ExecuteMoment, 2.0);
  EXPECT_TRUE(tables.empty());
}

#if !defined(_WIN32)  // a process copy with the parent's memory is fork's alone
TEST(CommandTables, AForkedChildNeverGetsTheIdsItsParentDrewAhead) {
  // Each thread draws the GUIDs of its next new commands a few adds ahead;
  // a child of fork starts with a copy of those, and must use none of them.
  constexpr int kIds = 8;  // more than one draw's worth
  command_tables tables;
  const krCore::detail::fresh_id before(tables);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    GUID theirs[kIds];
    for (GUID& g : theirs) g = krCore::detail::fresh_id(tables).guid;
    const bool sent = ::write(fds[1], theirs, sizeof theirs) == sizeof theirs;
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::vector<GUID> ours{before.guid};
  for (int i = 0; i < kIds; ++i) ours.push_back(krCore::detail::fresh_id(tables).guid);
  GUID theirs[kIds] = {};
  EXPECT_EQ(::read(fds[0], theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const GUID& t : theirs)
    for (const GUID& o : ours) EXPECT_NE(std::memcmp(&t, &o, sizeof t), 0);
}

TEST(CommandTables, EveryNewIdIsARandomVersion4Guid) {
  // IDs are drawn several at a time; each must carry the version and
  // variant of a random GUID, whatever its place in its draw.
  command_tables tables;
  for (int i = 0; i < 64; ++i) {
    const krCore::detail::fresh_id id(tables);
    EXPECT_EQ(id.guid.Data3 >> 12, 4) << i;
    EXPECT_EQ(id.guid.Data4[0] >> 6, 2) << i;
  }
}
#endif

TEST(CommandTables, ALargeTableGrowsIntoHugePageBlocksAndLetsGoOfEveryWorkItem) {
  // Past some thousands of commands the tables' memory comes in blocks
  // advised for huge pages (where this process may have them), and the
  // work items the entries there hold go when they are taken, removed or
  // left in the tables as the tables go.
#if defined(__linux__)
  const std::string refused = huge_pages_refused();
  const std::uintptr_t advised_before = huge_page_advised_bytes();
#endif
  {
    command_tables tables;
    std::vector<std::wstring> ids;
    for (int i = 0; i < 40000; ++i) ids.push_back(add_new(tables, i, std::make_shared<counted_work>()));
    EXPECT_EQ(counted_work::alive, 40000);
#if defined(__linux__)
    if (refused.empty()) {
      EXPECT_GE(huge_page_advised_bytes(), advised_before + krCore::detail::kLargeBlockUnit);
    }
#endif
    for (int i = 0; i < 40000; i += 3) EXPECT_TRUE(tables.remove(ids[i])) << i;
    std::vector<std::shared_ptr<krCore::IThreadwork>> due;
    tables.take_due(19999.5, due);
    EXPECT_EQ(due.size(), 13333u);
    due.clear();
    EXPECT_EQ(counted_work::alive, 40000 - 13334 - 13333);
  }
  EXPECT_EQ(counted_work::alive, 0);
}
