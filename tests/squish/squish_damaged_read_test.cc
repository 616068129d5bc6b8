// Damaged Squish bases: reading, searching and changing them never reads or
// writes outside the buffers and the base's frames, and damage shows as
// empty messages and a status, not as another message's bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "squish/squish_image.h"
#include "msgbase/factory.h"
#include "squish/squish_test_util.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;
using Bytes = std::vector<uint8_t>;

struct Seen {
  std::string from;
  std::vector<std::string> lines;
};

// Every message as the cursor reaches it: sender and text lines.
std::vector<Seen> ReadAll(MessageBase& base) {
  std::vector<Seen> all;
  for (base.SeekFirst(0); base.SeekFound() && all.size() < 6000;
       base.SeekNext()) {
    base.ReadHeader();
    Seen seen{base.GetFrom(), {}};
    (void)(base.GetTo() + base.GetSubject() + base.GetDate() + base.GetTime());
    base.BeginTextRead();
    while (!base.EndOfText() && seen.lines.size() < 20000) {
      seen.lines.push_back(base.GetTextLine(79));
    }
    all.push_back(seen);
  }
  return all;
}

// Everything a program may do with a base it finds on disk.
void Exercise(const std::string& path) {
  auto owned = NewSquishMessageBase(nullptr);
  MessageBase& base = *owned;
  base.SetPath(path);
  (void)base.NumberOfMessages();
  if (!base.OpenBase()) return;
  ReadAll(base);
  for (base.SeekFirstForUser("All", "Sysop"); base.ForUserFound();
       base.SeekNextForUser()) {
  }
  base.SeekFirst(0);
  base.ReadHeader();
  base.SetReceived(true);
  base.RewriteHeader();
  base.SeekNext();
  base.ReadHeader();
  base.DeleteMessage();
  Post(base, "All", {"After the damage."});
  ReadAll(base);
  base.CloseBase();
}

class SquishDamagedReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "damaged";
    ImageMessage second = TextMessage(2, "Second message\r", "Sysop");
    second.from = "Second";
    image_ = std::make_unique<SquishImage>(std::vector<ImageMessage>{
        TextMessage(1, "First message\r"), second,
        TextMessage(3, "Third message\r")});
  }

  std::unique_ptr<MessageBase> OpenSaved() {
    image_->Save(path_);
    auto base = NewSquishMessageBase(nullptr);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }

  // Patches a 32-bit field of frame n (0-based) of the image.
  void SetFrameField(size_t n, size_t field, uint32_t value) {
    EncodeFixed32(image_->sqd.data() + image_->frame_offsets[n] + field, value);
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<SquishImage> image_;
};

TEST_F(SquishDamagedReadTest, FrameWithoutItsIdReadsAsAnEmptyMessage) {
  SetFrameField(1, kFhFrameId, 0x12345678);
  auto base = OpenSaved();
  std::vector<Seen> all = ReadAll(*base);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].lines, (std::vector<std::string>{"First message"}));
  EXPECT_EQ(all[1].from, "");
  EXPECT_EQ(all[1].lines, (std::vector<std::string>{}));
  EXPECT_EQ(all[2].lines, (std::vector<std::string>{"Third message"}));
  EXPECT_EQ(base->LastStatus().io_result(), kDamagedBase);
  // The search passes over it: its header is not used.
  base->SeekFirstForUser("Sysop", "");
  EXPECT_FALSE(base->ForUserFound());
}

TEST_F(SquishDamagedReadTest, IndexOffsetsOutsideTheFramesAreNotRead) {
  for (int32_t offset : {0, 100, -28, 1 << 30, int32_t(image_->sqd.size()) - 10}) {
    EncodeFixed32Signed(image_->sqi.data() + kIndexEntrySize, offset);
    auto base = OpenSaved();
    std::vector<Seen> all = ReadAll(*base);
    ASSERT_EQ(all.size(), 3u) << offset;
    EXPECT_EQ(all[1].from, "") << offset;
    EXPECT_EQ(all[1].lines.size(), 0u) << offset;
    EXPECT_NE(base->LastStatus().io_result(), 0) << offset;
    // Neither a rewrite nor a delete goes there.
    base->SeekFirst(2);
    base->ReadHeader();
    const Bytes sqd = ReadFileBytes(path_ + ".sqd");
    base->SetSubject("x");
    base->RewriteHeader();
    base->DeleteMessage();
    EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), sqd) << offset;
  }
}

TEST_F(SquishDamagedReadTest, LengthsThatDoNotFitTheFrameAreBounded) {
  const int32_t frame_length = kMessageHeaderSize + 16;  // "Second message\r\0"
  struct Case {
    int32_t message_length;
    int32_t control_length;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {0x7FFFFFFF, 0, {"Second message"}},  // kept within FrameLength
      {-5, 0, {}},
      {10, 0, {}},  // shorter than a message header
      {frame_length, 1000, {}},
      {frame_length, -7, {"Second message"}},
      {frame_length, 7, {"message"}},
  };
  for (const Case& c : cases) {
    SetFrameField(1, kFhMessageLength, uint32_t(c.message_length));
    SetFrameField(1, kFhControlLength, uint32_t(c.control_length));
    auto base = OpenSaved();
    std::vector<Seen> all = ReadAll(*base);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].lines, c.lines) << c.message_length << " " << c.control_length;
    base->SeekFirst(2);
    base->ReadHeader();
    EXPECT_GE(base->GetTextLength(), 0);
    EXPECT_LE(base->GetTextLength(), 15);
  }
}

