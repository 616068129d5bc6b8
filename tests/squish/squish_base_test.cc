// Opening, creating and closing Squish bases; what a data file must hold to
// be opened; creating never destroys messages; the index table's size.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "fault_env.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "squish/squish_storage.h"
#include "squish/squish_test_util.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

class SquishBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InspectedBase made = NewInspectedBase(&env_);
    base_ = std::move(made.base);
    engine_ = made.engine;
    base_->SetPath(path_);
  }
  void PatchData(size_t offset, int32_t value, bool wide = true) {
    std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
    if (wide) {
      EncodeFixed32Signed(data.data() + offset, value);
    } else {
      EncodeFixed16(data.data() + offset, uint16_t(value));
    }
    WriteFileBytes(path_ + ".sqd", data);
  }
  // The files' bytes, to show that nothing was changed.
  std::vector<std::vector<uint8_t>> Files() {
    return {ReadFileBytes(path_ + ".sqd"), ReadFileBytes(path_ + ".sqi"),
            ReadFileBytes(path_ + ".sql")};
  }

  ClockEnv clock_{{2026, 12, 6, 1, 18, 0}};
  FaultEnv env_{&clock_};
  TempDir dir_;
  std::string path_ = dir_ / "general";
  std::unique_ptr<MessageBase> base_;
  squish::SquishEngine* engine_ = nullptr;  // base_'s
};

TEST_F(SquishBaseTest, CreateMakesMissingFilesAndKeepsExistingOnes) {
  EXPECT_FALSE(base_->BaseExists());
  EXPECT_FALSE(base_->OpenBase());
  WriteFileBytes(path_ + ".sql", {1, 2, 3, 4});
  ASSERT_TRUE(base_->CreateBase(0, 0));
  EXPECT_TRUE(base_->BaseExists());
  EXPECT_EQ(ReadFileBytes(path_ + ".sql"), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(FileSizeOf(path_ + ".sqd"), 256);
  ASSERT_TRUE(base_->OpenBase());
  // Creating again over an open base writes nothing.
  EXPECT_FALSE(base_->CreateBase(5, 5));
}

TEST_F(SquishBaseTest, ControlRecordLengthsThatCanBeOpened) {
  ASSERT_TRUE(base_->CreateBase(0, 0));
  PatchData(kBhHeaderLength, 0, false);  // 0 means 256
  EXPECT_TRUE(base_->OpenBase());
  base_->CloseBase();
  for (int bad : {357, 131, 1}) {
    PatchData(kBhHeaderLength, bad, false);
    EXPECT_FALSE(base_->OpenBase()) << bad;
  }
  // Longer than the file: a data file shorter than its control record.
  PatchData(kBhHeaderLength, 300, false);
  EXPECT_FALSE(base_->OpenBase());
  // Sound again once the file holds the whole record.
  std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
  data.resize(300);
  EncodeFixed32Signed(data.data() + kBhEndFrame, 300);
  WriteFileBytes(path_ + ".sqd", data);
  EXPECT_TRUE(base_->OpenBase());
  ASSERT_EQ(Post(*base_, "All", {"Hi"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages[0].offset, 300);
  // Bytes 256..299 belong to the control record and are written with it.
  EXPECT_EQ(ReadFileBytes(path_ + ".sqd").size(), 300u + 28 + 242);
}

TEST_F(SquishBaseTest, FrameHeaderSizeAndEndFrameChecks) {
  ASSERT_TRUE(base_->CreateBase(0, 0));
  PatchData(kBhFrameHeaderSize, 27, false);
  EXPECT_FALSE(base_->OpenBase());
  PatchData(kBhFrameHeaderSize, 28, false);
  PatchData(kBhEndFrame, 255);
  EXPECT_FALSE(base_->OpenBase());
  PatchData(kBhEndFrame, 256);
  // 0 is read as 28 and written back as 28.
  PatchData(kBhFrameHeaderSize, 0, false);
  ASSERT_TRUE(base_->OpenBase());
  ASSERT_EQ(Post(*base_, "All", {"Hi"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.header.FrameHeaderSize, 28);
  EXPECT_EQ(c.header.EndFrame, 526);
}

TEST_F(SquishBaseTest, SizesBelongToEachBase) {
  // One base with a 40-byte frame header, one with the usual 28.
  ASSERT_TRUE(base_->CreateBase(0, 0));
  PatchData(kBhFrameHeaderSize, 40, false);
  auto other = NewSquishMessageBase(&clock_);
  ASSERT_TRUE(OpenOrCreate(*other, dir_ / "other"));
  ASSERT_TRUE(base_->OpenBase());
  ASSERT_EQ(Post(*base_, "All", {"wide"}), 0);
  ASSERT_EQ(Post(*other, "All", {"narrow"}), 0);
  BaseContents wide = ReadBase(path_);
  BaseContents narrow = ReadBase(dir_ / "other");
  ASSERT_EQ(wide.error, "");
  ASSERT_EQ(narrow.error, "");
  EXPECT_EQ(wide.header.EndFrame, 256 + 40 + 238 + 6);
  EXPECT_EQ(narrow.header.FrameHeaderSize, 28);
  EXPECT_EQ(narrow.header.EndFrame, 256 + 28 + 238 + 8);
  EXPECT_EQ(narrow.messages[0].text, std::string("narrow\r\0", 8));
  // A third base made by the object that read the wide one is still 28.
  base_->CloseBase();
  base_->SetPath(dir_ / "third");
  ASSERT_TRUE(base_->CreateBase(0, 0));
  EXPECT_EQ(ReadBase(dir_ / "third").header.FrameHeaderSize, 28);
}

TEST_F(SquishBaseTest, CreateNeverOverwritesABaseWithMessages) {
  ASSERT_TRUE(OpenOrCreate(*base_, path_));
  ASSERT_EQ(Post(*base_, "All", {"keep me"}), 0);
  base_->CloseBase();
  ASSERT_EQ(unlink((path_ + ".sqi").c_str()), 0);
  const std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
  auto again = NewSquishMessageBase(&clock_);
  again->SetPath(path_);
  EXPECT_FALSE(again->OpenBase());
  EXPECT_FALSE(again->CreateBase(0, 0));
  EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), data);
  EXPECT_FALSE(PathExists(path_ + ".sqi"));

  // The same when the index exists but cannot be opened.
  WriteFileBytes(path_ + ".sqi", {});
  env_.FailOpen(".sqi", io::kAccessDenied);
  auto denied = NewSquishMessageBase(&env_);
  denied->SetPath(path_);
  EXPECT_FALSE(denied->OpenBase());
  EXPECT_FALSE(denied->CreateBase(0, 0));
  EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), data);
}

TEST_F(SquishBaseTest, CreateCompletesABaseWithoutMessages) {
  ASSERT_TRUE(base_->CreateBase(200, 30));
  ASSERT_EQ(unlink((path_ + ".sqi").c_str()), 0);
  PatchData(kBhMaxMessages, 77);  // set by the sysop: kept
  EXPECT_FALSE(base_->OpenBase());
  ASSERT_TRUE(base_->CreateBase(5, 5));
  EXPECT_EQ(ReadBase(path_).header.MaxMessages, 77);
  EXPECT_TRUE(base_->OpenBase());

  // A data file too short for a control record gets a fresh one.
  base_->CloseBase();
  WriteFileBytes(path_ + ".sqd", std::vector<uint8_t>(100, 0xAB));
  EXPECT_FALSE(base_->OpenBase());
  ASSERT_TRUE(base_->CreateBase(9, 0));
  EXPECT_EQ(ReadBase(path_).header.MaxMessages, 9);
  EXPECT_EQ(FileSizeOf(path_ + ".sqd"), 256);

  // A long file that is no control record is left for the sysop.
  base_->CloseBase();
  WriteFileBytes(path_ + ".sqd", std::vector<uint8_t>(600, 0xAB));
  EXPECT_FALSE(base_->OpenBase());
  EXPECT_FALSE(base_->CreateBase(9, 0));
  EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), std::vector<uint8_t>(600, 0xAB));
}

