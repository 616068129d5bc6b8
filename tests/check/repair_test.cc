// Repairing bases: each kind of damage is mended with every message it
// did not touch kept, text for text; every byte flipped and every file cut
// at every length leaves a base the check finds sound (never a crash: this
// suite runs under the sanitizers too); a repaired or sound base is left
// alone by the next repair; the backup holds the files as they were.

#include "drayline/repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "drayline/check.h"
#include "drayline/message_base.h"
#include "msgbase/repair_internal.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;
using Files = std::map<std::string, Bytes>;  // a base's files by extension
using Texts = std::map<std::string, std::pair<int32_t, std::string>>;  // subject -> number, text

uint32_t Get32(const Bytes& b, size_t at) { return DecodeFixed32(b.data() + at); }
void Put32(Bytes& b, size_t at, uint32_t v) { EncodeFixed32(b.data() + at, v); }

// Messages 1-6 ("Message N", their texts of different lengths), 3
// deleted; last-read records of users 1 and 2. In both formats message N
// is number (or Uid) N.
void BuildSample(BaseFormat format, const std::string& path) {
  auto base = NewMessageBase(format);
  base->SetPath(path);
  ASSERT_TRUE(base->CreateBase(0, 0));
  ASSERT_TRUE(base->OpenBase());
  for (int i = 1; i <= 6; ++i) {
    base->StartNewMessage();
    base->SetFrom("Sysop");
    base->SetTo(i % 2 ? "All" : "Ann");
    base->SetSubject("Message " + std::to_string(i));
    base->AddTextLine("Text of message " + std::to_string(i) + std::string(i * 7, '.'));
    ASSERT_EQ(base->WriteMessage(), 0);
  }
  base->SeekFirst(3);
  base->ReadHeader();
  base->DeleteMessage();
  base->SetLastRead(1, 2);
  base->SetLastRead(2, 5);
  base->CloseBase();
}

// Every message of the base, by subject.
Texts ReadTexts(const std::string& path) {
  Texts texts;
  std::unique_ptr<MessageBase> base = OpenMessageBase(path, nullptr);
  if (base == nullptr) return texts;
  for (base->SeekFirst(1); base->SeekFound(); base->SeekNext()) {
    base->ReadHeader();
    std::string text;
    base->BeginTextRead();
    while (!base->EndOfText()) text.push_back(static_cast<char>(base->GetChar()));
    texts[base->GetSubject()] = {base->GetMsgNum(), text};
  }
  return texts;
}

// Where a message's bytes lie in one file.
struct Region {
  std::string ext;
  size_t begin, end;
  std::string subject;
};

class RepairTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  void SetUp() override {
    BuildSample(GetParam(), path_);
    for (const std::string& ext : BaseExtensions(GetParam())) {
      sample_[ext] = ReadFileBytes(path_ + ext);
    }
    texts_ = ReadTexts(path_);
    ASSERT_EQ(texts_.size(), 5u);
    regions_ = jam() ? JamRegions() : SquishRegions();
  }
  bool jam() const { return GetParam() == BaseFormat::kJam; }
  void Write(const Files& files) {
    for (const auto& [ext, bytes] : files) WriteFileBytes(path_ + ext, bytes);
  }
  Files Read() const {
    Files files;
    for (const std::string& ext : BaseExtensions(GetParam())) {
      if (PathExists(path_ + ext)) files[ext] = ReadFileBytes(path_ + ext);
    }
    return files;
  }
  // The header and text of each live JAM message.
  std::vector<Region> JamRegions() const {
    std::vector<Region> regions;
    const Bytes& jhr = sample_.at(".jhr");
    for (size_t r = 0; r < sample_.at(".jdx").size(); r += 8) {
      const uint32_t h = Get32(sample_.at(".jdx"), r + 4);
      if (h == 0xFFFFFFFF) continue;
      const std::string subject = "Message " + std::to_string(r / 8 + 1);
      regions.push_back({".jhr", h, h + 76 + Get32(jhr, h + 8), subject});
      const uint32_t text = Get32(jhr, h + 60);
      regions.push_back({".jdt", text, text + Get32(jhr, h + 64), subject});
    }
    return regions;
  }
  // The frame of each Squish message.
  std::vector<Region> SquishRegions() const {
    std::vector<Region> regions;
    for (size_t e = 0; e < sample_.at(".sqi").size(); e += 12) {
      const uint32_t frame = Get32(sample_.at(".sqi"), e);
      const std::string subject = "Message " + std::to_string(Get32(sample_.at(".sqi"), e + 4));
      regions.push_back({".sqd", frame, frame + 28 + Get32(sample_.at(".sqd"), frame + 12), subject});
    }
    return regions;
  }
  // The messages with a byte in [begin, end) of the file ext.
  std::set<std::string> Touched(const std::string& ext, size_t begin, size_t end) const {
    std::set<std::string> touched;
    for (const Region& r : regions_) {
      if (r.ext == ext && begin < r.end && r.begin < end) touched.insert(r.subject);
    }
    return touched;
  }

  // Repairs the base as it is on disk and expects it sound afterwards,
  // every message of the sample not in touched kept as it was, and a
  // second repair to change nothing; with numbers, under the same number.
  void RepairAndExpect(const std::set<std::string>& touched, const std::string& what,
                       bool numbers = false) {
    SCOPED_TRACE(what);
    RepairOptions options;
    options.backup = false;
    const RepairReport r = RepairBase(path_, options);
    ASSERT_TRUE(r.status.ok()) << r.status.text();
    const Texts now = ReadTexts(path_);
    for (const auto& [subject, stored] : texts_) {
      if (touched.count(subject) != 0) continue;
      const auto it = now.find(subject);
      EXPECT_TRUE(it != now.end() && it->second.second == stored.second) << subject << " lost";
      if (numbers && it != now.end()) {
        EXPECT_EQ(it->second.first, stored.first) << subject;
      }
    }
    const Files repaired = Read();
    const RepairReport again = RepairBase(path_, {});  // checks the base first
    EXPECT_TRUE(again.was_sound && again.status.ok() && !again.changed);
    EXPECT_TRUE(again.backup_dir.empty());
    EXPECT_EQ(Read(), repaired);
  }

  TempDir dir_;
  std::string path_ = dir_ / "general";
  Files sample_;
  Texts texts_;
  std::vector<Region> regions_;
};

std::string FormatName(const ::testing::TestParamInfo<BaseFormat>& info) {
  return info.param == BaseFormat::kJam ? "Jam" : "Squish";
}

INSTANTIATE_TEST_SUITE_P(Formats, RepairTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         FormatName);

struct Damage {
  const char* what;
  BaseFormat format;
  std::function<void(Files&)> make;
  std::set<std::string> touched;  // messages the damage may cost
  bool renumbers = false;         // messages may get new numbers
};

// JAM: index record n-1 points at message n's header. Squish: entry k
// points at the frame of the k-th live message (1, 2, 4, 5, 6).
uint32_t JamHeader(const Files& f, int n) { return Get32(f.at(".jdx"), 8 * (n - 1) + 4); }
uint32_t SquishFrame(const Files& f, int k) { return Get32(f.at(".sqi"), 12 * k); }

