// The mail search, header rewrites, deletion and last-read pointers of a
// Squish base, checked against the bytes on disk.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "msgbase/factory.h"
#include "squish/squish_image.h"
#include "squish/squish_test_util.h"
#include "support/coding.h"
#include "support/strings.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;
using Bytes = std::vector<uint8_t>;

class SquishChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "general";
    auto creator = NewSquishMessageBase(&clock_);
    ASSERT_TRUE(OpenOrCreate(*creator, path_));
  }

  // Opens the base made by SetUp (so LastStatus starts at 0).
  std::unique_ptr<MessageBase> Open(Env* env = nullptr) {
    auto base = NewSquishMessageBase(env != nullptr ? env : &clock_);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }

  // Posts one message per recipient, in order (Uids 1, 2, ...).
  void PostAll(const std::vector<std::string>& recipients) {
    auto base = Open();
    for (const std::string& to : recipients) {
      ASSERT_EQ(Post(*base, to, {"Text for " + to}), 0);
    }
  }

  static std::vector<int32_t> Found(MessageBase& base, const std::string& name,
                                    const std::string& alias) {
    std::vector<int32_t> found;
    for (base.SeekFirstForUser(name, alias); base.ForUserFound();
         base.SeekNextForUser()) {
      found.push_back(base.GetMsgNum());
    }
    return found;
  }

  Bytes Sqd() const { return ReadFileBytes(path_ + ".sqd"); }
  Bytes Sqi() const { return ReadFileBytes(path_ + ".sqi"); }
  Bytes Sql() const { return ReadFileBytes(path_ + ".sql"); }

  TempDir dir_;
  std::string path_;
  ClockEnv clock_{{2026, 12, 6, 1, 18, 0}};
};

TEST_F(SquishChangeTest, SearchFindsNameAndAliasInAnyCase) {
  PostAll({"Alice", "Bob", "ALICE", "Alice2", "wonder", "alice"});
  auto base = Open();
  EXPECT_EQ(Found(*base, "ALICE", ""), (std::vector<int32_t>{1, 3, 6}));
  EXPECT_EQ(Found(*base, "alice", "Wonder"),
            (std::vector<int32_t>{1, 3, 5, 6}));
  EXPECT_EQ(Found(*base, "Nobody", ""), (std::vector<int32_t>{}));
  // The search leaves the header of the match loaded.
  base->SeekFirstForUser("bob", "");
  ASSERT_TRUE(base->ForUserFound());
  EXPECT_EQ(base->GetTo(), "Bob");
  EXPECT_EQ(base->GetMsgDisplayNum(), 2);
}

TEST_F(SquishChangeTest, EmptyNamesMatchNoMessage) {
  PostAll({"", "All", ""});
  auto base = Open();
  EXPECT_EQ(Found(*base, "", ""), (std::vector<int32_t>{}));
  EXPECT_EQ(Found(*base, "all", ""), (std::vector<int32_t>{2}));
  EXPECT_EQ(Found(*base, "", "ALL"), (std::vector<int32_t>{2}));
}

TEST_F(SquishChangeTest, ReceivedMailIsPassedOverAndLosesItsHash) {
  PostAll({"Alice", "Alice"});
  auto base = Open();
  base->SeekFirstForUser("ALICE", "");
  ASSERT_EQ(base->GetMsgNum(), 1);
  base->SetReceived(true);
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().io_result(), 0);

  Bytes sqi = Sqi();
  ASSERT_EQ(sqi.size(), 24u);
  EXPECT_EQ(DecodeFixed32(sqi.data() + 8), 0u);
  EXPECT_EQ(DecodeFixed32(sqi.data() + 20), NameHash("Alice"));
  EXPECT_EQ(Found(*base, "ALICE", ""), (std::vector<int32_t>{2}));

  // The stored header says received; unmarking it brings the hash back.
  auto other = Open();
  other->SeekFirst(1);
  other->ReadHeader();
  EXPECT_TRUE(other->IsReceived());
  other->SetReceived(false);
  other->RewriteHeader();
  EXPECT_EQ(DecodeFixed32(Sqi().data() + 8), NameHash("Alice"));
  EXPECT_EQ(ReadBase(path_).error, "");
}

TEST_F(SquishChangeTest, RewriteHeaderWritesOnlyTheMessageHeader) {
  PostAll({"Alice", "Bob"});
  auto base = Open();
  base->SeekFirst(2);
  base->ReadHeader();  // the last frame: its NextFrame is 0 now
  base->SetSubject("Changed");

  // Another program appends a message: the frame read above is relinked.
  PostAll({"Carol"});
  const Bytes before = Sqd();
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().io_result(), 0);

  BaseContents contents = ReadBase(path_);
  ASSERT_EQ(contents.error, "");
  ASSERT_EQ(contents.messages.size(), 3u);
  EXPECT_EQ(CStrToStr(contents.messages[1].header.Subject, kSubjectLimit),
            "Changed");
  // Everything but the subject field is as it was.
  Bytes after = Sqd();
  const size_t subject = size_t(contents.messages[1].offset) +
                         kFrameHeaderSize + kMhSubject;
  std::copy(before.begin() + subject, before.begin() + subject + kSubjectSize,
            after.begin() + subject);
  EXPECT_EQ(after, before);
}

