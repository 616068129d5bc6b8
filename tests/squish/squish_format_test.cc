#include "squish/squish_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "squish/squish_header.h"
#include "squish/squish_path.h"
#include "support/env.h"

namespace drayline::squish {
namespace {

TEST(SquishNameHash, KnownValues) {
  EXPECT_EQ(NameHash("All"), 0x682Cu);
  EXPECT_EQ(NameHash("ALL"), 0x682Cu);
  EXPECT_EQ(NameHash("John Doe"), 0x15F07055u);
  // Long enough for the top nibble to fold back.
  EXPECT_EQ(NameHash("Everybody Everywhere"), 0x60FFFFE5u);
  EXPECT_EQ(NameHash(""), 0u);
  // Only A-Z fold: bytes above 127 are taken as they are.
  EXPECT_NE(NameHash("\xC4"), NameHash("\xE4"));
}

TEST(SquishFormat, FrameHeaderBytes) {
  SquishFrameHeader h;
  h.FrameId = kFrameId;
  h.NextFrame = 526;
  h.PrevFrame = -1;
  h.FrameLength = 242;
  h.MessageLength = 242;
  h.FrameType = kFrameTypeFree;
  std::vector<uint8_t> bytes(kFrameHeaderSize);
  EncodeFrameHeader(h, bytes.data());
  EXPECT_EQ(bytes, (std::vector<uint8_t>{
                       0x53, 0x44, 0xAE, 0xAF, 0x0E, 0x02, 0, 0, 0xFF, 0xFF,
                       0xFF, 0xFF, 0xF2, 0, 0, 0, 0xF2, 0, 0, 0, 0, 0, 0, 0,
                       1, 0, 0, 0}));
  EXPECT_EQ(DecodeFrameHeader(bytes.data()), h);
}

TEST(SquishFormat, MessageHeaderRoundTripsEveryByte) {
  std::vector<uint8_t> bytes(kMessageHeaderSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 1);
  std::vector<uint8_t> again(kMessageHeaderSize);
  EncodeMessageHeader(DecodeMessageHeader(bytes.data()), again.data());
  EXPECT_EQ(again, bytes);
}

TEST(SquishFormat, ControlRecordRoundTripsKnownFields) {
  std::vector<uint8_t> bytes(kBaseHeaderSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + 5);
  std::vector<uint8_t> again(kBaseHeaderSize, 0xEE);
  EncodeBaseHeader(DecodeBaseHeader(bytes.data()), again.data());
  // The fields end at 132; the reserved tail is not the codec's business.
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kMinHeaderLength,
                         again.begin()));
  EXPECT_EQ(again[kMinHeaderLength], 0xEE);
}

TEST(SquishFormat, IndexEntryBytes) {
  std::vector<uint8_t> bytes(kIndexEntrySize);
  EncodeIndexEntry({256, 1, 0x682C}, bytes.data());
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 0x2C, 0x68,
                                         0, 0}));
}

TEST(SquishFormat, DateTextsAreTheClocksTextsOfTheStoredDate) {
  // Every value of each packed field, in every style, for a sample of
  // words: the texts made on demand must be DateString's and TimeString's.
  for (uint32_t packed = 0; packed < 0xFFFFFFFFu - 0x00100013u; packed += 0x00100013u) {
    HeaderFields fields;
    fields.stored_written = SwapPackedHalves(packed);
    for (uint8_t style = 0; style <= 4; ++style) {
      MakeDateTexts(&fields, style);
      ASSERT_EQ(fields.date_text, DateString(packed, style)) << packed;
      ASSERT_EQ(fields.time_text, TimeString(packed, false)) << packed;
    }
  }
}

TEST(SquishPath, ExpandsAndCutsOnlyTheLastComponent) {
  EXPECT_EQ(ExpandBasePath("msgs/general", "/bbs", "/home/x"),
            "/bbs/msgs/general");
  EXPECT_EQ(ExpandBasePath("/bbs/msg/general.sqd", "/", ""),
            "/bbs/msg/general");
  // A "." in a directory name never moves the base.
  EXPECT_EQ(ExpandBasePath("/srv/bbs.d/msgs/general", "/", ""),
            "/srv/bbs.d/msgs/general");
  EXPECT_EQ(ExpandBasePath("../data/./msgs/../msgs/chatter", "/bbs/root", ""),
            "/bbs/data/msgs/chatter");
  EXPECT_EQ(ExpandBasePath("~/msgs/a.b.c", "/bbs", "/home/x"),
            "/home/x/msgs/a");
  EXPECT_EQ(ExpandBasePath("/../x", "/", ""), "/x");
  // A name that starts with a dot keeps it.
  EXPECT_EQ(ExpandBasePath(".hidden", "/bbs", ""), "/bbs/.hidden");
}

// The current and home directories come through the file layer.
class DirectoryEnv final : public EnvWrapper {
 public:
  DirectoryEnv() : EnvWrapper(Env::Default()) {}
  IoResult CurrentDirectory(std::string* dir) override {
    if (fail) return io::kPathNotFound;
    *dir = "/bbs";
    return io::kOk;
  }
  std::string HomeDirectory() override { return "/home/x"; }
  bool fail = false;
};

TEST(SquishPath, DirectoriesComeFromTheEnv) {
  DirectoryEnv env;
  EXPECT_EQ(ExpandBasePath(&env, "msgs/general.sqd"), "/bbs/msgs/general");
  EXPECT_EQ(ExpandBasePath(&env, "~/msgs/a"), "/home/x/msgs/a");
  // Without a current directory a relative path starts at the root.
  env.fail = true;
  EXPECT_EQ(ExpandBasePath(&env, "msgs/general"), "/msgs/general");
}

TEST(SquishPath, NeverCutForLength) {
  std::string dir(150, 'd');
  std::string path = "/" + dir + "/" + std::string(120, 'n');
  EXPECT_EQ(ExpandBasePath(path, "/", ""), path);
}

}  // namespace
}  // namespace drayline::squish
