// Storing messages in a Squish base: the bytes of a post into a new base,
// chains and counters over several posts, free-frame reuse and the
// maximum-messages rule.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "squish/squish_test_util.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

const DateTimeRecord kNow{2026, 12, 6, 1, 18, 30};

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t at,
                           size_t n) {
  return std::vector<uint8_t>(v.begin() + at, v.begin() + at + n);
}

class SquishWriteTest : public ::testing::Test {
 protected:
  std::unique_ptr<MessageBase> Open(uint16_t max_msgs = 0) {
    std::unique_ptr<MessageBase> base = NewSquishMessageBase(&clock_);
    EXPECT_TRUE(OpenOrCreate(*base, path_, max_msgs, 0));
    return base;
  }
  // Sets a field of the control record on disk.
  void PatchHeader(size_t offset, int32_t value) {
    std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
    EncodeFixed32Signed(data.data() + offset, value);
    WriteFileBytes(path_ + ".sqd", data);
  }

  ClockEnv clock_{kNow};
  TempDir dir_;
  std::string path_ = dir_ / "general";
};

TEST_F(SquishWriteTest, FirstPostIntoNewBaseByteForByte) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", {"Hi"}, "Sysop", "Greeting"), 0);
  base->CloseBase();

  std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
  ASSERT_EQ(data.size(), 526u);
  // Control record.
  EXPECT_EQ(DecodeFixed32(&data[kBhMessageCount]), 1u);
  EXPECT_EQ(DecodeFixed32(&data[kBhHighMessage]), 1u);
  EXPECT_EQ(DecodeFixed32(&data[kBhNextUid]), 2u);
  EXPECT_EQ(DecodeFixed32(&data[kBhFirstFrame]), 256u);
  EXPECT_EQ(DecodeFixed32(&data[kBhLastFrame]), 256u);
  EXPECT_EQ(DecodeFixed32(&data[kBhFirstFreeFrame]), 0u);
  EXPECT_EQ(DecodeFixed32(&data[kBhEndFrame]), 526u);
  // Frame header at 256.
  EXPECT_EQ(Slice(data, 256, 28),
            (std::vector<uint8_t>{0x53, 0x44, 0xAE, 0xAF, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0xF2, 0, 0, 0, 0xF2, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0}));
  // Message header at 284.
  const size_t mh = 284;
  EXPECT_EQ(Slice(data, mh + kMhAttributes, 4),
            (std::vector<uint8_t>{0, 1, 0, 0}));
  EXPECT_EQ(std::string(data.begin() + mh + kMhFromName,
                        data.begin() + mh + kMhFromName + 6),
            std::string("Sysop\0", 6));
  EXPECT_EQ(std::string(data.begin() + mh + kMhToName,
                        data.begin() + mh + kMhToName + 4),
            std::string("All\0", 4));
  EXPECT_EQ(Slice(data, mh + kMhDateWritten, 4),
            (std::vector<uint8_t>{0x86, 0x5D, 0x40, 0x0A}));
  // Arrived: the clock's 01:18:30, seconds halved.
  EXPECT_EQ(Slice(data, mh + kMhDateArrived, 4),
            (std::vector<uint8_t>{0x86, 0x5D, 0x4F, 0x0A}));
  EXPECT_EQ(Slice(data, mh + kMhUtcOffset, kMhFtscDate - kMhUtcOffset),
            std::vector<uint8_t>(kMhFtscDate - kMhUtcOffset, 0));
  EXPECT_EQ(std::string(data.begin() + mh + kMhFtscDate, data.begin() + 522),
            std::string("06 Dec 26  01:18:00\0", 20));
  // Text at 522.
  EXPECT_EQ(Slice(data, 522, 4), (std::vector<uint8_t>{0x48, 0x69, 0x0D, 0}));
  EXPECT_EQ(ReadFileBytes(path_ + ".sqi"),
            (std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 0x2C, 0x68, 0, 0}));
  EXPECT_EQ(FileSizeOf(path_ + ".sql"), 0);
}

TEST_F(SquishWriteTest, PrivatePostSetsItsBit) {
  auto base = Open();
  base->StartNewMessage();
  base->SetLocal(true);
  base->SetPrivate(true);
  base->SetEchoed(false);
  base->SetTo("All");
  ASSERT_EQ(base->WriteMessage(), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages[0].header.Attributes, 0x10101u);
}