TEST_F(SquishChangeTest, RewriteHeaderOfAMessageDeletedMeanwhileWritesNothing) {
  PostAll({"Alice", "Bob"});
  auto base = Open();
  base->SeekFirst(1);
  base->ReadHeader();
  base->SetSubject("Too late");
  auto other = Open();
  other->SeekFirst(1);
  other->ReadHeader();
  other->DeleteMessage();
  const Bytes sqd = Sqd(), sqi = Sqi();
  base->RewriteHeader();
  EXPECT_NE(base->LastStatus().io_result(), 0);
  EXPECT_EQ(Sqd(), sqd);
  EXPECT_EQ(Sqi(), sqi);
}

TEST_F(SquishChangeTest, ComposingForgetsTheLoadedHeader) {
  PostAll({"Alice"});
  auto base = Open();
  base->SeekFirst(1);
  base->ReadHeader();
  ASSERT_EQ(Post(*base, "Bob", {"new"}), 0);
  // The object now holds the stored message's header, not message 1's.
  const Bytes sqd = Sqd();
  base->RewriteHeader();
  EXPECT_EQ(Sqd(), sqd);
  EXPECT_EQ(ReadBase(path_).messages.at(0).to(), "Alice");
}

TEST_F(SquishChangeTest, ChangesNeedTheLock) {
  PostAll({"Alice", "Bob"});
  FaultEnv env(&clock_);
  auto base = Open(&env);
  base->SeekFirst(1);
  base->ReadHeader();
  base->SetSubject("Changed");
  const Bytes sqd = Sqd(), sqi = Sqi();
  env.FailLock(".sqd", io::kLockViolation);
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);
  EXPECT_EQ(Sqd(), sqd);
  EXPECT_EQ(Sqi(), sqi);
  env.Clear();
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);  // never cleared
  EXPECT_EQ(ReadBase(path_).messages.size(), 1u);
}

TEST_F(SquishChangeTest, DeletedFrameJoinsTheFreeChainAndIsReused) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "Alice", {"first"}), 0);
  ASSERT_EQ(Post(*base, "Bob", {std::string(60, 'x')}), 0);
  ASSERT_EQ(Post(*base, "Carol", {"third"}), 0);
  BaseContents before = ReadBase(path_);
  ASSERT_EQ(before.error, "");
  const int32_t freed = before.messages[1].offset;

  base->SeekFirst(2);
  base->ReadHeader();
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), 0);
  EXPECT_EQ(base->NumberOfMessages(), 2);

  BaseContents after = ReadBase(path_);
  ASSERT_EQ(after.error, "");
  ASSERT_EQ(after.messages.size(), 2u);
  EXPECT_EQ(after.index[0].Uid, 1);
  EXPECT_EQ(after.index[1].Uid, 3);
  EXPECT_EQ(after.messages[0].frame.NextFrame, after.messages[1].offset);
  EXPECT_EQ(after.free_frames, (std::vector<int32_t>{freed}));
  EXPECT_EQ(after.header.FirstFreeFrame, freed);
  EXPECT_EQ(after.header.LastFreeFrame, freed);
  // The freed frame keeps its length and contents.
  const Bytes sqd = Sqd();
  SquishFrameHeader frame = DecodeFrameHeader(sqd.data() + freed);
  EXPECT_EQ(frame.FrameType, kFrameTypeFree);
  EXPECT_EQ(frame.FrameLength, before.messages[1].frame.FrameLength);

  // Deleting the same loaded message again changes nothing.
  base->DeleteMessage();
  EXPECT_EQ(Sqd(), sqd);

  // A smaller message goes into the freed frame; EndFrame stays.
  ASSERT_EQ(Post(*base, "Dave", {"short"}), 0);
  BaseContents reused = ReadBase(path_);
  ASSERT_EQ(reused.error, "");
  EXPECT_EQ(reused.messages.back().offset, freed);
  EXPECT_EQ(reused.free_frames, (std::vector<int32_t>{}));
  EXPECT_EQ(reused.header.EndFrame, after.header.EndFrame);
  base->SeekFirst(4);
  ASSERT_EQ(base->GetMsgNum(), 4);
  base->ReadHeader();
  base->BeginTextRead();
  EXPECT_EQ(base->GetTextLine(79), "short");
}

