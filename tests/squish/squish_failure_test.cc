// A store that fails at any of its writes leaves the base as it was: the
// control record and the index unchanged, every frame link put back, and
// the earlier messages whole. The same object can post again afterwards.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "fault_env.h"
#include "squish/squish_format.h"
#include "msgbase/factory.h"
#include "squish/squish_test_util.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

class SquishFailureTest : public ::testing::Test {
 protected:
  // A base with the given messages, stored without faults.
  void MakeBase(int messages, uint16_t max_msgs = 0) {
    auto base = NewSquishMessageBase(&clock_);
    ASSERT_TRUE(OpenOrCreate(*base, path_, max_msgs));
    for (int i = 0; i < messages; ++i) {
      ASSERT_EQ(Post(*base, "All", {"message " + std::to_string(i)}), 0);
    }
  }
  std::unique_ptr<MessageBase> OpenFaulty() {
    auto base = NewSquishMessageBase(&env_);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }
  std::vector<std::vector<uint8_t>> Files() {
    return {ReadFileBytes(path_ + ".sqd"), ReadFileBytes(path_ + ".sqi")};
  }
  // After a failure: the files are as before, and the same object stores
  // the next post once the fault is gone.
  void ExpectUnchangedThenRecovers(MessageBase& base,
                                   const std::vector<std::vector<uint8_t>>& before,
                                   size_t messages_after) {
    EXPECT_EQ(Files(), before);
    env_.Clear();
    ASSERT_EQ(Post(base, "All", {"after the fault"}), 0);
    BaseContents c = ReadBase(path_);
    ASSERT_EQ(c.error, "");
    ASSERT_EQ(c.messages.size(), messages_after);
    EXPECT_EQ(c.messages.back().text, std::string("after the fault\r\0", 17));
  }

  ClockEnv clock_{{2026, 12, 6, 1, 18, 0}};
  FaultEnv env_{&clock_};
  TempDir dir_;
  std::string path_ = dir_ / "general";
};

// Writes of a post that appends a frame after an existing message: frame
// header, message header, text, the previous frame's link, and (at the
// unlock) the control record.
TEST_F(SquishFailureTest, EveryDataFileWriteOfAnAppend) {
  for (int nth = 1; nth <= 5; ++nth) {
    SCOPED_TRACE(nth);
    MakeBase(2);
    const auto before = Files();
    auto base = OpenFaulty();
    env_.FailWrite(".sqd", nth, io::kDiskWriteError);
    EXPECT_EQ(Post(*base, "All", {"lost"}), io::kDiskWriteError);
    ExpectUnchangedThenRecovers(*base, before, 3);
    ASSERT_EQ(unlink((path_ + ".sqd").c_str()), 0);
    ASSERT_EQ(unlink((path_ + ".sqi").c_str()), 0);
  }
}

TEST_F(SquishFailureTest, IndexWriteAtUnlock) {
  MakeBase(3);
  const auto before = Files();
  auto base = OpenFaulty();
  // The disk fills in the middle of the new index.
  env_.LimitSize(".sqi", 3 * kIndexEntrySize + 5);
  EXPECT_EQ(Post(*base, "All", {"lost"}), io::kDiskWriteError);
  ExpectUnchangedThenRecovers(*base, before, 4);
}

TEST_F(SquishFailureTest, DataFileFillsUp) {
  MakeBase(1);
  const auto before = Files();
  auto base = OpenFaulty();
  env_.LimitSize(".sqd", before[0].size() + 100);
  EXPECT_EQ(Post(*base, "All", {std::string(200, 'z')}), io::kDiskWriteError);
  ExpectUnchangedThenRecovers(*base, before, 2);
}

TEST_F(SquishFailureTest, ReusedFreeFrameKeepsTheFreeChain) {
  MakeBase(3, /*max_msgs=*/2);  // the first message's frame is free
  BaseContents start = ReadBase(path_);
  ASSERT_EQ(start.free_frames, std::vector<int32_t>{256});
  const auto before = Files();
  auto base = OpenFaulty();
  env_.FailWrite(".sqd", 3, io::kDiskWriteError);  // the text
  EXPECT_EQ(Post(*base, "All", {"x"}), io::kDiskWriteError);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.free_frames, std::vector<int32_t>{256});
  EXPECT_EQ(Files()[1], before[1]);
  // Only the free frame's body differs; its header is back.
  std::vector<uint8_t> data = Files()[0];
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 256 + 28,
                         before[0].begin()));
  EXPECT_TRUE(std::equal(data.begin() + 526, data.end(),
                         before[0].begin() + 526));
}

