// Pack, purge and link on bases of both formats built here: kept messages
// read back as they were, last-read pointers and reply links go where they
// must, the base is sound afterwards, and a dry run or a damaged base
// changes nothing. Runs are cut into tiny steps so that every step
// boundary is crossed.

#include "drayline/maintenance.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "drayline/check.h"
#include "drayline/message.h"
#include "jam/jam_test_files.h"
#include "msgbase/check_internal.h"
#include "msgbase/maintenance_internal.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using Messages = std::map<int32_t, Message>;

const StepLimits kTiny{1, 1};
const StepLimits kSmall{300, 3};

Message Compose(int i) {
  Message m;
  m.from = "Sysop";
  m.to = "User " + std::to_string(i);
  m.subject = "Subject " + std::to_string(i);
  m.written = {2026, 3, uint16_t(i), 12, 0, 0};
  m.processed = {2026, 3, uint16_t(10 + i), 8, 30, 0};
  m.text = std::string(size_t(17 * i), char('a' + i)) + "\r";
  m.Set(AttributeBit::kReceived, i % 2 == 1);
  return m;
}

// A message without what a pack may change: its number and links.
Message Unlinked(Message m) {
  m.number = m.reply_to = m.reply_first = m.reply_next = 0;
  m.replies = {};
  return m;
}

bool Same(const Message& a, const Message& b) {
  const Message x = Unlinked(a), y = Unlinked(b);
  return x.from == y.from && x.to == y.to && x.subject == y.subject && x.written == y.written &&
         x.processed == y.processed && x.attributes == y.attributes && x.text == y.text;
}

class MaintenanceTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  bool jam() const { return GetParam() == BaseFormat::kJam; }

  std::unique_ptr<Base> Open() {
    Status s;
    auto base = Base::OpenOrCreate(path_, GetParam(), &s);
    EXPECT_TRUE(s.ok()) << s.text();
    return base;
  }

  // Messages 1..n, each composed by Compose.
  void Fill(int n) {
    auto base = Open();
    for (int i = 1; i <= n; ++i) ASSERT_TRUE(base->Store(Compose(i)).ok());
  }

  Messages ReadAll() {
    Messages out;
    auto base = Open();
    Message m;
    for (auto it = base->Messages(); it.Next(&m);) out[m.number] = m;
    return out;
  }

  uint64_t Bytes() const {
    uint64_t total = 0;
    for (const char* ext : {".jhr", ".jdt", ".jdx", ".sqd", ".sqi"}) {
      if (PathExists(path_ + ext)) total += uint64_t(FileSizeOf(path_ + ext));
    }
    return total;
  }

  void ExpectSound() {
    const CheckReport r = CheckBase(Env::Default(), path_);
    EXPECT_TRUE(r.sound()) << r.status.text()
                           << (r.problems.empty() ? "" : ": " + r.problems[0].problem);
  }

  TempDir dir_;
  std::string path_ = dir_ / "base";
};

std::string FormatName(const ::testing::TestParamInfo<BaseFormat>& info) {
  return info.param == BaseFormat::kJam ? "Jam" : "Squish";
}

INSTANTIATE_TEST_SUITE_P(Formats, MaintenanceTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish), FormatName);

// Twelve messages with links, four deleted, five users' pointers.
class PackTest : public MaintenanceTest {
 protected:
  void SetUp() override { Build(); }
  void Build() {
    auto base = Open();
    for (int i = 1; i <= 12; ++i) {
      Message m = Compose(i);
      if (i == 5) m.reply_to = 3;                  // to a removed message
      if (i == 6) m.reply_to = 1;                  // to a kept one
      if (i == 1) m.reply_first = 2;               // a chain through removed ones
      if (i == 2 || i == 7) m.reply_next = i + 2;  // 2 -> 4, 7 -> 9
      if (i == 4) m.reply_next = 7;
      ASSERT_TRUE(base->Store(m).ok());
    }
    for (int32_t n : {2, 3, 7, 12}) ASSERT_TRUE(base->Delete(n).ok());
    for (const auto& [user, number] : kPointers) ASSERT_TRUE(base->SetLastRead(user, number).ok());
    base.reset();
    before_ = ReadAll();
    bytes_ = Bytes();
  }