TEST_F(SquishChangeTest, DeleteRefusesAFrameThatIsNoLongerAMessage) {
  PostAll({"Alice", "Bob"});
  auto base = Open();
  base->SeekFirst(2);
  base->ReadHeader();
  // Damage the frame id on disk after the header was read.
  Bytes sqd = Sqd();
  const int32_t frame = ReadBase(path_).messages[1].offset;
  sqd[size_t(frame)] ^= 0xFF;
  WriteFileBytes(path_ + ".sqd", sqd);
  const Bytes sqi = Sqi();
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), kDamagedBase);
  EXPECT_EQ(Sqd(), sqd);
  EXPECT_EQ(Sqi(), sqi);
  base->SetSubject("x");
  base->RewriteHeader();
  EXPECT_EQ(Sqd(), sqd);
}

TEST_F(SquishChangeTest, ChangesInsideACallersLockAreSavedByItsUnlock) {
  PostAll({"Alice", "Bob", "Carol"});
  auto base = Open();
  ASSERT_TRUE(base->LockBase());
  base->SeekFirst(1);
  base->ReadHeader();
  base->SetReceived(true);
  base->RewriteHeader();
  base->SeekFirst(3);
  base->ReadHeader();
  base->DeleteMessage();
  // Walking again under the lock sees the changes not yet saved.
  std::vector<int32_t> seen;
  for (base->SeekFirst(0); base->SeekFound(); base->SeekNext()) {
    seen.push_back(base->GetMsgNum());
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(base->NumberOfMessages(), 3);  // the file still says 3
  ASSERT_TRUE(base->UnlockBase());
  BaseContents contents = ReadBase(path_);
  EXPECT_EQ(contents.messages.size(), 2u);
  ASSERT_EQ(contents.index.size(), 2u);
  EXPECT_EQ(contents.index[0].NameHash, 0u);
}

TEST_F(SquishChangeTest, LastReadRecordsAreFourBytesPerUser) {
  auto base = Open();
  WriteFileBytes(path_ + ".sql", {1, 0, 0, 0, 2, 0, 0, 0});
  EXPECT_EQ(base->GetLastRead(1), 1);
  EXPECT_EQ(base->GetLastRead(2), 2);
  EXPECT_EQ(base->GetLastRead(3), 0);
  base->SetLastRead(3, 17);
  EXPECT_EQ(Sql(), (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 0x11, 0, 0, 0}));
  EXPECT_EQ(base->GetLastRead(3), 17);
  // A user beyond the end: the bytes before its record read as zeros.
  base->SetLastRead(5, -1);
  EXPECT_EQ(Sql(), (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0,
                          0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(base->GetLastRead(4), 0);
  EXPECT_EQ(base->GetLastRead(5), -1);
}

TEST_F(SquishChangeTest, LastReadOfUsersBelowOneTouchesNothing) {
  auto base = Open();
  WriteFileBytes(path_ + ".sql", {7, 0, 0, 0});
  base->SetLastRead(0, 9);
  base->SetLastRead(-1, 9);
  base->SetLastRead(INT32_MIN, 9);
  EXPECT_EQ(Sql(), (Bytes{7, 0, 0, 0}));
  EXPECT_EQ(base->GetLastRead(0), 0);
  EXPECT_EQ(base->GetLastRead(-1), 0);
  EXPECT_EQ(base->LastStatus().io_result(), 0);
}

TEST_F(SquishChangeTest, LastReadFileIsReachedByNameAndNeverWraps) {
  auto owned = NewSquishMessageBase(&clock_);
  MessageBase& base = *owned;  // never opened
  base.SetPath(path_);
  ASSERT_EQ(Env::Default()->Remove(path_ + ".sql"), 0);
  EXPECT_EQ(base.GetLastRead(1), 0);
  base.SetLastRead(2, 300);  // creates the file
  EXPECT_EQ(Sql(), (Bytes{0, 0, 0, 0, 0x2C, 1, 0, 0}));
  base.SetLastRead(1, 5);
  EXPECT_EQ(Sql(), (Bytes{5, 0, 0, 0, 0x2C, 1, 0, 0}));
  // 4 * (0x40000001 - 1) is 2^32: in 32 bits it would be user 1's record.
  const int32_t far_user = 0x40000001;
  base.SetLastRead(far_user, 9);
  EXPECT_EQ(base.GetLastRead(1), 5);
  EXPECT_EQ(base.GetLastRead(far_user), 9);
  EXPECT_EQ(FileSizeOf(path_ + ".sql"), (int64_t{1} << 32) + 4);
}

TEST_F(SquishChangeTest, LastReadWriteFailureIsRecorded) {
  FaultEnv env(&clock_);
  auto base = Open(&env);
  env.FailWrite(".sql", 1, io::kDiskWriteError);
  base->SetLastRead(1, 5);
  EXPECT_EQ(base->LastStatus().io_result(), io::kDiskWriteError);
  EXPECT_EQ(base->GetLastRead(1), 0);
}

}  // namespace
}  // namespace drayline