TEST_F(SquishDamagedReadTest, HugeFrameLengthReadsOnlyTheBytesTheFileHolds) {
  // The last message claims far more than the file holds; the text stops
  // where the file does, and no byte of the message read before shows.
  SetFrameField(2, kFhFrameLength, 0x7FFFFFFF);
  SetFrameField(2, kFhMessageLength, 0x7FFFFFFF);
  image_->sqd.resize(image_->sqd.size() - 9);  // cuts "message\r\0"
  auto base = OpenSaved();
  std::vector<Seen> all = ReadAll(*base);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].lines, (std::vector<std::string>{"Third "}));
  EXPECT_EQ(base->LastStatus().io_result(), io::kReadPastEnd);
}

TEST_F(SquishDamagedReadTest, DamageAndShortReadsAreDistinctStatuses) {
  // Both carry the number 100; the status says which, and where.
  SetFrameField(1, kFhFrameId, 0x12345678);
  auto base = OpenSaved();
  base->SeekFirst(2);
  base->ReadHeader();
  const Status damaged = base->LastStatus();
  EXPECT_EQ(damaged.code(), StatusCode::kDamaged);
  EXPECT_EQ(damaged.io_result(), 100);
  EXPECT_NE(damaged.text().find(std::to_string(image_->frame_offsets[1])),
            std::string::npos)
      << damaged.text();
  image_->sqd.resize(image_->frame_offsets[2] + 100);  // inside the last header
  base = OpenSaved();
  base->SeekFirst(3);
  base->ReadHeader();
  EXPECT_EQ(base->LastStatus().code(), StatusCode::kShortRead);
  EXPECT_EQ(base->LastStatus().io_result(), 100);
}

TEST_F(SquishDamagedReadTest, CountsAndIndexThatDisagree) {
  // The control record counts more messages than the index holds.
  EncodeFixed32(image_->sqd.data() + kBhMessageCount, 5000);
  EXPECT_EQ(ReadAll(*OpenSaved()).size(), 3u);
  // It counts fewer: only those are reached.
  EncodeFixed32(image_->sqd.data() + kBhMessageCount, 2);
  EXPECT_EQ(ReadAll(*OpenSaved()).size(), 2u);
  // A partial entry at the end of the index is not an entry.
  EncodeFixed32(image_->sqd.data() + kBhMessageCount, 3);
  image_->sqi.resize(image_->sqi.size() - 5);
  EXPECT_EQ(ReadAll(*OpenSaved()).size(), 2u);
  EncodeFixed32(image_->sqd.data() + kBhMessageCount, uint32_t(-1));
  EXPECT_EQ(ReadAll(*OpenSaved()).size(), 0u);
}

TEST_F(SquishDamagedReadTest, LoopsInTheChainsEndChanges) {
  // Message chain: the last frame points back to the first. Free chain:
  // a freed frame that points to itself.
  SetFrameField(2, kFhNextFrame, uint32_t(image_->frame_offsets[0]));
  image_->Save(path_);
  Exercise(path_);
  {
    auto owned = NewSquishMessageBase(nullptr);
    MessageBase& base = *owned;
    ASSERT_TRUE(OpenOrCreate(base, path_));
    base.SeekFirst(1);
    base.ReadHeader();
    base.DeleteMessage();
  }
  Bytes sqd = ReadFileBytes(path_ + ".sqd");
  const int32_t first_free = DecodeFixed32Signed(sqd.data() + kBhFirstFreeFrame);
  if (first_free > 0) {
    EncodeFixed32Signed(sqd.data() + first_free + kFhNextFrame, first_free);
    EncodeFixed32Signed(sqd.data() + first_free + kFhPrevFrame, first_free);
    WriteFileBytes(path_ + ".sqd", sqd);
  }
  Exercise(path_);
  EXPECT_TRUE(PathExists(path_ + ".sqd"));
}

TEST_F(SquishDamagedReadTest, EveryDamagedByteIsSurvived) {
  const SquishImage pristine = *image_;
  for (size_t i = 0; i < pristine.sqd.size(); ++i) {
    for (uint8_t value : {uint8_t(0xFF), uint8_t(0x00)}) {
      *image_ = pristine;
      image_->sqd[i] = value;
      image_->Save(path_);
      Exercise(path_);
    }
  }
  for (size_t i = 0; i < pristine.sqi.size(); ++i) {
    *image_ = pristine;
    image_->sqi[i] ^= 0xA5;
    image_->Save(path_);
    Exercise(path_);
  }
  // Truncated at every length.
  for (size_t n = 0; n < pristine.sqd.size(); n += 3) {
    *image_ = pristine;
    image_->sqd.resize(n);
    image_->Save(path_);
    Exercise(path_);
  }
}

}  // namespace
}  // namespace drayline