  int32_t LastRead(int32_t user) {
    int32_t n = -1;
    EXPECT_TRUE(Open()->GetLastRead(user, &n).ok());
    return n;
  }

  static constexpr std::pair<int32_t, int32_t> kPointers[] = {{1, 3}, {2, 7}, {3, 12}, {4, 5},
                                                              {5, 0}};
  Messages before_;
  uint64_t bytes_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Formats, PackTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish), FormatName);

TEST_P(PackTest, KeptMessagesReadBackAndPointersAndLinksFollow) {
  for (const StepLimits& limits : {StepLimits{}, kSmall, kTiny}) {
    SCOPED_TRACE(limits.bytes);
    TempDir dir;
    path_ = dir / "base";
    Build();
    const MaintenanceReport r = PackBase(Env::Default(), path_, {}, limits);
    ASSERT_TRUE(r.status.ok()) << r.status.text();
    ExpectSound();
    const Messages after = ReadAll();
    ASSERT_EQ(after.size(), before_.size());
    for (const auto& [number, m] : before_) {
      ASSERT_TRUE(after.count(number)) << number;
      EXPECT_TRUE(Same(after.at(number), m)) << number;
    }
    EXPECT_EQ(r.kept, 8);
    EXPECT_LT(Bytes(), bytes_);
    EXPECT_EQ(r.bytes_reclaimed, bytes_ - Bytes());
    // Removed: 3 -> 1, 7 -> 6, 12 -> 11; kept and none stay.
    const int32_t want[] = {1, 6, 11, 5, 0};
    for (const auto& [user, number] : kPointers) EXPECT_EQ(LastRead(user), want[user - 1]);
    EXPECT_EQ(after.at(5).reply_to, 0);
    EXPECT_EQ(after.at(6).reply_to, 1);
    if (jam()) {
      EXPECT_EQ(r.removed, 4);
      EXPECT_EQ(after.at(1).reply_first, 4);  // 2 skipped
      EXPECT_EQ(after.at(4).reply_next, 9);   // 7 skipped
    } else {
      EXPECT_EQ(after.at(1).reply_first, 0);
    }
    // A second pack finds nothing to do.
    const MaintenanceReport again = PackBase(Env::Default(), path_, {}, limits);
    EXPECT_EQ(again.bytes_reclaimed, 0u);
    EXPECT_EQ(ReadAll().size(), 8u);
  }
}

TEST_P(PackTest, AReaderKeptOpenReadsTheMovedMessagesAfterAPack) {
  // A program holds the base open and has read messages (so that its
  // windows hold index records, headers and texts) while another packs.
  auto reader = Open();
  Message m;
  for (int32_t n : {11, 8}) ASSERT_TRUE(reader->Read(n, &m).ok());
  ASSERT_TRUE(PackBase(Env::Default(), path_, {}, {}).status.ok());
  for (const auto& [number, before] : before_) {
    const Status s = reader->Read(number, &m);
    ASSERT_TRUE(s.ok()) << number << ": " << s.text();
    EXPECT_TRUE(Same(m, before)) << number;
  }
}

TEST_P(PackTest, RenumberNumbersTheKeptMessagesFromOne) {
  PackOptions options;
  options.renumber = true;
  const MaintenanceReport r = PackBase(Env::Default(), path_, options, kSmall);
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  ExpectSound();
  const Messages after = ReadAll();
  if (!jam()) {  // Uids never change
    EXPECT_EQ(r.renumbered, 0);
    EXPECT_EQ(after.size(), 8u);
    EXPECT_TRUE(after.count(11));
    return;
  }
  // Kept 1 4 5 6 8 9 10 11 become 1..8.
  const int32_t old_of[] = {0, 1, 4, 5, 6, 8, 9, 10, 11};
  ASSERT_EQ(after.size(), 8u);
  for (int32_t n = 1; n <= 8; ++n) EXPECT_TRUE(Same(after.at(n), before_.at(old_of[n]))) << n;
  EXPECT_EQ(r.renumbered, 7);
  const int32_t want[] = {1, 4, 8, 3, 0};
  for (const auto& [user, number] : kPointers) EXPECT_EQ(LastRead(user), want[user - 1]);
  EXPECT_EQ(after.at(4).reply_to, 1);    // old 6 -> old 1
  EXPECT_EQ(after.at(1).reply_first, 2); // old 4
  EXPECT_EQ(after.at(2).reply_next, 6);  // old 4 -> old 9
  const int32_t next = ReadAll().rbegin()->first;
  ASSERT_TRUE(Open()->Store(Compose(13)).ok());
  EXPECT_EQ(ReadAll().rbegin()->first, next + 1);
}

