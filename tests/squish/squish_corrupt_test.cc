// Damaged Squish bases: values read from the files never steer a write
// outside the base's own frames, never crash, and a store that the damage
// forbids writes nothing.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "squish/squish_test_util.h"
#include "support/coding.h"
#include "support/env.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

// Records the offset and length of every write to a ".sqd" file.
class RecordingEnv final : public EnvWrapper {
 public:
  struct WriteSpan {
    uint64_t offset;
    size_t length;
  };
  explicit RecordingEnv(Env* target) : EnvWrapper(target) {}
  IoResult Open(const std::string& name, OpenMode mode,
                std::unique_ptr<File>* file, bool* exists_out) override {
    std::unique_ptr<File> base;
    IoResult code = target()->Open(name, mode, &base, exists_out);
    if (code != io::kOk) return code;
    if (name.ends_with(".sqd")) {
      *file = std::make_unique<RecordingFile>(std::move(base), &writes);
    } else {
      *file = std::move(base);
    }
    return code;
  }
  std::vector<WriteSpan> writes;

 private:
  class RecordingFile final : public File {
   public:
    RecordingFile(std::unique_ptr<File> base, std::vector<WriteSpan>* log)
        : base_(std::move(base)), log_(log) {}
    IoResult Read(uint64_t o, std::span<uint8_t> b, size_t* d) override {
      return base_->Read(o, b, d);
    }
    IoResult ReadSequential(std::span<uint8_t> b, size_t* d) override {
      return base_->ReadSequential(b, d);
    }
    IoResult Write(uint64_t o, std::span<const uint8_t> data) override {
      log_->push_back({o, data.size()});
      return base_->Write(o, data);
    }
    IoResult Size(uint64_t* s) override { return base_->Size(s); }
    IoResult Truncate(uint64_t s) override { return base_->Truncate(s); }
    IoResult Lock(uint64_t o, uint64_t l) override { return base_->Lock(o, l); }
    IoResult Unlock(uint64_t o, uint64_t l) override {
      return base_->Unlock(o, l);
    }
    IoResult Close() override { return base_->Close(); }

   private:
    std::unique_ptr<File> base_;
    std::vector<WriteSpan>* log_;
  };
};

constexpr int32_t kStride = 28 + 238 + 100;  // frames of BuildBase

class SquishCorruptTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildBase(path_, 3); }
  void Patch(size_t offset, int32_t value) {
    std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
    EncodeFixed32Signed(data.data() + offset, value);
    WriteFileBytes(path_ + ".sqd", data);
  }
  void Patch16(size_t offset, uint16_t value) {
    std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
    EncodeFixed16(data.data() + offset, value);
    WriteFileBytes(path_ + ".sqd", data);
  }
  // Posts once; a refused post must leave both files as they were.
  uint16_t PostExpectingRefusal() {
    const auto data = ReadFileBytes(path_ + ".sqd");
    const auto index = ReadFileBytes(path_ + ".sqi");
    auto base = NewSquishMessageBase(&env_);
    base->SetPath(path_);
    if (!base->OpenBase()) return 0xFFFF;
    uint16_t code = Post(*base, "All", {"x"});
    if (code != 0) {
      EXPECT_EQ(ReadFileBytes(path_ + ".sqd"), data);
      EXPECT_EQ(ReadFileBytes(path_ + ".sqi"), index);
    }
    return code;
  }
  // Frees the first message's frame (max-messages 3, a fourth post).
  void FreeFirstFrame() {
    BuildBase(path_, 3, 100, /*max_msgs=*/3);
    auto base = NewSquishMessageBase(&clock_);
    base->SetPath(path_);
    ASSERT_TRUE(base->OpenBase());
    ASSERT_EQ(Post(*base, "All", {std::string(200, 'q')}), 0);
    ASSERT_EQ(ReadBase(path_).free_frames, std::vector<int32_t>{256});
    Patch(kBhMaxMessages, 0);
  }

  ClockEnv clock_{{2026, 12, 6, 1, 18, 0}};
  RecordingEnv env_{&clock_};
  TempDir dir_;
  std::string path_ = dir_ / "general";
};

TEST_F(SquishCorruptTest, LastFrameThatIsNotAMessageFrame) {
  const int32_t last = 256 + 2 * kStride;
  for (int32_t bad : {10, -4, 0x7FFFFFF0, last + 28, 256 + 3 * kStride}) {
    SCOPED_TRACE(bad);
    Patch(kBhLastFrame, bad);
    EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  }
  // Frame headers that look right but lie outside the frames: in the
  // control record's reserved tail, and beyond EndFrame.
  std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
  SquishFrameHeader fake;
  fake.FrameId = kFrameId;
  fake.FrameLength = fake.MessageLength = 238;
  data.resize(data.size() + 28);
  EncodeFrameHeader(fake, data.data() + 200);
  EncodeFrameHeader(fake, data.data() + data.size() - 28);
  WriteFileBytes(path_ + ".sqd", data);
  for (int32_t outside : {200, int32_t(data.size()) - 28}) {
    Patch(kBhLastFrame, outside);
    EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  }
  // A sound position whose frame is free, or carries another id.
  Patch(kBhLastFrame, last);
  Patch16(last + kFhFrameType, kFrameTypeFree);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  Patch16(last + kFhFrameType, kFrameTypeMessage);
  Patch(last + kFhFrameId, 0x12345678);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
}

TEST_F(SquishCorruptTest, TruncatedDataFile) {
  std::vector<uint8_t> data = ReadFileBytes(path_ + ".sqd");
  data.resize(256 + 2 * kStride + 10);
  WriteFileBytes(path_ + ".sqd", data);
  EXPECT_EQ(PostExpectingRefusal(), io::kReadPastEnd);
}

