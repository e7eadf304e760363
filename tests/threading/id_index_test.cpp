// The scheduler's ID index against std::map under random adding, finding and
// dropping, while the table grows and drains several times: a slot lost or
// left behind by a backward shift shows up as a key that is missing or found
// after its erasure.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "scheduling/id_index.h"

namespace {

struct test_key {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  const std::wstring* other = nullptr;
};
struct entry_t {
  test_key k;
  std::uint32_t number = 0;
  test_key key() const { return k; }
};

// The index names entries by number: here, their place in a list.
struct by_place {
  const std::vector<entry_t*>* list;
  entry_t* operator()(std::uint32_t number) const { return (*list)[number]; }
};
using index_t = krCore::detail::id_index<entry_t, by_place>;

}  // namespace

TEST(IdIndex, MatchesAMapThroughGrowthAndDraining) {
  std::vector<std::unique_ptr<entry_t>> owned;
  std::vector<entry_t*> places;
  index_t index(by_place{&places});
  std::map<std::pair<std::uint64_t, std::uint64_t>, entry_t*> model;
  std::mt19937_64 random(11);
  // Few distinct values: repeated adds of a present key and erasures of an
  // absent one are common, and long probe runs form.
  std::uniform_int_distribution<std::uint64_t> value(0, 3000);

  auto check_some = [&] {
    for (int i = 0; i < 50; ++i) {
      const test_key probe{value(random), 7, nullptr};
      const auto it = model.find({probe.high, probe.low});
      ASSERT_EQ(index.find(probe), it == model.end() ? nullptr : it->second);
    }
  };
  // Phases that fill up (the table grows) and drain.
  for (int phase = 0; phase < 6; ++phase) {
    const bool filling = phase % 2 == 0;
    for (int step = 0; step < 6000; ++step) {
      const test_key key{value(random), 7, nullptr};
      const bool add = filling ? random() % 4 != 0 : random() % 4 == 0;
      const auto it = model.find({key.high, key.low});
      if (add) {
        owned.push_back(std::make_unique<entry_t>(
            entry_t{key, static_cast<std::uint32_t>(places.size())}));
        places.push_back(owned.back().get());
        const bool added = index.insert(owned.back().get());
        ASSERT_EQ(added, it == model.end());
        if (added) model[{key.high, key.low}] = owned.back().get();
      } else {
        ASSERT_EQ(index.erase(key), it != model.end());
        if (it != model.end()) model.erase(it);
      }
      ASSERT_EQ(index.size(), model.size());
      if (step % 500 == 0) check_some();
    }
  }
  for (const auto& [k, e] : model) ASSERT_EQ(index.find(test_key{k.first, k.second, nullptr}), e);
}

TEST(IdIndex, TextKeysAreFoundByTheirTextAndNeverMatchGuidKeys) {
  const std::wstring job = L"job", other_job = L"job";
  entry_t text{{0, 0, &job}, 0};
  entry_t guid{{0, 0, nullptr}, 1};
  const std::vector<entry_t*> places{&text, &guid};
  index_t index(by_place{&places});
  ASSERT_TRUE(index.insert(&text));
  ASSERT_TRUE(index.insert(&guid)) << "a text key and the all-zero GUID key are different keys";
  EXPECT_EQ(index.find(test_key{0, 0, &other_job}), &text) << "texts compare by content";
  EXPECT_EQ(index.find(test_key{0, 0, nullptr}), &guid);
  EXPECT_TRUE(index.erase(test_key{0, 0, &other_job}));
  EXPECT_EQ(index.find(test_key{0, 0, nullptr}), &guid);
  EXPECT_EQ(index.find(test_key{0, 0, &job}), nullptr);
}
