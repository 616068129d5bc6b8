#include "support/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "support/file_access.h"
#include "support/file_set.h"
#include "test_util.h"

namespace drayline {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A journal of a change to "guard" and "data": data was "0123456789",
// grew by "ab", had "23" overwritten and was cut back to 6 bytes; guard's
// first two bytes were "GU".
std::vector<uint8_t> SampleJournal(const std::string& fingerprint = "GUARD") {
  JournalEncoder e;
  e.Head(Bytes(fingerprint));
  e.Name(0, "guard");
  e.Name(1, "data");
  e.Size(1, 10);
  e.Bytes(0, 0, Bytes("GU"));
  e.Bytes(1, 2, Bytes("23"));
  e.Bytes(1, 6, Bytes("6789ab"));
  return {e.data().begin(), e.data().end()};
}

TEST(JournalTest, EveryCutOfTheFileReadsAsAPrefixOfItsRecords) {
  const std::vector<uint8_t> whole = SampleJournal();
  ParsedJournal full;
  ASSERT_TRUE(ParseJournal(whole, &full));
  EXPECT_EQ(full.fingerprint, Bytes("GUARD"));
  EXPECT_EQ(full.names, (std::vector<std::string>{"guard", "data"}));
  ASSERT_EQ(full.steps.size(), 4u);
  EXPECT_EQ(full.steps[3].value, 6u);
  EXPECT_EQ(full.steps[3].bytes, Bytes("6789ab"));
  // A crash may cut the journal anywhere: what is left is either no
  // journal at all (before the head record is whole) or the records
  // written whole, never a torn one.
  size_t last = 0;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    ParsedJournal part;
    const bool ok = ParseJournal(std::span(whole).first(cut), &part);
    if (!ok) {
      EXPECT_LT(cut, kJournalPrefixSize + kJournalRecordHead + 6) << cut;
      continue;
    }
    ASSERT_LE(part.steps.size(), full.steps.size());
    EXPECT_GE(part.steps.size(), last) << cut;
    last = part.steps.size();
    for (size_t i = 0; i < part.steps.size(); ++i) {
      EXPECT_EQ(part.steps[i].bytes, full.steps[i].bytes);
    }
  }
  EXPECT_EQ(last, full.steps.size());
  // A record whose bytes were damaged ends the journal there.
  std::vector<uint8_t> damaged = whole;
  damaged[damaged.size() - 3] ^= 0x40;
  ParsedJournal part;
  ASSERT_TRUE(ParseJournal(damaged, &part));
  EXPECT_EQ(part.steps.size(), 3u);
}

