// Whole messages out of a base and into another: every field comes back
// from a store into a base of its own format, links and last-read
// pointers follow the new numbers, a conversion keeps what both formats
// hold and lists the rest, and a sink that is not finished leaves nothing.

#include "drayline/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jam/jam_transfer.h"
#include "squish/squish_transfer.h"
#include "test_util.h"

namespace drayline {
namespace {

uint32_t Bit(AttributeBit b) { return uint32_t{1} << static_cast<unsigned>(b); }

// A message of format with the fields both formats know, its own part
// made from them as a store would.
ExportedMessage Common(BaseFormat format, const std::string& from, const std::string& text) {
  ExportedMessage m;
  m.from = from;
  m.to = "All";
  m.subject = "Hello";
  m.written = {2001, 6, 15, 14, 30, 0};
  m.processed = {2001, 6, 15, 14, 30, 8};
  m.attributes = Bit(AttributeBit::kLocal) | Bit(AttributeBit::kPrivate);
  m.orig = {2, 250, 1, 0};
  m.dest = {2, 250, 7, 3};
  m.text = text;
  if (format == BaseFormat::kJam) {
    jam::FillJamPart(&m);
  } else {
    squish::FillSquishPart(&m);
  }
  return m;
}

// Variations of a message that a base of its own format keeps exactly.
struct Shape {
  const char* name;
  void (*apply)(ExportedMessage*);
};

const Shape kShapes[] = {
    {"plain", [](ExportedMessage*) {}},
    {"empty text", [](ExportedMessage* m) { m->text.clear(); }},
    {"high and control bytes", [](ExportedMessage* m) { m->text = "caf\xe9\x01\x7f\xff\r\n"; }},
    {"long text", [](ExportedMessage* m) { m->text = std::string(20000, 'x') + "\r"; }},
    {"every flag", [](ExportedMessage* m) {
       m->attributes = 0xFFF & ~(m->format == BaseFormat::kJam ? Bit(AttributeBit::kIsReceipt) : 0);
       if (m->format == BaseFormat::kJam) {
         jam::FillJamPart(m);
       } else {
         squish::FillSquishPart(m);
       }
     }},
    {"own fields", [](ExportedMessage* m) {
       if (m->format == BaseFormat::kJam) {
         JamPart& p = m->jam;
         p.times_read = 7, p.msgid_crc = 0x1234, p.reply_crc = 0x5678, p.date_received = 1000;
         p.attribute |= 0x00800000 | 0x40000000, p.attribute2 = 9, p.password_crc = 3, p.cost = 70000;
         p.revision = 2, p.reserved_word = 5;
         p.subfields.push_back({4, 0, "2:250/1 12345678"});
         p.subfields.push_back({2000, 7, "ODD: kludge"});
         p.subfields.push_back({8, 0, std::string("\0\1\2", 3)});
       } else {
         SquishPart& p = m->squish;
         p.attributes |= 0x10000 | 0x80000000;
         p.utc_offset = 120, p.message_uid = 0, p.ftsc_date = "15 Jun 01  14:30:01";
         p.control = "\x01MSGID: 2:250/1 1\x01PID: x 1.0\x01" "CHRS: CP866 2";
       }
     }},
};

class TransferTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  BaseFormat format() const { return GetParam(); }
  std::string Path(const std::string& name) const { return dir_ / name; }

  void StoreAll(const std::string& path, const std::vector<ExportedMessage>& messages,
                const std::vector<LastReadValue>& last_reads = {}) {
    Status s;
    std::unique_ptr<MessageSink> sink = MessageSink::Open(path, format(), {}, &s);
    ASSERT_TRUE(sink) << s.text();
    for (const ExportedMessage& m : messages) ASSERT_TRUE(sink->Store(m).ok());
    if (!last_reads.empty()) {
      ASSERT_TRUE(sink->SetLastReads(last_reads).ok());
    }
    ASSERT_TRUE(sink->Finish().ok());
  }

  std::vector<ExportedMessage> ReadAll(const std::string& path) {
    Status s;
    std::unique_ptr<MessageSource> source = MessageSource::Open(path, &s);
    EXPECT_TRUE(source) << s.text();
    std::vector<ExportedMessage> out;
    if (!source) return out;
    ExportedMessage m;
    while (source->Next(&m)) out.push_back(m);
    EXPECT_TRUE(source->status().ok()) << source->status().text();
    return out;
  }

