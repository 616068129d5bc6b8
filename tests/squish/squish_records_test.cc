// The read-only record views of a Squish base: fields as stored, control
// information, and offsets from the files that are checked before use.

#include "drayline/squish_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "squish/squish_format.h"
#include "squish/squish_image.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

class SquishRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ImageMessage first = TextMessage(3, "Hello\r", "Alice");
    first.body = std::string("\x01MSGID: 1\0", 10) + "Hello\r" + std::string(1, '\0');
    first.control_length = 10;
    first.date_written = 0x0A405D86;  // 06 Dec 2026 01:18:00, date half first
    image_ = SquishImage({first, TextMessage(7, "Bye\r", "Bob")});
    image_.Save(path_);
  }
  std::unique_ptr<SquishRecordReader> Open() {
    Status s;
    auto reader = SquishRecordReader::Open(path_, &s);
    EXPECT_TRUE(s.ok()) << s.text();
    return reader;
  }

  TempDir dir_;
  std::string path_ = dir_ / "general";
  SquishImage image_{{}};
};

TEST_F(SquishRecordsTest, ControlIndexAndFramesAsStored) {
  auto reader = Open();
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->control().message_count, 2);
  EXPECT_EQ(reader->control().next_uid, 8);
  EXPECT_EQ(reader->control().first_frame, image_.frame_offsets[0]);
  EXPECT_EQ(reader->control().end_frame, int32_t(image_.sqd.size()));
  ASSERT_EQ(reader->index_count(), 2u);
  std::vector<SquishIndexRecord> index;
  ASSERT_TRUE(reader->ReadIndex(1, 10, &index).ok());
  ASSERT_EQ(index.size(), 1u);
  EXPECT_EQ(index[0].uid, 7);
  EXPECT_EQ(index[0].name_hash, NameHash("Bob"));

  SquishFrameRecord frame;
  ASSERT_TRUE(reader->ReadFrame(image_.frame_offsets[0], &frame).ok());
  EXPECT_EQ(frame.frame_id, kFrameId);
  EXPECT_EQ(frame.next_frame, image_.frame_offsets[1]);
  ASSERT_TRUE(frame.message_read);
  EXPECT_EQ(frame.message.to, "Alice");
  EXPECT_EQ(frame.control, std::string("\x01MSGID: 1\0", 10));
  EXPECT_EQ(SquishTime(frame.message.date_written),
            (LocalDateTime{2026, 12, 6, 1, 18, 0}));
  EXPECT_EQ(SquishTime(0), LocalDateTime{});
}

TEST_F(SquishRecordsTest, DamagedOffsetsAndLengthsStayInsideTheFile) {
  // A control length past the message and the file is cut to them.
  EncodeFixed32Signed(image_.sqd.data() + image_.frame_offsets[1] + kFhControlLength,
                      1 << 30);
  image_.Save(path_);
  auto reader = Open();
  ASSERT_NE(reader, nullptr);
  SquishFrameRecord frame;
  ASSERT_TRUE(reader->ReadFrame(image_.frame_offsets[1], &frame).ok());
  EXPECT_EQ(frame.control, std::string("Bye\r", 4) + std::string(1, '\0'));
  for (int64_t bad : {int64_t{-1}, int64_t(image_.sqd.size()) - 10, int64_t{1} << 40}) {
    SquishFrameRecord untouched;
    untouched.offset = 99;
    EXPECT_EQ(reader->ReadFrame(bad, &untouched).code(), StatusCode::kDamaged) << bad;
    EXPECT_EQ(untouched.offset, 99);
  }
  // A frame whose message header lies past the file has none.
  ASSERT_TRUE(reader->ReadFrame(int64_t(image_.sqd.size()) - 40, &frame).ok());
  EXPECT_FALSE(frame.message_read);
}

TEST_F(SquishRecordsTest, MissingOrShortFilesAreStatuses) {
  Status s;
  EXPECT_EQ(SquishRecordReader::Open(dir_ / "none", &s), nullptr);
  EXPECT_EQ(s.io_result(), io::kFileNotFound);
  WriteFileBytes(path_ + ".sqd", std::vector<uint8_t>(100, 0));
  EXPECT_EQ(SquishRecordReader::Open(path_, &s), nullptr);
  EXPECT_EQ(s.code(), StatusCode::kDamaged);
}

}  // namespace
}  // namespace drayline