TEST(JournalTest, RecordsThatWouldSteerOutsideTheBaseAreRefused) {
  const struct {
    const char* what;
    void (*add)(JournalEncoder&);
  } cases[] = {
      {"a name with a directory", [](JournalEncoder& e) { e.Name(1, "../etc/data"); }},
      {"a parent directory", [](JournalEncoder& e) { e.Name(1, ".."); }},
      {"an empty name", [](JournalEncoder& e) { e.Name(1, ""); }},
      {"an id out of turn", [](JournalEncoder& e) { e.Name(5, "data"); }},
      {"a file never named", [](JournalEncoder& e) { e.Size(7, 1); }},
      {"a size past 4 GiB", [](JournalEncoder& e) { e.Size(0, kJournalMaxOffset + 1); }},
      {"bytes past 4 GiB",
       [](JournalEncoder& e) { e.Bytes(0, kJournalMaxOffset - 1, Bytes("xy")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JournalEncoder e;
    e.Head(Bytes("GUARD"));
    e.Name(0, "guard");
    c.add(e);
    ParsedJournal parsed;
    EXPECT_FALSE(ParseJournal(e.data(), &parsed));
  }
  ParsedJournal parsed;
  const std::vector<uint8_t> no_magic(40, 'x');
  EXPECT_FALSE(ParseJournal(no_magic, &parsed));
}

// The checksum as the format defines it, a word (little-endian) at a time
// and then the bytes left one by one: what journals already written hold.
uint32_t ChecksumByDefinition(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull ^ bytes.size();
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word = 0;
    for (int k = 7; k >= 0; --k) word = word << 8 | bytes[i + k];
    h = (h ^ word) * 0x100000001b3ull;
  }
  for (; i < bytes.size(); ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

TEST(JournalTest, ChecksumsAndCopiesAgreeWithTheDefinitionWhateverTheParts) {
  std::vector<uint8_t> bytes(9000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 7));
  for (size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 4095, 4096, 4105, 9000}) {
    const std::vector<uint8_t> whole(bytes.begin(), bytes.begin() + length);
    const uint32_t expected = ChecksumByDefinition(whole);
    EXPECT_EQ(JournalChecksum(whole), expected) << length;
    for (size_t step : {1, 3, 8, 11, 4100}) {
      JournalChecksummer sum(length);
      std::vector<uint8_t> copy(length, 0), also(length, 0);
      for (size_t at = 0; at < length; at += step) {
        const size_t n = std::min(step, length - at);
        sum.Feed(whole.data() + at, n, copy.data() + at, step == 3 ? nullptr : also.data() + at);
      }
      EXPECT_EQ(sum.Done(), expected) << length << " in parts of " << step;
      EXPECT_EQ(copy, whole) << length << " in parts of " << step;
      if (step != 3) {
        EXPECT_EQ(also, whole) << length << " in parts of " << step;
      }
    }
  }
  // A record's old bytes, copied for the caller as they are encoded.
  JournalEncoder e;
  e.Head(Bytes("GUARD"));
  e.Name(0, "guard");
  const std::vector<uint8_t> old(bytes.begin() + 5, bytes.begin() + 5000);
  std::vector<uint8_t> kept(old.size(), 0);
  e.Bytes(0, 77, old, kept.data());
  EXPECT_EQ(kept, old);
  ParsedJournal parsed;
  ASSERT_TRUE(ParseJournal(e.data(), &parsed));
  ASSERT_EQ(parsed.steps.size(), 1u);
  EXPECT_EQ(parsed.steps[0].value, 77u);
  EXPECT_EQ(parsed.steps[0].bytes, old);
}

// The files after the change the sample journal records, and the journal.
class RecoveryTest : public testing::Test {
 protected:
  RecoveryTest() {
    WriteFileBytes(dir_ / "guard", Bytes("guARD"));
    WriteFileBytes(dir_ / "data", Bytes("01xy45"));
    EXPECT_EQ(Env::Default()->Open(dir_ / "guard", OpenMode::kReadWrite, &guard_), io::kOk);
  }
  void PutJournal(const std::string& fingerprint) {
    WriteFileBytes(journal_, SampleJournal(fingerprint));
  }
  TempDir dir_;
  std::string journal_ = dir_ / "base.drayjournal";
  std::unique_ptr<File> guard_;
};

TEST_F(RecoveryTest, RollsBackWhileTheFingerprintMatchesElseDropsTheJournal) {
  const struct {
    const char* fingerprint;
    Recovery expected;
    const char* guard;
    const char* data;
  } cases[] = {
      // The guard still holds its old first bytes: the change is undone.
      {"guARD", Recovery::kRolledBack, "GUARD", "0123456789"},
      // The counters moved: the change completed, or another program
      // changed the base since; nothing is applied.
      {"GUARD", Recovery::kStale, "guARD", "01xy45"},
      {"guARDx", Recovery::kStale, "guARD", "01xy45"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fingerprint);
    WriteFileBytes(dir_ / "guard", Bytes("guARD"));
    WriteFileBytes(dir_ / "data", Bytes("01xy45"));
    PutJournal(c.fingerprint);
    Recovery what = Recovery::kNone;
    ASSERT_TRUE(RecoverJournal(Env::Default(), journal_, *guard_, false, &what).ok());
    EXPECT_EQ(what, c.expected);
    EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes(c.guard));
    EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes(c.data));
    EXPECT_FALSE(PathExists(journal_));
  }
  // A journal torn before its head record changed nothing: it goes.
  WriteFileBytes(journal_, Bytes("DRAYJR"));
  Recovery what = Recovery::kNone;
  ASSERT_TRUE(RecoverJournal(Env::Default(), journal_, *guard_, false, &what).ok());
  EXPECT_EQ(what, Recovery::kStale);
  EXPECT_FALSE(PathExists(journal_));
}