  // Every message of src into a new base dst through a number map, as
  // import does.
  void Copy(const std::string& src, const std::string& dst, BaseFormat to) {
    Status s;
    std::unique_ptr<MessageSource> source = MessageSource::Open(src, &s);
    ASSERT_TRUE(source);
    std::vector<int32_t> numbers;
    ASSERT_TRUE(source->Numbers(&numbers).ok());
    std::unique_ptr<MessageSink> sink = MessageSink::Open(dst, to, source->settings(), &s);
    ASSERT_TRUE(sink);
    const NumberMap map(numbers, sink->NextNumber());
    ExportedMessage m;
    std::vector<std::string> losses;
    while (source->Next(&m)) {
      ExportedMessage c = ConvertMessage(m, to, &losses);
      map.MapLinks(&c);
      ASSERT_TRUE(sink->Store(c).ok());
    }
    std::vector<LastReadValue> pointers, converted;
    ASSERT_TRUE(source->LastReads(&pointers).ok());
    for (const LastReadValue& v : pointers) {
      LastReadValue out;
      ASSERT_TRUE(ConvertLastRead(v, to, &out));
      out.last_read = map.Pointer(out.last_read);
      out.high_read = map.Pointer(out.high_read);
      converted.push_back(out);
    }
    if (!converted.empty()) {
      ASSERT_TRUE(sink->SetLastReads(converted).ok());
    }
    ASSERT_TRUE(sink->Finish().ok());
  }

  TempDir dir_;
};

TEST_P(TransferTest, EveryFieldComesBackFromABaseOfItsOwnFormat) {
  std::vector<ExportedMessage> in;
  for (const Shape& shape : kShapes) {
    ExportedMessage m = Common(format(), "Sysop", "Test\r");
    shape.apply(&m);
    in.push_back(m);
  }
  StoreAll(Path("a"), in);
  Copy(Path("a"), Path("b"), format());
  for (const std::string& base : {Path("a"), Path("b")}) {
    const std::vector<ExportedMessage> out = ReadAll(base);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
      ExportedMessage want = in[i];
      want.number = out[i].number;
      if (want.format == BaseFormat::kJam) want.jam.attribute &= ~0x80000000u;
      EXPECT_EQ(out[i], want) << kShapes[i].name << " in " << base;
      EXPECT_EQ(out[i].number, out[0].number + static_cast<int32_t>(i));
    }
  }
}

TEST_P(TransferTest, LinksAndLastReadPointersFollowTheNewNumbers) {
  // The copy lands behind two messages of its own, so every number moves.
  StoreAll(Path("b"), {Common(format(), "Old", "1\r"), Common(format(), "Old", "2\r")});
  std::vector<ExportedMessage> in(3, Common(format(), "Sysop", "Thread\r"));
  in[0].reply_first = in[0].replies[0] = 2;
  in[1].reply_to = 1;
  in[1].reply_next = format() == BaseFormat::kJam ? 3 : 0;
  in[2].reply_to = 1;
  in[2].reply_first = in[2].replies[0] = 99;  // no such message: dropped
  StoreAll(Path("a"), in, {{5, 5, 1, 2}, {9, 9, 3, 3}});
  Copy(Path("a"), Path("b"), format());

  const std::vector<ExportedMessage> out = ReadAll(Path("b"));
  ASSERT_EQ(out.size(), 5u);
  const int32_t first = out[2].number;
  EXPECT_EQ(out[2].reply_first, first + 1);
  EXPECT_EQ(out[3].reply_to, first);
  EXPECT_EQ(out[3].reply_next, format() == BaseFormat::kJam ? first + 2 : 0);
  EXPECT_EQ(out[4].reply_first, 0);
  Status s;
  std::vector<LastReadValue> pointers;
  ASSERT_TRUE(MessageSource::Open(Path("b"), &s)->LastReads(&pointers).ok());
  ASSERT_EQ(pointers.size(), 2u);
  EXPECT_EQ(pointers[0].user, 5u);
  EXPECT_EQ(pointers[0].high_read, first + 1);
  EXPECT_EQ(pointers[0].last_read, format() == BaseFormat::kJam ? first : first + 1);
  EXPECT_EQ(pointers[1].high_read, first + 2);
}

