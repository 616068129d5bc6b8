#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/board.h"
#include "test_util.h"

namespace drayline {
namespace {

TEST(BoardRecords, BaseRecordFieldsSitAtTheirOffsets) {
  MessageBaseRecord in;
  in.BaseFileName = "general";
  in.BasePath = "msgs/";
  in.BaseFormat = kFormatSquish;
  in.NetType = kNetEchoOther;
  in.PostType = kPostPrivate;
  in.MaxMsgs = 0x1234;
  in.MaxAge = 30;
  std::vector<uint8_t> bytes(kMessageBaseRecordSize, 0xEE);
  EncodeMessageBaseRecord(in, bytes);
  EXPECT_EQ(bytes[55], 7);
  EXPECT_EQ(bytes[56], 'g');
  EXPECT_EQ(bytes[64], 5);  // always the length byte of BasePath
  EXPECT_EQ(bytes[65], 'm');
  EXPECT_EQ(bytes[105], 1);
  EXPECT_EQ(bytes[106], 2);
  EXPECT_EQ(bytes[107], 1);
  EXPECT_EQ(bytes[267], 0x34);
  EXPECT_EQ(bytes[268], 0x12);
  EXPECT_EQ(bytes[269], 30);
  EXPECT_EQ(bytes[0], 0);  // the board's own fields are left zero
  EXPECT_EQ(bytes[281], 0);

  MessageBaseRecord out;
  ASSERT_TRUE(DecodeMessageBaseRecord(bytes, &out));
  EXPECT_EQ(out.BaseFileName, "general");
  EXPECT_EQ(out.BasePath, "msgs/");
  EXPECT_EQ(out.BaseFormat, kFormatSquish);
  EXPECT_EQ(out.NetType, kNetEchoOther);
  EXPECT_EQ(out.PostType, kPostPrivate);
  EXPECT_EQ(out.MaxMsgs, 0x1234);
  EXPECT_EQ(out.MaxAge, 30);
}

TEST(BoardRecords, LengthBytesAboveCapacityAreCut) {
  std::vector<uint8_t> bytes(kMessageBaseRecordSize, 'x');
  bytes[55] = 200;  // BaseFileName claims far more than its 8 characters
  bytes[64] = 255;  // BasePath more than its 40
  MessageBaseRecord out;
  ASSERT_TRUE(DecodeMessageBaseRecord(bytes, &out));
  EXPECT_EQ(out.BaseFileName, std::string(8, 'x'));
  EXPECT_EQ(out.BasePath, std::string(40, 'x'));

  // A full-length file name and path still decode whole.
  MessageBaseRecord in;
  in.BaseFileName = "abcdefghIJ";  // cut to 8 when encoded
  in.BasePath = std::string(45, 'p');
  std::vector<uint8_t> enc(kMessageBaseRecordSize);
  EncodeMessageBaseRecord(in, enc);
  ASSERT_TRUE(DecodeMessageBaseRecord(enc, &out));
  EXPECT_EQ(out.BaseFileName, "abcdefgh");
  EXPECT_EQ(out.BasePath, std::string(40, 'p'));
}

TEST(BoardRecords, ShortRecordsAreNotDecoded) {
  MessageBaseRecord base;
  base.BasePath = "kept";
  std::vector<uint8_t> bytes(kMessageBaseRecordSize - 1);
  EXPECT_FALSE(DecodeMessageBaseRecord(bytes, &base));
  EXPECT_EQ(base.BasePath, "kept");
  SystemConfigRecord sys;
  std::vector<uint8_t> sys_bytes(kSystemConfigRecordSize - 1);
  EXPECT_FALSE(DecodeSystemConfigRecord(sys_bytes, &sys));
}

TEST(BoardRecords, SystemRecordCarriesTheDataPath) {
  std::vector<uint8_t> bytes(kSystemConfigRecordSize + 100, 0xAA);
  EncodeSystemConfigRecord({.DataPath = "data/"}, bytes);
  EXPECT_EQ(bytes[82], 5);
  EXPECT_EQ(bytes[83], 'd');
  EXPECT_EQ(bytes[kSystemConfigRecordSize - 1], 0);
  EXPECT_EQ(bytes[kSystemConfigRecordSize], 0xAA);  // beyond the record
  SystemConfigRecord out;
  ASSERT_TRUE(DecodeSystemConfigRecord(bytes, &out));
  EXPECT_EQ(out.DataPath, "data/");

  // The longest length byte still lies inside the record.
  std::vector<uint8_t> full(kSystemConfigRecordSize, 'z');
  full[82] = 255;
  ASSERT_TRUE(DecodeSystemConfigRecord(full, &out));
  EXPECT_EQ(out.DataPath, std::string(255, 'z'));
}

TEST(BoardFiles, NewBoardReadsBackAndIsNeverOverwritten) {
  TempDir dir;
  const std::string root = dir / "bbs";
  MessageBaseRecord general;
  general.BaseFileName = "general";
  general.BasePath = "msgs/";
  MessageBaseRecord chatter = general;
  chatter.BaseFileName = "chatter";
  chatter.BaseFormat = kFormatSquish;
  chatter.MaxMsgs = 500;
  const std::vector<MessageBaseRecord> bases = {general, chatter};
  ASSERT_TRUE(CreateBoard(root, {.DataPath = "data/"}, bases).ok());
  EXPECT_TRUE(PathExists(root + "/msgs"));
  EXPECT_EQ(FileSizeOf(root + "/data/mbases.dat"), 2 * int64_t{kMessageBaseRecordSize});

  // A partial record at the end is not one.
  std::vector<uint8_t> bytes = ReadFileBytes(root + "/data/mbases.dat");
  bytes.resize(bytes.size() + 10, 0);
  WriteFileBytes(root + "/data/mbases.dat", bytes);
  Board board;
  ASSERT_TRUE(ReadBoard(root, &board).ok());
  EXPECT_EQ(board.system.DataPath, "data/");
  ASSERT_EQ(board.bases.size(), 2u);
  EXPECT_EQ(board.bases[1].BaseFileName, "chatter");
  EXPECT_EQ(board.bases[1].MaxMsgs, 500);

  const Status again = CreateBoard(root + "/", {.DataPath = "data/"}, bases);
  EXPECT_EQ(again.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(again.text(), root + "/tarvik.dat exists already; not overwriting a board");
  EXPECT_EQ(ReadBoard(dir / "none", &board).code(), StatusCode::kNotFound);
}

}  // namespace
}  // namespace drayline