// A post into a full base also deletes the oldest message: the link of
// the next message and the freed frame's header are written too.
TEST_F(SquishFailureTest, WritesOfTheMaximumRule) {
  for (int nth : {5, 6, 7}) {
    SCOPED_TRACE(nth);
    MakeBase(2, /*max_msgs=*/2);
    const auto before = Files();
    auto base = OpenFaulty();
    env_.FailWrite(".sqd", nth, io::kDiskWriteError);
    EXPECT_EQ(Post(*base, "All", {"lost"}), io::kDiskWriteError);
    ExpectUnchangedThenRecovers(*base, before, 2);  // the limit holds
    ASSERT_EQ(unlink((path_ + ".sqd").c_str()), 0);
    ASSERT_EQ(unlink((path_ + ".sqi").c_str()), 0);
  }
}

TEST_F(SquishFailureTest, LockHeldElsewhereWritesNothing) {
  MakeBase(1);
  auto base = OpenFaulty();
  env_.FailLock(".sqd", io::kLockViolation);
  const int writes = env_.WritesTo(".sq");
  EXPECT_EQ(Post(*base, "All", {"x"}), io::kAccessDenied);
  EXPECT_EQ(env_.WritesTo(".sq"), writes);
  EXPECT_EQ(env_.locks_attempted(), 150);
}

TEST_F(SquishFailureTest, IndexUnreadableUnderTheLock) {
  MakeBase(2);
  const auto before = Files();
  auto base = OpenFaulty();
  env_.FailRead(".sqi", io::kReadPastEnd, 1);
  EXPECT_EQ(Post(*base, "All", {"x"}), io::kReadPastEnd);
  ExpectUnchangedThenRecovers(*base, before, 3);
}

// Under the caller's LockBase the index and the control record are written
// at UnlockBase: when that fails, every post of the span is undone.
TEST_F(SquishFailureTest, UnlockThatCannotWriteUndoesTheWholeSpan) {
  MakeBase(2);
  const auto before = Files();
  auto base = OpenFaulty();
  ASSERT_TRUE(base->LockBase());
  ASSERT_EQ(Post(*base, "All", {"first of the span"}), 0);
  ASSERT_EQ(Post(*base, "All", {"second of the span"}), 0);
  env_.LimitSize(".sqi", 3 * kIndexEntrySize + 5);
  EXPECT_FALSE(base->UnlockBase());
  EXPECT_EQ(base->LastStatus().io_result(), io::kDiskWriteError);
  ExpectUnchangedThenRecovers(*base, before, 3);
}

// A post that fails inside the span is undone alone; the span goes on.
TEST_F(SquishFailureTest, FailedPostInsideASpanLeavesTheOthers) {
  MakeBase(1);
  auto base = OpenFaulty();
  ASSERT_TRUE(base->LockBase());
  ASSERT_EQ(Post(*base, "All", {"kept"}), 0);
  env_.FailWrite(".sqd", 2, io::kDiskWriteError);
  EXPECT_EQ(Post(*base, "All", {"lost"}), io::kDiskWriteError);
  env_.Clear();
  ASSERT_EQ(Post(*base, "All", {"kept too"}), 0);
  ASSERT_TRUE(base->UnlockBase());
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 3u);
  EXPECT_EQ(c.messages[1].text, std::string("kept\r\0", 6));
  EXPECT_EQ(c.messages[2].text, std::string("kept too\r\0", 10));
}

TEST_F(SquishFailureTest, AccessDeniedWritesAreRetried) {
  MakeBase(1);
  auto base = OpenFaulty();
  // Denied a few times, then allowed: the store goes through.
  env_.FailWrite(".sqd", 1, io::kAccessDenied);
  EXPECT_EQ(Post(*base, "All", {"retried"}), 0);
  EXPECT_EQ(ReadBase(path_).error, "");
}

}  // namespace
}  // namespace drayline