TEST_P(PackTest, DryRunAndDamagedBaseChangeNothing) {
  const std::vector<std::string> exts = jam() ? std::vector<std::string>{".jhr", ".jdt", ".jdx", ".jlr"}
                                              : std::vector<std::string>{".sqd", ".sqi", ".sql"};
  std::map<std::string, std::vector<uint8_t>> files;
  for (const std::string& e : exts) files[e] = ReadFileBytes(path_ + e);
  PackOptions dry;
  dry.dry_run = true;
  const MaintenanceReport r = PackBase(path_, dry);
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_EQ(r.kept, 8);
  EXPECT_GT(r.bytes_reclaimed, 0u);
  PurgeOptions purge;
  purge.dry_run = true;
  purge.max_msgs = 2;
  EXPECT_EQ(PurgeBase(path_, purge).purged, 6);
  LinkOptions link;
  link.dry_run = true;
  EXPECT_TRUE(LinkBase(path_, link).status.ok());
  for (const std::string& e : exts) EXPECT_EQ(ReadFileBytes(path_ + e), files[e]) << e;

  // A damaged base: an index that points past the header file.
  std::vector<uint8_t> index = files[jam() ? ".jdx" : ".sqi"];
  EncodeFixed32(index.data() + (jam() ? 4 : 0), 0x7FFFFF00);
  WriteFileBytes(path_ + (jam() ? ".jdx" : ".sqi"), index);
  for (const MaintenanceReport& refused :
       {PackBase(path_, {}), PurgeBase(path_, purge), LinkBase(path_, {})}) {
    EXPECT_EQ(refused.status.code(), StatusCode::kDamaged);
    EXPECT_NE(refused.status.text().find("draybase repair"), std::string::npos);
  }
  files[jam() ? ".jdx" : ".sqi"] = index;
  for (const std::string& e : exts) EXPECT_EQ(ReadFileBytes(path_ + e), files[e]) << e;
}

// The bits a JAM pack keeps for its numbers answer as the list does,
// across words, with and without renumbering.
TEST(KeptNumbersTest, BitsAnswerAsTheList) {
  constexpr uint32_t kFirst = 5, kLast = 700;
  std::vector<uint32_t> list;
  std::vector<uint64_t> bits((kLast - kFirst + 64) / 64, 0);
  for (uint32_t n = kFirst; n <= kLast; ++n) {
    if ((n * 7) % 11 == 0 || n % 64 == 3 || (n > 200 && n < 330)) continue;
    list.push_back(n);
    bits[(n - kFirst) / 64] |= uint64_t{1} << ((n - kFirst) % 64);
  }
  for (bool renumber : {false, true}) {
    SCOPED_TRACE(renumber);
    KeptNumbers from_list(list, {}, renumber, kFirst);
    KeptNumbers from_bits(kFirst, bits, renumber, kFirst);
    for (KeptNumbers* map : {&from_list, &from_bits}) map->RemoveRange(kFirst, kLast);
    EXPECT_EQ(from_bits.kept_count(), list.size());
    EXPECT_EQ(from_bits.Renumbered(), from_list.Renumbered());
    for (uint32_t n = 0; n <= kLast + 20; ++n) {
      ASSERT_EQ(from_bits.Kept(n), from_list.Kept(n)) << n;
      ASSERT_EQ(from_bits.Removed(n), from_list.Removed(n)) << n;
      ASSERT_EQ(from_bits.Pointer(n), from_list.Pointer(n)) << n;
      ASSERT_EQ(from_bits.Link(n), from_list.Link(n)) << n;
      if (from_list.Kept(n)) {
        ASSERT_EQ(from_bits.New(n), from_list.New(n)) << n;
      }
    }
  }
}

// ---- Purge ----

