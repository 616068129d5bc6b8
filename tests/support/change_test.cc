#include "support/change.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "support/file_access.h"
#include "test_util.h"

namespace drayline {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A guard file (whose byte 0 is the lock) and a data file, opened through
// a FaultEnv; a second open of the guard tells whether the lock is free.
class ChangeTest : public testing::Test {
 protected:
  ChangeTest() {
    WriteFileBytes(dir_ / "guard", Bytes("GUARD"));
    WriteFileBytes(dir_ / "data", Bytes("0123456789"));
    EXPECT_EQ(RetryOpen(&env_, dir_ / "guard", OpenMode::kReadWrite, &guard_), io::kOk);
    EXPECT_EQ(RetryOpen(&env_, dir_ / "data", OpenMode::kReadWrite, &data_), io::kOk);
    EXPECT_EQ(RetryOpen(&env_, dir_ / "guard", OpenMode::kReadWrite, &other_), io::kOk);
  }
  bool LockIsFree() {
    if (LockRegion(*other_, 0, 1) != io::kOk) return false;
    UnlockRegion(*other_, 0, 1);
    return true;
  }
  // Appends, overwrites the guard's first bytes and cuts the data file;
  // a step after a failed one answers that failure.
  Status ChangeBoth(Change& change) {
    uint64_t at = 0;
    change.Append(*data_, Bytes("ab"), &at);
    change.Overwrite(*guard_, 0, Bytes("gu"), Bytes("GU"));
    change.Write(*data_, 2, Bytes("xy"));
    return change.Truncate(*data_, 6);
  }
  void ExpectUnchanged() {
    EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("GUARD"));
    EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("0123456789"));
  }

  TempDir dir_;
  FaultEnv env_;
  std::unique_ptr<File> guard_, data_, other_;
};

TEST_F(ChangeTest, CommitKeepsEverythingAndReleasesTheLock) {
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  EXPECT_FALSE(LockIsFree());
  EXPECT_TRUE(ChangeBoth(*change).ok());
  EXPECT_TRUE(change->Commit().ok());
  EXPECT_TRUE(LockIsFree());
  change.reset();
  EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("guARD"));
  EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("01xy45"));
}

TEST_F(ChangeTest, FailedWriteUndoesEveryStepAndReleasesTheLock) {
  // The append, the overwrite of the guard and the write fail in turn.
  for (const auto& [file, nth] : {std::pair{"data", 1}, {"guard", 1}, {"data", 2}}) {
    SCOPED_TRACE(std::string(file) + " " + std::to_string(nth));
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
    env_.FailWrite(file, nth, io::kDiskWriteError);
    EXPECT_EQ(ChangeBoth(*change).io_result(), io::kDiskWriteError);
    // Steps after the failure are not made; Commit undoes the others.
    EXPECT_EQ(change->Commit().io_result(), io::kDiskWriteError);
    EXPECT_TRUE(LockIsFree());
    ExpectUnchanged();
    env_.Clear();
  }
  // A change dropped without Commit is undone as well.
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  ChangeBoth(*change);
  change.reset();
  ExpectUnchanged();
  EXPECT_TRUE(LockIsFree());
}

TEST_F(ChangeTest, UndoToAMarkDropsOnlyTheLaterSteps) {
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  ASSERT_TRUE(change->Append(*data_, Bytes("ab")).ok());
  const Change::Point mark = change->Mark();
  env_.FailWrite("guard", 1, io::kDiskWriteError);
  EXPECT_FALSE(change->Overwrite(*guard_, 0, Bytes("gu"), Bytes("GU")).ok());
  change->UndoTo(mark);
  EXPECT_TRUE(change->status().ok());
  EXPECT_TRUE(change->Append(*data_, Bytes("c")).ok());
  EXPECT_TRUE(change->Commit().ok());
  EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("0123456789abc"));
  EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("GUARD"));
}

TEST_F(ChangeTest, LockHeldByTheCallerStaysHeldAndOneHeldElsewhereRefuses) {
  ASSERT_EQ(LockRegion(*guard_, 0, 1), io::kOk);
  {
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Change::Begin(&env_, *guard_, &change, /*lock_held=*/true).ok());
    EXPECT_TRUE(ChangeBoth(*change).ok());
    EXPECT_TRUE(change->Commit().ok());
  }
  EXPECT_FALSE(LockIsFree());
  std::unique_ptr<Change> change;
  EXPECT_EQ(Change::Begin(&env_, *other_, &change).code(), StatusCode::kLocked);
  EXPECT_EQ(change, nullptr);
  EXPECT_EQ(env_.slept_ms(), (kRetryCount - 1u) * kRetryDelayMs);
  UnlockRegion(*guard_, 0, 1);
}

}  // namespace
}  // namespace drayline