TEST_F(SquishWriteTest, SequenceOfPostsChainsAndIndexes) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", {"Hi"}), 0);
  ASSERT_EQ(Post(*base, "All", {"Yo"}), 0);
  ASSERT_EQ(Post(*base, "John Doe", {"A longer text", "of two lines"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 3u);
  EXPECT_EQ(c.messages[1].offset, 526);
  EXPECT_EQ(c.messages[1].frame.PrevFrame, 256);
  EXPECT_EQ(c.messages[0].frame.NextFrame, 526);
  EXPECT_EQ(c.messages[2].offset, 796);
  EXPECT_EQ(c.header.EndFrame, 796 + 28 + 238 + 28);
  EXPECT_EQ(c.header.NextUid, 4);
  EXPECT_EQ(c.index[1].Uid, 2);
  EXPECT_EQ(c.index[2].NameHash, 0x15F07055u);
  EXPECT_EQ(c.messages[2].text, std::string("A longer text\rof two lines\r\0", 28));
}

TEST_F(SquishWriteTest, SecondObjectSeesFirstObjectsPosts) {
  auto a = Open();
  auto b = Open();
  ASSERT_EQ(Post(*a, "All", {"one"}), 0);
  ASSERT_EQ(Post(*b, "All", {"two"}), 0);  // its lock re-reads the base
  ASSERT_EQ(Post(*a, "All", {"three"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 3u);
  EXPECT_EQ(c.messages[1].text, std::string("two\r\0", 5));
  EXPECT_EQ(c.index[2].Uid, 3);
}

TEST_F(SquishWriteTest, TextLimitsAndFieldCuts) {
  auto base = Open();
  base->StartNewMessage();
  base->SetTo(std::string(40, 'T'));
  base->SetSubject(std::string(100, 's'));
  for (int i = 0; i < 200; ++i) base->AddTextLine(std::string(78, 'x'));
  ASSERT_EQ(base->WriteMessage(), 0);
  // 200 lines of 78 characters and a CR, plus the NUL, fit the buffer.
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages[0].text.size(), 15801u);
  EXPECT_EQ(c.messages[0].text.back(), '\0');
  EXPECT_EQ(c.messages[0].to(), std::string(34, 'T'));
  EXPECT_EQ(c.index[0].NameHash, NameHash(std::string(34, 'T')));
  EXPECT_EQ(c.messages[0].header.Subject[71], 0);

  // A text beyond 16000 bytes loses the excess, NUL included.
  base->StartNewMessage();
  for (int i = 0; i < 300; ++i) base->AddTextLine(std::string(78, 'y'));
  ASSERT_EQ(base->WriteMessage(), 0);
  c = ReadBase(path_);
  EXPECT_EQ(c.messages[1].frame.MessageLength, 16000 + 238);
  EXPECT_EQ(c.messages[1].text.back(), 'y');
}

TEST_F(SquishWriteTest, YearPivotAndLooseDateText) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", {"a"}, "S", "T", "01/02/79", "23:59"), 0);
  ASSERT_EQ(Post(*base, "All", {"b"}, "S", "T", "01/02/80", "00:00"), 0);
  ASSERT_EQ(Post(*base, "All", {"c"}, "S", "T", "xx", ""), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  auto date_half = [&](int k) { return c.messages[k].header.DateWritten & 0xFFFF; };
  EXPECT_EQ(date_half(0) >> 9, 2079u - 1980u);
  EXPECT_EQ(date_half(1) >> 9, 0u);
  EXPECT_EQ(std::string(c.messages[0].header.FtscDate.begin(),
                        c.messages[0].header.FtscDate.end()),
            std::string("02 Jan 79  23:59:00\0", 20));
  // No date and no time still gives a whole FtscDate field.
  EXPECT_EQ(c.messages[2].header.FtscDate[19], 0);
}

// A base whose frames were freed (by another program) in a given order.
class SquishFreeFrameTest : public SquishWriteTest {
 protected:
  // Posts messages with texts of the given lengths (NUL included), then
  // deletes the listed ones (by position from 1) with max-messages, so
  // that their frames form the free chain in that order.
  void MakeFreeFrames(const std::vector<int>& text_lengths) {
    auto base = Open();
    for (int len : text_lengths) {
      ASSERT_EQ(Post(*base, "All", {std::string(len - 2, 'f')}), 0);
    }
    base->CloseBase();
    // Lowering MaxMessages makes the next post free the oldest frames.
    PatchHeader(kBhMaxMessages, 1);
    base = Open();
    ASSERT_EQ(Post(*base, "All", {"tail"}), 0);
    base->CloseBase();
    PatchHeader(kBhMaxMessages, 0);
  }
};

TEST_F(SquishFreeFrameTest, MaxMessagesFreesOldestIntoFreeChain) {
  MakeFreeFrames({10, 20});
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0].text, std::string("tail\r\0", 6));
  EXPECT_EQ(c.free_frames, (std::vector<int32_t>{256, 256 + 28 + 248}));
  EXPECT_EQ(c.header.FirstFrame, c.messages[0].offset);
}

