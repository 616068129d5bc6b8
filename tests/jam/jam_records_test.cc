// The record views of a JAM base: every field as stored, and damage shown
// as damage rather than read around.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/jam_records.h"
#include "jam/jam_format.h"
#include "jam/jam_test_files.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::JamFiles;
using jamtest::Put32;
using jamtest::TestMessage;

class JamRecordsTest : public ::testing::Test {
 protected:
  std::unique_ptr<JamRecordReader> Open(const JamFiles& files) {
    files.Write(path_);
    Status status;
    auto records = JamRecordReader::Open(path_, &status);
    EXPECT_TRUE(status.ok()) << status.text();
    return records;
  }

  TempDir dir_;
  const std::string path_ = dir_ / "base";
};

TEST_F(JamRecordsTest, FieldsAsStored) {
  JamFiles files(40);
  files.Add(TestMessage());
  TestMessage second;
  second.extra = {{2000, "foreign"}};
  files.Add(second);
  files.Delete(0);
  auto records = Open(files);
  ASSERT_NE(records, nullptr);
  EXPECT_EQ(records->base_header().base_msg_num, 40u);
  EXPECT_EQ(records->base_header().active_msgs, 1u);
  EXPECT_EQ(records->base_header().password_crc, jam::kNoCrc);

  std::vector<JamIndexRecord> index;
  ASSERT_TRUE(records->ReadIndex(0, 1000, &index).ok());
  ASSERT_EQ(index.size(), 2u);
  EXPECT_TRUE(index[0].deleted());
  EXPECT_EQ(index[1].user_crc, jam::NameChecksum("All"));

  JamMessageHeaderRecord h;
  ASSERT_TRUE(records->ReadMessageHeader(index[1].hdr_offset, &h).ok());
  EXPECT_EQ(std::string(h.signature.begin(), h.signature.end()), std::string("JAM\0", 4));
  EXPECT_EQ(h.message_number, 41u);
  EXPECT_EQ(h.date_written, 992615400u);
  EXPECT_EQ(JamTime(h.date_written), (LocalDateTime{2001, 6, 15, 14, 30, 0}));
  ASSERT_TRUE(h.subfields_read);
  ASSERT_EQ(h.subfields.size(), 4u);
  EXPECT_EQ(h.subfields[0].lo_id, jam::kSfReceiverName);
  EXPECT_EQ(h.subfields[3].lo_id, 2000);
  EXPECT_EQ(h.subfields[3].data, "foreign");
  EXPECT_FALSE(h.overrun_id);
  std::string text;
  ASSERT_TRUE(records->ReadText(h.txt_offset, h.txt_len, &text).ok());
  EXPECT_EQ(text, "Test\r");
}

TEST_F(JamRecordsTest, DamageIsShownNotReadAround) {
  JamFiles files;
  for (int i = 0; i < 3; ++i) files.Add(TestMessage());
  Put32(files.jhr, files.HeaderOffset(0) + jam::kFixedHeaderSize + 4, 500);  // DatLen
  Put32(files.jhr, files.HeaderOffset(1) + jam::kMhSubfieldLen, 4001);
  auto records = Open(files);
  JamMessageHeaderRecord h;
  ASSERT_TRUE(records->ReadMessageHeader(files.HeaderOffset(0), &h).ok());
  EXPECT_TRUE(h.subfields.empty());
  EXPECT_EQ(h.overrun_id, jam::kSfReceiverName);
  ASSERT_TRUE(records->ReadMessageHeader(files.HeaderOffset(1), &h).ok());
  EXPECT_FALSE(h.subfields_read);
  EXPECT_EQ(records->ReadMessageHeader(files.jhr.size() - 10, &h).code(),
            StatusCode::kDamaged);
  std::string text;
  EXPECT_EQ(records->ReadText(10, 10, &text).code(), StatusCode::kDamaged);
}

TEST_F(JamRecordsTest, BasesThatCannotBeRead) {
  Status status;
  EXPECT_EQ(JamRecordReader::Open(path_, &status), nullptr);
  EXPECT_EQ(status.text(), "cannot read " + path_ + ".jhr (I/O result 2)");
  JamFiles files;
  files.jhr.resize(1000);
  files.Write(path_);
  EXPECT_EQ(JamRecordReader::Open(path_, &status), nullptr);
  EXPECT_EQ(status.code(), StatusCode::kDamaged);
  EXPECT_EQ(status.text(), path_ + ".jhr has no whole base header");
}

}  // namespace
}  // namespace drayline
