// The large blocks that big tables grow into, and the pool that carves
// them: zero-filled, aligned, never overlapping, and on Linux marked for
// huge pages, which is what they are for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/large_blocks.h"
#if !defined(_WIN32)
#include "foundation/huge_page_check.h"
#endif

namespace {

using krCore::detail::kLargeBlockUnit;
using krCore::detail::large_block_alloc;
using krCore::detail::large_block_free;
using krCore::detail::large_pool;

#if defined(_WIN32)
constexpr std::uintptr_t kAlignment = 64 << 10;
#else
constexpr std::uintptr_t kAlignment = kLargeBlockUnit;
#endif

bool all_zero(const unsigned char* p, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 509)
    if (p[i] != 0) return false;
  return p[size - 1] == 0;
}

TEST(LargeBlocks, ABlockIsZeroAlignedAndWholeAndOddSizesAreRefused) {
  const std::size_t size = 2 * kLargeBlockUnit;
  auto* block = static_cast<unsigned char*>(large_block_alloc(size));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kAlignment, 0u);
  EXPECT_TRUE(all_zero(block, size));
  std::memset(block, 0xA5, size);  // every page of it is ours
  EXPECT_EQ(block[size - 1], 0xA5);
  large_block_free(block, size);
  large_block_free(nullptr, size);

  EXPECT_EQ(large_block_alloc(0), nullptr);
  EXPECT_EQ(large_block_alloc(kLargeBlockUnit + 4096), nullptr);
}

#if !defined(_WIN32)
TEST(LargeBlocks, ABlockMayBeBackedByHugePagesWhereverTheKernelAllowsThem) {
  const std::string refused = huge_pages_refused();
  if (!refused.empty()) GTEST_SKIP() << refused;
  void* block = large_block_alloc(kLargeBlockUnit);
  ASSERT_NE(block, nullptr);
  const int eligible = huge_page_eligible(block);
  large_block_free(block, kLargeBlockUnit);
  if (eligible < 0) GTEST_SKIP() << "this kernel does not say which mappings may get huge pages";
  EXPECT_EQ(eligible, 1);
}
#endif

TEST(LargePool, PiecesAreZeroAlignedAndApartAcrossBlocksAndLargerThanAUnit) {
  large_pool pool;
  // Pieces of the sizes the scheduler's tables take, one larger than a
  // unit, and odd sizes; each is filled with its own byte and checked once
  // all are handed out.
  const std::vector<std::size_t> sizes = {196608, 16384, 100,   196608, 3 * kLargeBlockUnit + 1,
                                          16384,  1,     196608, 1000000, 196608};
  std::vector<unsigned char*> pieces;
  for (std::size_t i = 0; i < 40; ++i) {
    const std::size_t size = sizes[i % sizes.size()];
    auto* piece = static_cast<unsigned char*>(pool.take(size));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(piece) % 64, 0u) << i;
    ASSERT_TRUE(all_zero(piece, size)) << i;
    std::memset(piece, static_cast<int>(i + 1), size);
    pieces.push_back(piece);
  }
  // Nothing, or more than any block could hold, is refused.
  EXPECT_THROW(pool.take(0), std::bad_alloc);
  EXPECT_THROW(pool.take(SIZE_MAX - 10), std::bad_alloc);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::size_t size = sizes[i % sizes.size()];
    EXPECT_EQ(pieces[i][0], i + 1) << i;
    EXPECT_EQ(pieces[i][size - 1], i + 1) << i;
  }
}

}  // namespace