TEST(SelectPurgedTest, LimitsProtectionAndUnreceived) {
  // Five messages stored 50, 40, 30, 20 and 10 days before day 100; the
  // even ones received.
  std::vector<PurgeCandidate> c;
  for (uint32_t i = 1; i <= 5; ++i) c.push_back({i, 100 - 60 + 10 * int64_t(i), i % 2 == 0});
  struct Case {
    uint32_t age, msgs;
    bool keep_unreceived;
    size_t protect;
    std::vector<uint32_t> purged;
  } cases[] = {
      {0, 0, false, 0, {}},
      {30, 0, false, 0, {1, 2}},        // 30 days old is not more than 30
      {0, 2, false, 0, {1, 2, 3}},
      {30, 1, false, 0, {1, 2, 3, 4}},
      {0, 1, true, 0, {2, 4}},          // only received ones go
      {45, 1, false, 2, {3, 4, 5}},     // the two oldest are protected
      {0, 9, false, 0, {}},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(SelectPurged(c, 100, k.age, k.msgs, k.keep_unreceived, k.protect), k.purged)
        << k.age << " " << k.msgs;
  }
  EXPECT_EQ(DayNumber(1970, 1, 1), 0);
  EXPECT_EQ(DayNumber(2026, 3, 1) - DayNumber(2026, 2, 28), 1);
  EXPECT_EQ(DayNumber(2024, 3, 1) - DayNumber(2024, 2, 28), 2);
}