TEST_P(TransferTest, ASinkNotFinishedLeavesTheBaseAsItWas) {
  StoreAll(Path("a"), {Common(format(), "Old", "1\r")});
  {
    Status s;
    std::unique_ptr<MessageSink> sink = MessageSink::Open(Path("a"), format(), {}, &s);
    ASSERT_TRUE(sink);
    ASSERT_TRUE(sink->Store(Common(format(), "New", "2\r")).ok());
    ExportedMessage other = Common(format() == BaseFormat::kJam ? BaseFormat::kSquish
                                                                : BaseFormat::kJam,
                                   "Wrong", "3\r");
    EXPECT_FALSE(sink->Store(other).ok());
  }
  const std::vector<ExportedMessage> out = ReadAll(Path("a"));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].from, "Old");
}

TEST_P(TransferTest, AConversionThereAndBackKeepsWhatBothFormatsHold) {
  const BaseFormat other = format() == BaseFormat::kJam ? BaseFormat::kSquish : BaseFormat::kJam;
  ExportedMessage m = Common(format(), "Sysop", "caf\xe9\r");
  if (format() == BaseFormat::kJam) {
    m.jam.subfields.push_back({4, 0, "2:250/1 12345678"});
    m.jam.subfields.push_back({2000, 0, "ODD: kludge"});
    m.jam.subfields.push_back({2004, 0, "0200"});
  } else {
    m.squish.control = "\x01MSGID: 2:250/1 1\x01PID: x 1.0\x01ODD: kludge";
  }
  std::vector<std::string> losses;
  const ExportedMessage there = ConvertMessage(m, other, &losses);
  EXPECT_TRUE(losses.empty()) << losses.front();
  const ExportedMessage back = ConvertMessage(there, format(), &losses);
  EXPECT_TRUE(losses.empty()) << losses.front();
  EXPECT_EQ(there.format, other);
  EXPECT_EQ(back, m);
}

TEST_P(TransferTest, AHeaderThatIsNotItsMessageEndsTheWalkAsDamage) {
  StoreAll(Path("a"), {Common(format(), "One", "1\r"), Common(format(), "Two", "2\r")});
  // The second index record is made to point at the first message.
  const std::string index = Path(format() == BaseFormat::kJam ? "a.jdx" : "a.sqi");
  std::vector<uint8_t> bytes = ReadFileBytes(index);
  const size_t size = format() == BaseFormat::kJam ? 8 : 12;
  const size_t offset = format() == BaseFormat::kJam ? 4 : 0;
  std::copy_n(bytes.begin() + offset, 4, bytes.begin() + size + offset);
  if (format() == BaseFormat::kSquish) bytes[size + 4] = 9;  // and give it another number
  WriteFileBytes(index, bytes);
  Status s;
  std::unique_ptr<MessageSource> source = MessageSource::Open(Path("a"), &s);
  ASSERT_TRUE(source);
  ExportedMessage m;
  EXPECT_TRUE(source->Next(&m));
  if (format() == BaseFormat::kJam) {
    EXPECT_FALSE(source->Next(&m));
    EXPECT_EQ(source->status().code(), StatusCode::kDamaged) << source->status().text();
  } else {
    // A Squish frame does not name its message: the walk reads it again.
    ASSERT_TRUE(source->Next(&m));
    EXPECT_EQ(m.number, 9);
    EXPECT_EQ(m.from, "One");
  }
}

INSTANTIATE_TEST_SUITE_P(BothFormats, TransferTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         [](const auto& info) {
                           return info.param == BaseFormat::kJam ? "Jam" : "Squish";
                         });

// What the other format cannot hold, one change at a time.
struct LossCase {
  BaseFormat from;
  const char* name;
  void (*apply)(ExportedMessage*);
  const char* loss;  // a part of the one line expected
};