TEST_F(SquishFreeFrameTest, ExactFitIsNotReusedLongerIs) {
  MakeFreeFrames({10});
  const int32_t end = ReadBase(path_).header.EndFrame;
  auto base = Open();
  // Frame of 248 bytes: a message of 248 bytes is appended.
  ASSERT_EQ(Post(*base, "All", {std::string(8, 'e')}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages.back().offset, end);
  EXPECT_EQ(c.free_frames, std::vector<int32_t>{256});
  // One byte shorter fits the free frame, which keeps its length.
  ASSERT_EQ(Post(*base, "All", {std::string(7, 'e')}), 0);
  c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages.back().offset, 256);
  EXPECT_EQ(c.messages.back().frame.FrameLength, 248);
  EXPECT_EQ(c.messages.back().frame.MessageLength, 247);
  EXPECT_TRUE(c.free_frames.empty());
  EXPECT_EQ(c.header.FirstFreeFrame, 0);
  EXPECT_EQ(c.header.LastFreeFrame, 0);
  EXPECT_EQ(c.header.EndFrame, end + 28 + 248);
}

TEST_F(SquishFreeFrameTest, BestFitFirstOfEqualLengthsFromMiddleOfChain) {
  // Free frames of lengths 488, 300, 300 in chain order; a need of 250.
  MakeFreeFrames({250, 62, 62});
  BaseContents before = ReadBase(path_);
  ASSERT_EQ(before.error, "");
  ASSERT_EQ(before.free_frames.size(), 3u);
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", {std::string(10, 'b')}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages.back().offset, before.free_frames[1]);
  EXPECT_EQ(c.free_frames, (std::vector<int32_t>{before.free_frames[0],
                                                 before.free_frames[2]}));
}

TEST_F(SquishWriteTest, MaxMessagesKeepsNewestAndProtected) {
  auto base = Open(/*max_msgs=*/2);
  ASSERT_EQ(Post(*base, "All", {"1"}), 0);
  ASSERT_EQ(Post(*base, "All", {"2"}), 0);
  ASSERT_EQ(Post(*base, "All", {"3"}), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.index[0].Uid, 2);
  EXPECT_EQ(c.free_frames, std::vector<int32_t>{256});
  EXPECT_EQ(c.header.FirstFrame, c.index[0].FrameOffset);

  // With two protected messages nothing is ever deleted.
  base->CloseBase();
  PatchHeader(kBhProtectedCount, 2);
  base = Open();
  ASSERT_EQ(Post(*base, "All", {"4"}), 0);
  ASSERT_EQ(Post(*base, "All", {"5"}), 0);
  c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.messages.size(), 4u);

  // With one protected and a limit of 2, the oldest unprotected goes.
  base->CloseBase();
  PatchHeader(kBhProtectedCount, 1);
  base = Open();
  ASSERT_EQ(Post(*base, "All", {"6"}), 0);
  c = ReadBase(path_);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.index.size(), 2u);
  EXPECT_EQ(c.index[0].Uid, 2);
  EXPECT_EQ(c.index[1].Uid, 6);
}

TEST_F(SquishWriteTest, NewBaseControlRecordByteForByte) {
  std::unique_ptr<MessageBase> base = NewSquishMessageBase(&clock_);
  base->SetPath(path_);
  ASSERT_TRUE(base->CreateBase(200, 30));
  std::vector<uint8_t> want(256, 0);
  want[1] = 0x01;          // HeaderLength 256
  want[kBhNextUid] = 1;
  std::copy(path_.begin(), path_.end(), want.begin() + kBhBaseName);
  want[kBhEndFrame + 1] = 0x01;  // EndFrame 256
  want[kBhMaxMessages] = 0xC8;
  want[kBhKeepDays] = 0x1E;
  want[kBhFrameHeaderSize] = 0x1C;
  EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), want);
  EXPECT_EQ(FileSizeOf(path_ + ".sqi"), 0);
  EXPECT_EQ(FileSizeOf(path_ + ".sql"), 0);
}

}  // namespace
}  // namespace drayline