const Damage kDamages[] = {
    {"base header", BaseFormat::kJam,
     [](Files& f) {
       f[".jhr"][1] = 'X';
       Put32(f[".jhr"], 12, 77);
       Put32(f[".jhr"], 20, 0x01000001);  // BaseMsgNum
     },
     {}},
    {"records pointing wrong", BaseFormat::kJam,
     [](Files& f) {
       Put32(f[".jdx"], 8 * 4 + 4, JamHeader(f, 4));
       Put32(f[".jdx"], 8 * 5 + 4, uint32_t(f[".jhr"].size()));
       Put32(f[".jdx"], 8 * 2, 0);  // the unused record of message 3
     },
     {}},
    {"index gone", BaseFormat::kJam, [](Files& f) { f[".jdx"].clear(); }, {}},
    {"number in a header", BaseFormat::kJam,
     [](Files& f) { Put32(f[".jhr"], JamHeader(f, 2) + 48, 9); }, {}},
    {"header without signature", BaseFormat::kJam,
     [](Files& f) { f[".jhr"][JamHeader(f, 4)] = 0; }, {"Message 4"}},
    {"text past the text file", BaseFormat::kJam,
     [](Files& f) { f[".jdt"].resize(f[".jdt"].size() - 1); }, {"Message 6"}},
    {"text moved onto the next", BaseFormat::kJam,
     [](Files& f) { Put32(f[".jhr"], JamHeader(f, 4) + 60, Get32(f[".jhr"], JamHeader(f, 5) + 60) + 3); },
     {"Message 4"}},
    {"text grown into the next", BaseFormat::kJam,
     [](Files& f) { Put32(f[".jhr"], JamHeader(f, 1) + 64, Get32(f[".jhr"], JamHeader(f, 1) + 64) + 9); },
     {"Message 1"}},
    {"partial records", BaseFormat::kJam,
     [](Files& f) {
       f[".jdx"].push_back(0);
       f[".jlr"].push_back(0);
     },
     {}},
    {"control record", BaseFormat::kSquish,
     [](Files& f) {
       Put32(f[".sqd"], 4, 3);
       Put32(f[".sqd"], 20, 2);
       Put32(f[".sqd"], 120, uint32_t(f[".sqd"].size() + 1));
       f[".sqd"][0] = 0xFF;  // HeaderLength
     },
     {}},
    {"chains broken", BaseFormat::kSquish,
     [](Files& f) {
       Put32(f[".sqd"], SquishFrame(f, 0) + 4, 100);
       Put32(f[".sqd"], SquishFrame(f, 2) + 8, 0);
       Put32(f[".sqd"], Get32(f[".sqd"], 112) + 4, Get32(f[".sqd"], 112));
     },
     {}},
    {"index entries wrong", BaseFormat::kSquish,
     [](Files& f) {
       Put32(f[".sqi"], 12 * 1, Get32(f[".sqd"], 112));
       Put32(f[".sqi"], 12 * 3 + 4, 2);
     },
     {},
     true},
    {"index gone", BaseFormat::kSquish, [](Files& f) { f[".sqi"].clear(); }, {}, true},
    {"frame id gone", BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], SquishFrame(f, 1), 0); }, {"Message 2"}},
    {"FrameLengths wrong", BaseFormat::kSquish,
     [](Files& f) {
       Put32(f[".sqd"], SquishFrame(f, 0) + 12, 0x7F000000);
       Put32(f[".sqd"], SquishFrame(f, 2) + 12, 3);
     },
     {}},
    {"data file cut in the last frame", BaseFormat::kSquish,
     [](Files& f) { f[".sqd"].resize(SquishFrame(f, 4) + 40); }, {"Message 6"}},
    {"partial records", BaseFormat::kSquish,
     [](Files& f) {
       f[".sqi"].push_back(0);
       f[".sql"].push_back(0);
     },
     {}},
};

TEST_P(RepairTest, EachDamageIsMendedKeepingWhatItDidNotTouch) {
  for (const Damage& d : kDamages) {
    if (d.format != GetParam()) continue;
    Files files = sample_;
    d.make(files);
    Write(files);
    RepairAndExpect(d.touched, d.what, !d.renumbers);
    for (const auto& [ext, bytes] : Read()) {
      if (sample_.count(ext) == 0) {
        ASSERT_EQ(unlink((path_ + ext).c_str()), 0);
      }
    }
    Write(sample_);
  }
}

// Changes one file of the base in place (a cut first when given).
void Poke(const std::string& name, uint64_t at, std::span<const uint8_t> bytes,
          const uint64_t* cut = nullptr) {
  std::unique_ptr<File> file;
  ASSERT_EQ(Env::Default()->Open(name, OpenMode::kReadWrite, &file), io::kOk);
  if (cut != nullptr) {
    ASSERT_EQ(file->Truncate(*cut), io::kOk);
  }
  ASSERT_EQ(file->Write(at, bytes), io::kOk);
}

