// The open log file handle: the writer lock goes with the handle when it is
// moved and ends when it is closed, and a failed open leaves the handle
// closed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "logfiles/log_file_fixture.h"
#include "logging/logfile_io.h"

namespace {

using krCore::detail::log_file;

constexpr unsigned long kSharingViolation = 32;

using LogFileHandle = log_file_fixture;

TEST_F(LogFileHandle, TheLockMovesWithTheHandleAndEndsWithClose) {
  log_file first;
  ASSERT_EQ(open(first), 0u);
  log_file second;
  EXPECT_EQ(open(second), kSharingViolation);
  EXPECT_FALSE(second.is_open());

  log_file moved(std::move(first));
  // The moved-from handle is what is checked here.
  EXPECT_FALSE(first.is_open());  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(moved.is_open());
  const std::string_view parts[] = {"ab", "cd"};
  EXPECT_EQ(moved.write(parts, 2), 0u);
  log_file other;
  EXPECT_EQ(open(other), kSharingViolation);  // still held, by `moved`

  log_file assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.is_open());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(named_size(assigned), 4u);

  assigned.close();
  EXPECT_FALSE(assigned.is_open());
  // Kept content is continued at its end.
  ASSERT_EQ(open(other, true), 0u);
  EXPECT_EQ(named_size(other), 4u);
}

TEST_F(LogFileHandle, AFailedOpenLeavesTheHandleClosed) {
  log_file file;
  ASSERT_EQ(open(file), 0u);
  // Opening again elsewhere closes the first file; a missing folder fails.
  path = (dir / "missing" / "b.log.txt").wstring();
  EXPECT_NE(open(file), 0u);
  EXPECT_FALSE(file.is_open());
  path = (dir / "a.log.txt").wstring();
  log_file again;
  EXPECT_EQ(open(again), 0u);  // the first lock ended with the failed open
}

}  // namespace
