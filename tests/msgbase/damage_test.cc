// Damaged bases through the interface, for each storage engine: reads
// report damage instead of a made-up header, and changes are refused over
// counters at the ends of their range or files that end short of the last
// message, leaving the files as they were.

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jam/jam_format.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;
struct Damage {
  const char* name;
  std::function<void()> apply;
  bool deletes = false;  // a deletion may still go through
};

class DamageTest : public testing::TestWithParam<BaseFormat> {
 protected:
  void SetUp() override {
    auto base = Open(true);
    for (const char* to : {"Ann", "Bob", "Cid"}) ASSERT_EQ(Post(*base), 0) << to;
    last_ = DecodeFixed32(&Read(index_)[Read(index_).size() - (jam_ ? 4 : 12)]);
  }
  std::unique_ptr<MessageBase> Open(bool create = false) const {
    std::unique_ptr<MessageBase> base = NewMessageBase(GetParam());
    base->SetPath(path_);
    EXPECT_TRUE((!create || base->CreateBase(0, 0)) && base->OpenBase());
    return base;
  }
  static uint16_t Post(MessageBase& base) {
    base.StartNewMessage();
    base.SetTo("Ann");
    base.AddTextLine("Hello.");
    return base.WriteMessage();
  }
  static Bytes Read(const std::string& f) { return ReadFileBytes(f); }
  void Patch32(const std::string& f, size_t at, uint32_t value) const {
    Bytes bytes = Read(f);
    EncodeFixed32(&bytes[at], value);
    WriteFileBytes(f, bytes);
  }
  void Cut(const std::string& f, size_t by) const {
    Bytes bytes = Read(f);
    bytes.resize(bytes.size() - by);
    WriteFileBytes(f, bytes);
  }
  // Applies each damage to the sound base, runs check, and restores it.
  void ForEach(const std::vector<Damage>& damages,
               const std::function<void(const Damage&)>& check) {
    const Bytes header = Read(header_), index = Read(index_), text = Read(text_);
    for (const Damage& d : damages) {
      d.apply();
      check(d);
      WriteFileBytes(header_, header);
      WriteFileBytes(index_, index);
      WriteFileBytes(text_, text);
    }
  }

  TempDir dir_;
  const std::string path_ = dir_ / "base";
  const bool jam_ = GetParam() == BaseFormat::kJam;
  const std::string header_ = path_ + (jam_ ? ".jhr" : ".sqd");
  const std::string index_ = path_ + (jam_ ? ".jdx" : ".sqi");
  const std::string text_ = path_ + (jam_ ? ".jdt" : ".sqd");
  uint32_t last_ = 0;  // where the last header (JAM) or frame (Squish) starts
};

TEST_P(DamageTest, ReadsReportDamageAndNoMadeUpHeader) {
  const size_t pointer = Read(index_).size() - (jam_ ? 4 : 12);
  ForEach({{"points past the end", [&] { Patch32(index_, pointer, 0x7FFFFF00); }},
           {"no signature or frame id", [&] { Patch32(header_, last_, 0x12345678); }},
           {"file ends where it starts", [&] { Cut(header_, Read(header_).size() - last_); }}},
          [&](const Damage& d) {
            const char* name = d.name;
            auto base = Open();
            int read = 0;
            for (base->SeekFirst(1); base->SeekFound(); base->SeekNext()) {
              base->ReadHeader();
              if (!base->LastStatus().ok()) break;
              ++read;
            }
            EXPECT_EQ(read, 2) << name;
            EXPECT_EQ(base->LastStatus().code(), StatusCode::kDamaged) << name;
          });
}

TEST_P(DamageTest, ChangesAreRefusedOverValuesThatWouldWrapOrCrossLink) {
  using namespace squish;
  const size_t jam_num = jam::kBhBaseMsgNum;
  const std::vector<Damage> damages =
      jam_ ? std::vector<Damage>{
                 {"BaseMsgNum plus the count past 2^31",
                  [&] { Patch32(header_, jam_num, INT32_MAX - 2); }},
                 {"BaseMsgNum negative", [&] { Patch32(header_, jam_num, 0xFFFFFFFFu); }},
                 {"header file short of the last header", [&] { Cut(header_, 3); }},
                 {"text file short of the last text", [&] { Cut(text_, 3); }}}
           : std::vector<Damage>{
                 {"NextUid at the top", [&] { Patch32(header_, kBhNextUid, INT32_MAX); }},
                 {"NextUid negative", [&] { Patch32(header_, kBhNextUid, 0x80000000u); }},
                 {"HighMessage at the top", [&] { Patch32(header_, kBhHighMessage, INT32_MAX); }},
                 {"HighMessage at the bottom",
                  [&] { Patch32(header_, kBhHighMessage, 0x80000000u); }},
                 {"EndFrame inside the last frame",
                  [&] { Patch32(header_, kBhEndFrame, uint32_t(Read(header_).size() - 3)); },
                  true}};
  ForEach(damages, [&](const Damage& d) {
    const char* name = d.name;
    const Bytes header = Read(header_), index = Read(index_), text = Read(text_);
    auto base = Open();
    base->GetHighMsgNum();
    EXPECT_NE(Post(*base), 0) << name;
    EXPECT_FALSE(base->LastStatus().ok()) << name;
    if (!jam_ && !d.deletes) {  // a Squish base keeps its last failure: a fresh one deletes
      base = Open();
      base->SeekFirst(1);
      base->ReadHeader();
      base->DeleteMessage();
      EXPECT_FALSE(base->LastStatus().ok()) << name;
    }
    base.reset();
    EXPECT_TRUE(Read(header_) == header && Read(index_) == index && Read(text_) == text) << name;
  });
  EXPECT_EQ(Post(*Open()), 0);  // restored, the base takes a message
}

INSTANTIATE_TEST_SUITE_P(BothFormats, DamageTest,
                         testing::Values(BaseFormat::kJam, BaseFormat::kSquish));

}  // namespace
}  // namespace drayline