TEST_P(RepairTest, EveryByteFlipped) {
  for (const std::string& ext : BaseExtensions(GetParam())) {
    const Bytes& bytes = sample_[ext];
    for (size_t at = 0; at < bytes.size(); ++at) {
      const uint8_t flipped = bytes[at] ^ 0xFF;
      Poke(path_ + ext, at, std::span(&flipped, 1));
      RepairAndExpect(Touched(ext, at, at + 1), ext + " byte " + std::to_string(at));
      if (HasFailure()) return;
      Write(sample_);
    }
  }
}

TEST_P(RepairTest, EveryFileCutAtEveryLength) {
  for (const std::string& ext : BaseExtensions(GetParam())) {
    const Bytes& bytes = sample_[ext];
    for (uint64_t cut = 0; cut < bytes.size(); ++cut) {
      Poke(path_ + ext, cut, {}, &cut);
      RepairAndExpect(Touched(ext, cut, bytes.size()), ext + " cut at " + std::to_string(cut));
      if (HasFailure()) return;
      Write(sample_);
    }
  }
}

TEST_P(RepairTest, LastReadRecordsKeepWhatGetLastReadAnswers) {
  Files files = sample_;
  Bytes& records = files[jam() ? ".jlr" : ".sql"];
  const size_t size = jam() ? 16 : 4;
  if (jam()) {  // user 1 again, after its first record, with another number
    Bytes again(records.begin(), records.begin() + 16);
    Put32(again, 12, 4);
    records.insert(records.end(), again.begin(), again.end());
  }
  records.push_back(7);  // a partial record
  Write(files);
  auto base = NewMessageBase(GetParam());
  base->SetPath(path_);
  const int32_t before = base->GetLastRead(1);
  RepairAndExpect({}, "last-read records");
  EXPECT_EQ(base->GetLastRead(1), before);
  EXPECT_EQ(base->GetLastRead(2), 5);
  EXPECT_EQ(ReadFileBytes(path_ + (jam() ? ".jlr" : ".sql")).size(), 2 * size);
}

TEST_P(RepairTest, BackupHoldsTheDamagedFilesAndASoundBaseGetsNone) {
  ClockEnv env(DateTimeRecord{2026, 3, 4, 5, 6, 7});
  RepairReport r = RepairBase(&env, path_, {});
  EXPECT_TRUE(r.was_sound && r.status.ok() && !r.changed && r.backup_dir.empty());
  EXPECT_EQ(Read(), sample_);

  Files damaged = sample_;
  Put32(damaged[jam() ? ".jhr" : ".sqd"], jam() ? 12 : 4, 9);  // a counter off
  Write(damaged);
  r = RepairBase(&env, path_, {});
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.backup_dir, dir_ / "general-backup-20260304050607");
  EXPECT_EQ(r.kept.size(), 5u);
  for (const auto& [ext, bytes] : damaged) {
    EXPECT_EQ(ReadFileBytes(r.backup_dir + "/general" + ext), bytes) << ext;
  }
  // A backup directory that cannot be made stops the repair before it
  // writes anything.
  Write(damaged);
  r = RepairBase(&env, path_, {});
  EXPECT_FALSE(r.status.ok());
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(Read(), damaged);
}

TEST_P(RepairTest, APendingJournalIsSettledFirst) {
  // A journal cut short before its first record holds nothing to put back:
  // the repair drops it, and the base it leaves is the sound base as it was.
  const std::string journal = path_ + std::string(kJournalSuffix);
  WriteFileBytes(journal, {1, 2, 3});
  const RepairReport r = RepairBase(path_, {});
  ASSERT_TRUE(r.status.ok()) << r.status.text();
  EXPECT_FALSE(std::filesystem::exists(journal));
  EXPECT_EQ(Read(), sample_);
  EXPECT_TRUE(CheckBase(path_).sound());
}

}  // namespace
}  // namespace drayline