TEST_F(SquishCorruptTest, EndFrameBeyondTheFile) {
  BuildBase(path_, 0);
  Patch(kBhEndFrame, 1 << 30);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  EXPECT_EQ(FileSizeOf(path_ + ".sqd"), 256);
}

TEST_F(SquishCorruptTest, MessageCountsOutOfRange) {
  Patch(kBhMessageCount, -1);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  Patch(kBhMessageCount, 100000);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
}

TEST_F(SquishCorruptTest, BadFreeChainIsNotUsed) {
  FreeFirstFrame();
  const int32_t end = ReadBase(path_).header.EndFrame;
  // Free frames that are no free frames: the list stops there and the
  // post is appended.
  for (int32_t bad : {300, 999999, 20}) {
    SCOPED_TRACE(bad);
    Patch(kBhFirstFreeFrame, bad);
    EXPECT_EQ(PostExpectingRefusal(), 0);
  }
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.messages.size(), 6u);
  EXPECT_EQ(c.messages[3].offset, end);
}

TEST_F(SquishCorruptTest, FreeFrameLongerThanTheBase) {
  FreeFirstFrame();
  Patch(256 + kFhFrameLength, 1 << 20);  // would run over the next frames
  const auto before = ReadBase(path_);
  EXPECT_EQ(PostExpectingRefusal(), 0);
  BaseContents c = ReadBase(path_);
  ASSERT_EQ(c.messages.size(), before.messages.size() + 1);
  for (size_t i = 0; i < before.messages.size(); ++i) {
    EXPECT_EQ(c.messages[i].text, before.messages[i].text);
  }
  EXPECT_EQ(c.messages.back().offset, before.header.EndFrame);
}

TEST_F(SquishCorruptTest, LoopsInTheFreeChain) {
  FreeFirstFrame();
  Patch(256 + kFhNextFrame, 256);  // the free frame points at itself
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  Patch(256 + kFhNextFrame, 0);
  Patch(256 + kFhPrevFrame, 256);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);

  // A longer loop: the last of three free frames links back to the first.
  // The free list stops where the chain comes back, and a post too long
  // for the free frames is appended.
  BuildBase(path_, 5, 100, /*max_msgs=*/3);
  auto base = NewSquishMessageBase(&clock_);
  base->SetPath(path_);
  ASSERT_TRUE(base->OpenBase());
  ASSERT_EQ(Post(*base, "All", {"frees three"}), 0);
  const std::vector<int32_t> free = {256, 256 + kStride, 256 + 2 * kStride};
  ASSERT_EQ(ReadBase(path_).free_frames, free);
  Patch(kBhMaxMessages, 0);
  Patch(free[2] + kFhNextFrame, free[0]);
  const int32_t end = ReadBase(path_).header.EndFrame;
  ASSERT_EQ(Post(*base, "All", {std::string(400, 'L')}), 0);
  EXPECT_EQ(ReadBase(path_).messages.back().offset, end);
}

TEST_F(SquishCorruptTest, DeletingADamagedOldestMessage) {
  Patch(kBhMaxMessages, 3);
  Patch(256 + kFhNextFrame, 256);  // the oldest links to itself
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
  Patch(256 + kFhNextFrame, 256 + kStride);
  std::vector<uint8_t> index = ReadFileBytes(path_ + ".sqi");
  EncodeFixed32Signed(index.data(), 12);  // entry 1 points into the record
  WriteFileBytes(path_ + ".sqi", index);
  EXPECT_EQ(PostExpectingRefusal(), kDamagedBase);
}

// Random damage to the control record, the frame headers and the index:
// whatever happens, no write lands in the control record's fields other
// than the control record itself, and none beyond the frames and one new
// frame.
TEST_F(SquishCorruptTest, RandomDamageNeverWritesOutsideTheFrames) {
  FreeFirstFrame();
  const auto clean_data = ReadFileBytes(path_ + ".sqd");
  const auto clean_index = ReadFileBytes(path_ + ".sqi");
  std::mt19937 rng(4242);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data = clean_data;
    std::vector<uint8_t> index = clean_index;
    const int flips = 1 + int(rng() % 4);
    for (int f = 0; f < flips; ++f) {
      uint32_t pick = rng() % 3;
      uint8_t value = uint8_t(rng());
      if (pick == 0) {
        data[rng() % kMinHeaderLength] = value;
      } else if (pick == 1) {
        size_t frame = 256 + (rng() % 4) * kStride;
        if (frame + 28 <= data.size()) data[frame + rng() % 28] = value;
      } else {
        index[rng() % index.size()] = value;
      }
    }
    WriteFileBytes(path_ + ".sqd", data);
    WriteFileBytes(path_ + ".sqi", index);
    const SquishBaseHeader h = DecodeBaseHeader(data.data());
    const uint64_t limit =
        std::max<uint64_t>(data.size(), uint64_t(std::max(h.EndFrame, 0))) +
        2 * (28 + 238 + 16000);
    env_.writes.clear();
    auto base = NewSquishMessageBase(&env_);
    base->SetPath(path_);
    if (base->OpenBase()) {
      Post(*base, "All", {"one"});
      Post(*base, "Somebody", {std::string(150, 'w')});
    }
    for (const RecordingEnv::WriteSpan& w : env_.writes) {
      if (w.offset == 0) {
        EXPECT_LE(w.length, kHeaderAreaSize) << round;
      } else {
        EXPECT_GE(w.offset, kMinHeaderLength) << round;
        EXPECT_LE(w.offset + w.length, limit) << round;
      }
    }
  }
}

}  // namespace
}  // namespace drayline
