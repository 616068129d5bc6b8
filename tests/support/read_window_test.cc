#include "support/read_window.h"

#include <gtest/gtest.h>

#include <vector>

#include "fault_env.h"
#include "support/file_access.h"
#include "test_util.h"

namespace drayline {
namespace {

constexpr size_t kWindow = 256;

class ReadWindowTest : public testing::Test {
 protected:
  ReadWindowTest() {
    for (size_t i = 0; i < 2048; ++i) bytes_.push_back(static_cast<uint8_t>(i * 7));
    WriteFileBytes(dir_ / "f", bytes_);
    EXPECT_EQ(RetryOpen(&env_, dir_ / "f", OpenMode::kReadOnly, &file_), io::kOk);
  }
  // Reads n bytes at offset through the window; the file-layer reads it
  // cost go to reads_.
  std::vector<uint8_t> Read(uint64_t offset, size_t n) {
    std::vector<uint8_t> out(n);
    size_t done = 0;
    const uint64_t before = Env::Default()->Counters().reads;
    EXPECT_EQ(window_.Read(*file_, offset, out, &done), io::kOk);
    reads_ += Env::Default()->Counters().reads - before;
    out.resize(done);
    return out;
  }
  std::vector<uint8_t> Expected(size_t offset, size_t n) const {
    return {bytes_.begin() + offset, bytes_.begin() + std::min(offset + n, bytes_.size())};
  }

  TempDir dir_;
  FaultEnv env_;
  std::vector<uint8_t> bytes_;
  std::unique_ptr<File> file_;
  ReadWindow window_{kWindow, kWindow};
  uint64_t reads_ = 0;
};

TEST_F(ReadWindowTest, WalkCostsOneReadPerWindowAndJumpsLeaveItAlone) {
  for (size_t at = 0; at < 1024; at += 16) {
    ASSERT_EQ(Read(at, 16), Expected(at, 16)) << at;
  }
  EXPECT_EQ(reads_, 4u);  // windows at 0, 256, 512 and 768
  // A jump reads just what it asks for, and keeps the window: the walk's
  // last window still serves.
  reads_ = 0;
  EXPECT_EQ(Read(1500, 8), Expected(1500, 8));
  EXPECT_EQ(Read(800, 8), Expected(800, 8));
  EXPECT_EQ(reads_, 1u);
  // After a Drop the window's bytes are read afresh.
  window_.Drop();
  reads_ = 0;
  EXPECT_EQ(Read(816, 8), Expected(816, 8));
  EXPECT_EQ(reads_, 1u);
  EXPECT_EQ(window_.Peek(820, 4).size(), 4u);
}

TEST_F(ReadWindowTest, TakeViewsHeldBytesAndTheWalkGoesOnAfterThem) {
  ASSERT_EQ(Read(0, 16), Expected(0, 16));
  const std::span<const uint8_t> held = window_.Take(16, 230);
  EXPECT_EQ(std::vector<uint8_t>(held.begin(), held.end()), Expected(16, 230));
  // Bytes past the window are not taken, and nothing is read for them.
  EXPECT_TRUE(window_.Take(250, 16).empty());
  EXPECT_TRUE(window_.Take(300, 1).empty());
  EXPECT_EQ(reads_, 1u);
  // The walk goes on where the take ended (246): a read a window's length
  // after the last Read but close to the take refills the window whole.
  ASSERT_EQ(Read(400, 16), Expected(400, 16));
  EXPECT_EQ(reads_, 2u);
  EXPECT_EQ(window_.Peek(400, kWindow).size(), kWindow);
}

TEST_F(ReadWindowTest, FailedRefillFallsBackToTheFile) {
  env_.FailRead("f", io::kDiskWriteError, 1);
  EXPECT_EQ(Read(0, 16), Expected(0, 16));
  EXPECT_TRUE(window_.Peek(0, 1).empty());
  env_.FailRead("f", io::kDiskWriteError);
  std::vector<uint8_t> out(16);
  size_t done = 0;
  EXPECT_EQ(window_.Read(*file_, 16, out, &done), io::kDiskWriteError);
}

// Records whose first byte is their length, as JAM headers tell theirs.
size_t LengthByte(std::span<const uint8_t> held) {
  return held.empty() ? 0 : held[0];
}

TEST_F(ReadWindowTest, RecordsAreTakenWholeWithAtMostTwoReads) {
  bytes_.assign(350, 1);
  bytes_[100] = 200;  // a record longer than the first read
  bytes_[300] = 90;   // one that runs past the end of the file
  WriteFileBytes(dir_ / "f", bytes_);
  ReadWindow window(kWindow, 16);
  std::span<const uint8_t> record;
  const uint64_t before = Env::Default()->Counters().reads;
  // Far from the walk's start: the first read, then the rest.
  ASSERT_EQ(window.ReadRecord(*file_, 100, 64, LengthByte, &record), io::kOk);
  EXPECT_EQ(record.size(), 200u);
  EXPECT_EQ(Env::Default()->Counters().reads - before, 2u);
  ASSERT_EQ(window.ReadRecord(*file_, 100, 64, LengthByte, &record), io::kOk);
  EXPECT_EQ(Env::Default()->Counters().reads - before, 2u);  // held whole
  // The walk's next record comes back cut by the end of the file; after
  // it there is nothing to tell a length from.
  ASSERT_EQ(window.ReadRecord(*file_, 300, 64, LengthByte, &record), io::kOk);
  EXPECT_EQ(record.size(), 50u);
  EXPECT_EQ(window.ReadRecord(*file_, 350, 64, LengthByte, &record),
            io::kReadPastEnd);
  EXPECT_TRUE(record.empty());
}

}  // namespace
}  // namespace drayline