const LossCase kLosses[] = {
    {BaseFormat::kJam, "long sender", [](ExportedMessage* m) {
       m->from = std::string(40, 'a');
       jam::FillJamPart(m);
     }, "sender is cut to 34 characters (of 40)"},
    {BaseFormat::kJam, "long subject", [](ExportedMessage* m) {
       m->subject = std::string(72, 's');
       jam::FillJamPart(m);
     }, "subject is cut to 71"},
    {BaseFormat::kJam, "trace subfield", [](ExportedMessage* m) { m->jam.subfields.push_back({8, 0, "x"}); },
     "subfield 8 (1 bytes)"},
    {BaseFormat::kJam, "times read", [](ExportedMessage* m) { m->jam.times_read = 3; }, "TimesRead 3"},
    {BaseFormat::kJam, "cost", [](ExportedMessage* m) { m->jam.cost = 5; }, "cost 5"},
    {BaseFormat::kJam, "date received", [](ExportedMessage* m) { m->jam.date_received = 1; }, "date received"},
    {BaseFormat::kJam, "next reply", [](ExportedMessage* m) { m->reply_next = 4; }, "next-reply link 4"},
    {BaseFormat::kJam, "odd second", [](ExportedMessage* m) { m->written.second = 1; }, "date written"},
    {BaseFormat::kJam, "unknown bit", [](ExportedMessage* m) { m->jam.attribute |= 0x40000000; },
     "attribute bits 0x40000000"},
    {BaseFormat::kJam, "NUL in text", [](ExportedMessage* m) { m->text = std::string("ab\0cd", 5); },
     "after its NUL byte at 2"},
    {BaseFormat::kJam, "huge text", [](ExportedMessage* m) { m->text = std::string(16000, 'x'); },
     "text beyond 15999 bytes"},
    {BaseFormat::kSquish, "is receipt", [](ExportedMessage* m) {
       m->attributes |= Bit(AttributeBit::kIsReceipt);
       squish::FillSquishPart(m);
     }, "is-receipt"},
    {BaseFormat::kSquish, "third reply", [](ExportedMessage* m) { m->replies[2] = 8; }, "reply 3 (8)"},
    {BaseFormat::kSquish, "utc offset", [](ExportedMessage* m) { m->squish.utc_offset = 60; }, "UTC offset 60"},
    {BaseFormat::kSquish, "not echoed", [](ExportedMessage* m) { m->squish.attributes |= 0x10000; },
     "not-yet-echoed"},
    {BaseFormat::kSquish, "own date text", [](ExportedMessage* m) { m->squish.ftsc_date = "yesterday"; },
     "FTS date text"},
};

TEST(ConversionLossTest, EachFieldTheOtherFormatLacksIsListed) {
  for (const LossCase& c : kLosses) {
    ExportedMessage m = Common(c.from, "Sysop", "Test\r");
    c.apply(&m);
    const BaseFormat to = c.from == BaseFormat::kJam ? BaseFormat::kSquish : BaseFormat::kJam;
    std::vector<std::string> losses;
    ConvertMessage(m, to, &losses);
    ASSERT_EQ(losses.size(), 1u) << c.name;
    EXPECT_NE(losses[0].find(c.loss), std::string::npos) << c.name << ": " << losses[0];
  }
}

TEST(ConversionLossTest, SquishLastReadRecordsStopAtAMillionUsers) {
  const struct {
    uint32_t user;
    bool held;
  } kCases[] = {{0, false}, {1, true}, {1000000, true}, {1000001, false}, {4000000000u, false}};
  for (const auto& c : kCases) {
    LastReadValue out;
    EXPECT_EQ(ConvertLastRead({c.user, 77, 3, 4}, BaseFormat::kSquish, &out), c.held) << c.user;
    EXPECT_TRUE(ConvertLastRead({c.user, 77, 3, 4}, BaseFormat::kJam, &out)) << c.user;
  }
  LastReadValue out;
  ASSERT_TRUE(ConvertLastRead({12, 77, 3, 4}, BaseFormat::kSquish, &out));
  EXPECT_EQ(out, (LastReadValue{12, 12, 4, 4}));
}

TEST(NumberMapTest, LinksNeedTheSameNumberPointersTheHighestAtOrBelow) {
  const NumberMap map({3, 7, 8, 20}, 100);
  const struct {
    int32_t old, link, pointer;
  } kCases[] = {{0, 0, 0}, {2, 0, 0}, {3, 100, 100}, {5, 0, 100},
                {8, 102, 102}, {19, 0, 102}, {20, 103, 103}, {500, 0, 103}};
  for (const auto& c : kCases) {
    EXPECT_EQ(map.Link(c.old), c.link) << c.old;
    EXPECT_EQ(map.Pointer(c.old), c.pointer) << c.old;
  }
}

}  // namespace
}  // namespace drayline