TEST_F(RecoveryTest, AReaderSeesTheBaseAsBeforeTheChangeWithoutWriting) {
  PutJournal("guARD");
  JournalOverlayEnv overlay(Env::Default(), journal_, dir_ / "guard");
  ASSERT_TRUE(overlay.active());
  std::unique_ptr<File> data;
  ASSERT_EQ(overlay.Open(dir_ / "data", OpenMode::kReadOnly, &data, nullptr), io::kOk);
  uint64_t size = 0;
  ASSERT_EQ(data->Size(&size), io::kOk);
  EXPECT_EQ(size, 10u);
  // Whole and in pieces that cross the ranges the journal holds.
  for (const auto& [offset, length, expected] :
       {std::tuple{0, 12, "0123456789"}, {1, 3, "123"}, {5, 3, "567"}, {9, 4, "9"},
        {10, 2, ""}}) {
    std::vector<uint8_t> buf(static_cast<size_t>(length));
    size_t done = 0;
    ASSERT_EQ(data->Read(static_cast<uint64_t>(offset), buf, &done), io::kOk);
    buf.resize(done);
    EXPECT_EQ(buf, Bytes(expected)) << offset;
  }
  EXPECT_EQ(overlay.GetFileSize(dir_ / "guard", &size), io::kOk);
  std::unique_ptr<File> writable;
  EXPECT_EQ(overlay.Open(dir_ / "data", OpenMode::kReadWrite, &writable, nullptr),
            io::kAccessDenied);
  EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("01xy45"));
  EXPECT_TRUE(PathExists(journal_));
  // A stale journal changes nothing a reader sees.
  PutJournal("GUARD");
  JournalOverlayEnv stale(Env::Default(), journal_, dir_ / "guard");
  EXPECT_FALSE(stale.active());
}

TEST(CreateLinkedTest, MakesTheGuardLastAndNeverReplacesAFile) {
  TempDir dir;
  const std::vector<NewFile> files = {{dir / "b.idx", {}}, {dir / "b.hdr", Bytes("HEAD")}};
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> before;  // name, bytes
    bool ok;
    bool raced;
    std::string idx;  // "-" when it must not exist
  };
  const Case cases[] = {
      {"a fresh base", {}, true, false, ""},
      {"an empty companion a creator left", {{"b.idx", ""}}, true, false, ""},
      {"a companion with bytes and no header", {{"b.idx", "DATA"}}, false, false, "DATA"},
      {"a header there already", {{"b.hdr", "THEIRS"}}, true, true, "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"b.idx", "b.hdr"}) std::remove((dir / name).c_str());
    for (const auto& [name, bytes] : c.before) WriteFileBytes(dir / name, Bytes(bytes));
    bool raced = false;
    EXPECT_EQ(CreateLinked(Env::Default(), files, false, &raced).ok(), c.ok);
    EXPECT_EQ(raced, c.raced);
    if (c.idx == "-") {
      EXPECT_FALSE(PathExists(dir / "b.idx"));
    } else {
      EXPECT_EQ(ReadFileBytes(dir / "b.idx"), Bytes(c.idx));
    }
    const std::string header = c.raced ? "THEIRS" : c.ok ? "HEAD" : "";
    if (header.empty()) {
      EXPECT_FALSE(PathExists(dir / "b.hdr"));
    } else {
      EXPECT_EQ(ReadFileBytes(dir / "b.hdr"), Bytes(header));
    }
    EXPECT_FALSE(PathExists(dir / "b.idx.draynew"));
    EXPECT_FALSE(PathExists(dir / "b.hdr.draynew"));
  }
}

}  // namespace
}  // namespace drayline