TEST_F(SquishBaseTest, IndexTableSizes) {
  BuildBase(path_, 40);
  ASSERT_TRUE(base_->OpenBase());
  EXPECT_EQ(engine_->IndexCapacity(), 140);
  base_->CloseBase();
  // Reopening reads the index again; the table is kept while it has room.
  ASSERT_TRUE(base_->OpenBase());
  EXPECT_EQ(engine_->IndexCapacity(), 140);

  InspectedBase inspected = NewInspectedBase(&clock_);
  MessageBase* big = inspected.base.get();
  BuildBase(dir_ / "big", 6000, 4);
  big->SetPath(dir_ / "big");
  ASSERT_TRUE(big->OpenBase());
  EXPECT_EQ(inspected.engine->IndexCapacity(), 5200);
  // Entries beyond the table could not be loaded: no post may rewrite it.
  const std::vector<uint8_t> index = ReadFileBytes(dir_ / "big.sqi");
  const std::vector<uint8_t> data = ReadFileBytes(dir_ / "big.sqd");
  EXPECT_EQ(Post(*big, "All", {"no room"}), kNoIndexTable);
  EXPECT_EQ(ReadFileBytes(dir_ / "big.sqi"), index);
  EXPECT_EQ(ReadFileBytes(dir_ / "big.sqd"), data);
}