TEST_P(MaintenanceTest, PurgeByStoredDateAndCountThenPack) {
  struct Case {
    std::optional<uint32_t> age, msgs;
    bool keep_unreceived;
    std::vector<int32_t> left;
  } cases[] = {
      // Stored March 11 .. 18; now is March 25.
      {12, {}, false, {3, 4, 5, 6, 7, 8}},
      {{}, 3, false, {6, 7, 8}},
      {12, 2, false, {7, 8}},
      {{}, 3, true, {2, 4, 6, 8}},  // the unreceived (even) ones stay
      {{}, {}, false, {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  ClockEnv clock(DateTimeRecord{2026, 3, 25, 9, 0, 0});
  for (const Case& k : cases) {
    TempDir dir;
    path_ = dir / "base";
    Fill(8);
    const Messages before = ReadAll();
    ASSERT_TRUE(Open()->SetLastRead(1, 2).ok());
    PurgeOptions options;
    options.max_age_days = k.age;
    options.max_msgs = k.msgs;
    options.keep_unreceived = k.keep_unreceived;
    options.use_base_limits = false;
    const MaintenanceReport r = PurgeBase(&clock, path_, options, kSmall);
    ASSERT_TRUE(r.status.ok()) << r.status.text();
    ExpectSound();
    std::vector<int32_t> left;
    for (const auto& [n, m] : ReadAll()) {
      left.push_back(n);
      EXPECT_TRUE(Same(m, before.at(n)));
    }
    EXPECT_EQ(left, k.left);
    EXPECT_EQ(r.purged, int64_t(8 - k.left.size()));
    int32_t pointer = -1;
    ASSERT_TRUE(Open()->GetLastRead(1, &pointer).ok());
    EXPECT_EQ(pointer, k.left[0] <= 2 ? 2 : 0);
  }
}

// ---- Link ----

struct LinkSpec {
  std::string subject, msgid, reply;
};

// 1 Hello; 2 and 6 reply to 1 by MSGID; 4 to 2 by subject; 5 names an
// unknown MSGID and so replies to nothing; 3 stands alone.
const LinkSpec kThread[] = {
    {"Hello", "1:1/1 0001", ""},     {"Re: Hello", "1:1/2 0002", "1:1/1 0001"},
    {"Other", "", ""},               {"RE: re: hello", "", ""},
    {"Re: Other", "", "1:1/9 0009"}, {"Re: Hello", "", "1:1/1 0001"},
};

class LinkTest : public MaintenanceTest {
 protected:
  // Stores the messages; JAM keeps MSGID and REPLY as subfields 4 and 5,
  // Squish as control lines ahead of the text.
  void Build(const std::vector<LinkSpec>& setups) {
    if (jam()) {
      jamtest::JamFiles files;
      for (const LinkSpec& s : setups) {
        jamtest::TestMessage m;
        m.subject = s.subject;
        if (!s.msgid.empty()) m.extra.push_back({4, s.msgid});
        if (!s.reply.empty()) m.extra.push_back({5, s.reply});
        files.Add(m);
      }
      files.Write(path_);
      return;
    }
    std::vector<size_t> control;
    {
      auto base = Open();
      for (const LinkSpec& s : setups) {
        Message m = Compose(1);
        m.subject = s.subject;
        std::string kludges;
        if (!s.msgid.empty()) kludges += "\x01MSGID: " + s.msgid;
        if (!s.reply.empty()) kludges += "\x01REPLY: " + s.reply;
        m.text = kludges + "Body\r";
        control.push_back(kludges.size());
        ASSERT_TRUE(base->Store(m).ok());
      }
    }
    // The leading control lines become the frame's control information.
    std::vector<uint8_t> sqd = ReadFileBytes(path_ + ".sqd");
    const std::vector<uint8_t> sqi = ReadFileBytes(path_ + ".sqi");
    for (size_t k = 0; k < control.size(); ++k) {
      const uint32_t frame = DecodeFixed32(sqi.data() + 12 * k);
      EncodeFixed32(sqd.data() + frame + 20, uint32_t(control[k]));
    }
    WriteFileBytes(path_ + ".sqd", sqd);
  }
};

INSTANTIATE_TEST_SUITE_P(Formats, LinkTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish), FormatName);

TEST_P(LinkTest, RepliesByMsgidOrSubject) {
  Build({std::begin(kThread), std::end(kThread)});
  const MaintenanceReport r = LinkBase(Env::Default(), path_, {}, kTiny);
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  ExpectSound();
  EXPECT_EQ(r.relinked, 4);  // 1, 2, 4 and 6
  const Messages m = ReadAll();
  const int32_t reply_to[] = {0, 0, 1, 0, 2, 0, 1};
  for (int32_t n = 1; n <= 6; ++n) EXPECT_EQ(m.at(n).reply_to, reply_to[n]) << n;
  if (jam()) {
    EXPECT_EQ(m.at(1).reply_first, 2);
    EXPECT_EQ(m.at(2).reply_next, 6);
    EXPECT_EQ(m.at(2).reply_first, 4);
    EXPECT_EQ(m.at(6).reply_next, 0);
  } else {
    EXPECT_EQ(m.at(1).replies[0], 2);
    EXPECT_EQ(m.at(1).replies[1], 6);
    EXPECT_EQ(m.at(2).replies[0], 4);
  }
  EXPECT_EQ(LinkBase(path_, {}).relinked, 0);  // nothing left to change
}

TEST_P(LinkTest, SquishKeepsNineReplies) {
  std::vector<LinkSpec> setups = {{"Topic", "2:2/2 0001", ""}};
  for (int i = 0; i < 11; ++i) setups.push_back({"Re: Topic", "", "2:2/2 0001"});
  Build(setups);
  const MaintenanceReport r = LinkBase(Env::Default(), path_, {}, kSmall);
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_EQ(r.links_left_out, jam() ? 0 : 2);
  const Messages m = ReadAll();
  if (jam()) {
    for (int32_t n = 2; n < 12; ++n) EXPECT_EQ(m.at(n).reply_next, n + 1);
  } else {
    for (int32_t k = 0; k < 9; ++k) EXPECT_EQ(m.at(1).replies[size_t(k)], k + 2);
  }
  EXPECT_EQ(m.at(12).reply_to, 1);
}

// ---- Threading rules ----

TEST(ThreadRepliesTest, SubjectsAndIds) {
  EXPECT_EQ(SubjectHash("Re: re: RE: Hello"), SubjectHash("hello"));
  EXPECT_NE(SubjectHash("Re:Hello"), SubjectHash("Hello"));  // no space: not a prefix
  EXPECT_EQ(SubjectHash("Re: "), 0u);
  EXPECT_EQ(ControlValue("\x01PID: x\x01MSGID: 1:2/3 abc\rtext", "MSGID"), "1:2/3 abc");
  EXPECT_EQ(ControlValue("\x01PID: x", "REPLY"), "");
  // A REPLY naming the message's own MSGID links nothing.
  const std::vector<ThreadKey> keys = {{1, 7, 7, 0}, {2, 0, 0, 5}, {3, 0, 0, 5}, {4, 0, 0, 5}};
  EXPECT_EQ(ThreadReplies(keys), (std::vector<uint32_t>{0, 0, 2, 3}));
}

}  // namespace
}  // namespace drayline