TEST_F(SquishBaseTest, FullIndexTakesAPostOnlyUnderTheMaximumRule) {
  BuildBase(path_, 5200, 4);
  ASSERT_TRUE(base_->OpenBase());
  const auto before = Files();
  EXPECT_EQ(Post(*base_, "All", {"one too many"}), kNoIndexTable);
  EXPECT_EQ(Files(), before);

  base_->CloseBase();
  BuildBase(path_, 5200, 4, /*max_msgs=*/5200, /*protected_count=*/3);
  ASSERT_TRUE(base_->OpenBase());
  ASSERT_EQ(Post(*base_, "All", {""}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.index.size(), 5200u);
  EXPECT_EQ(c.index[2].Uid, 3);  // protected
  EXPECT_EQ(c.index[3].Uid, 5);  // the fourth went
  EXPECT_EQ(c.index.back().Uid, 5201);
  // Its frame was freed first, and was long enough to take the post.
  EXPECT_TRUE(c.free_frames.empty());
  EXPECT_EQ(c.messages.back().offset, 256 + 3 * (28 + 242));
}

TEST_F(SquishBaseTest, ControlRecordCountingMoreThanTheIndexRefusesPosts) {
  BuildBase(path_, 3);
  std::vector<uint8_t> index = ReadFileBytes(path_ + ".sqi");
  index.resize(2 * kIndexEntrySize);
  WriteFileBytes(path_ + ".sqi", index);
  ASSERT_TRUE(base_->OpenBase());
  const auto before = Files();
  EXPECT_EQ(Post(*base_, "All", {"x"}), kDamagedBase);
  EXPECT_EQ(Files(), before);
}

TEST_F(SquishBaseTest, IndexEntriesBeyondTheCountAreDropped) {
  // Left by a store whose control record never reached the disk.
  BuildBase(path_, 3);
  PatchData(kBhMessageCount, 2);
  PatchData(kBhHighMessage, 2);
  PatchData(kBhLastFrame, 256 + 366);
  ASSERT_TRUE(base_->OpenBase());
  ASSERT_EQ(Post(*base_, "All", {"after"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 3u);
  EXPECT_EQ(c.messages[2].offset, 256 + 3 * 366);
}

TEST_F(SquishBaseTest, PathsAreExpandedAndNeverCut) {
  const std::string deep = dir_ / "bbs.d";
  ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
  std::string long_dir = deep + "/" + std::string(90, 'L');
  ASSERT_EQ(mkdir(long_dir.c_str(), 0777), 0);
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(deep.c_str()), 0);
  auto base = NewSquishMessageBase(&clock_);
  bool made = OpenOrCreate(*base, std::string(90, 'L') + "/../" +
                                      std::string(90, 'L') + "/chatter.sqd");
  ASSERT_EQ(chdir(old_cwd), 0);
  ASSERT_TRUE(made);
  const std::string full = long_dir + "/chatter";
  EXPECT_TRUE(PathExists(full + ".sqd"));
  EXPECT_TRUE(PathExists(full + ".sqi"));
  EXPECT_TRUE(PathExists(full + ".sql"));
  BaseContents c = ReadBase(full);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.header.BaseName.data())),
            full.substr(0, 77));
}

TEST_F(SquishBaseTest, LockAndUnlockWhenAlreadyInThatState) {
  ASSERT_TRUE(OpenOrCreate(*base_, path_));
  const int writes = env_.WritesTo(".sq");
  EXPECT_TRUE(base_->UnlockBase());
  EXPECT_EQ(env_.WritesTo(".sq"), writes);
  ASSERT_TRUE(base_->LockBase());
  const int locks = env_.locks_attempted();
  EXPECT_TRUE(base_->LockBase());
  EXPECT_EQ(env_.locks_attempted(), locks);
  // While it is held, another object cannot post.
  auto other = NewSquishMessageBase(&env_);
  ASSERT_TRUE(OpenOrCreate(*other, path_));
  EXPECT_EQ(Post(*other, "All", {"blocked"}), io::kAccessDenied);
  EXPECT_GE(env_.slept_ms(), 100u);
  EXPECT_TRUE(base_->UnlockBase());
  EXPECT_EQ(Post(*other, "All", {"free"}), 0);
}

TEST_F(SquishBaseTest, PostsUnderTheCallersLockAreWrittenAtUnlock) {
  ASSERT_TRUE(OpenOrCreate(*base_, path_));
  ASSERT_TRUE(base_->LockBase());
  for (int i = 0; i < 150; ++i) ASSERT_EQ(Post(*base_, "All", {"m"}), 0);
  EXPECT_EQ(FileSizeOf(path_ + ".sqi"), 0);
  ASSERT_TRUE(base_->UnlockBase());
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages.size(), 150u);
}

TEST_F(SquishBaseTest, DoneReleasesEverythingAndMayBeRepeated) {
  ASSERT_TRUE(OpenOrCreate(*base_, path_));
  base_->Done();
  base_->Done();
  base_->AddTextLine("ignored");
  EXPECT_NE(base_->WriteMessage(), 0);
  EXPECT_FALSE(base_->OpenBase());
}

}  // namespace
}  // namespace drayline
