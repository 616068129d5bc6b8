// Checking bases: bases stored through the library are sound; each kind of
// damage is reported with its file, offset and message; every byte of a
// small base flipped and every file cut at every length is reported as
// damage or as sound as the rules say (and never crashes: this suite runs
// under the sanitizers too); a problem gone by the time the lock is taken
// is not reported.

#include "drayline/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "fault_env.h"
#include "msgbase/check_internal.h"
#include "support/coding.h"
#include "support/env.h"
#include "test_util.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;
// A base's files by extension.
using Files = std::map<std::string, Bytes>;

uint32_t Get32(const Bytes& b, size_t at) { return DecodeFixed32(b.data() + at); }
void Put32(Bytes& b, size_t at, uint32_t v) { EncodeFixed32(b.data() + at, v); }

void Post(MessageBase& base, const std::string& to, const std::string& text) {
  base.StartNewMessage();
  base.SetFrom("Sysop");
  base.SetTo(to);
  base.SetSubject("Check");
  base.SetDate("06/15/01");
  base.SetTime("14:30");
  base.AddTextLine(text);
  ASSERT_EQ(base.WriteMessage(), 0);
}

void Delete(MessageBase& base, int32_t number) {
  base.SeekFirst(number);
  ASSERT_TRUE(base.SeekFound());
  base.ReadHeader();
  base.DeleteMessage();
}

// JAM: messages 1-5, 2 deleted (its header stays in the middle of the
// ".jhr"). Squish: Uids 1, 3, 5 and 6, where 6 reuses the frame freed by
// 2 and 4's frame is on the free chain. Both: last-read records of two
// users. Four messages stay in each.
void BuildSample(BaseFormat format, const std::string& path) {
  auto base = NewMessageBase(format);
  base->SetPath(path);
  ASSERT_TRUE(base->CreateBase(0, 0));
  ASSERT_TRUE(base->OpenBase());
  for (int i = 1; i <= 5; ++i) {
    Post(*base, i % 2 ? "All" : "Sysop",
         i == 2 ? std::string(250, 'x') : "Hello " + std::to_string(i));
  }
  Delete(*base, 2);
  if (format == BaseFormat::kSquish) {
    Post(*base, "All", "Short");
    Delete(*base, 4);
  }
  base->SetLastRead(1, 3);
  base->SetLastRead(3, 5);
  base->CloseBase();
}

class CheckTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  void SetUp() override {
    BuildSample(GetParam(), path_);
    for (const std::string& ext : BaseExtensions(GetParam())) {
      sample_[ext] = ReadFileBytes(path_ + ext);
    }
  }
  void Write(const Files& files) {
    for (const auto& [ext, bytes] : files) WriteFileBytes(path_ + ext, bytes);
  }
  CheckReport Check(const CheckOptions& options = {}) {
    return CheckBase(Env::Default(), path_, options);
  }
  bool jam() const { return GetParam() == BaseFormat::kJam; }

  TempDir dir_;
  std::string path_ = dir_ / "general";
  Files sample_;
};

std::string FormatName(const ::testing::TestParamInfo<BaseFormat>& info) {
  return info.param == BaseFormat::kJam ? "Jam" : "Squish";
}

INSTANTIATE_TEST_SUITE_P(Formats, CheckTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         FormatName);

TEST_P(CheckTest, BasesStoredByTheLibraryAreSound) {
  CheckReport r = Check();
  EXPECT_TRUE(r.sound()) << (r.problems.empty() ? r.status.text()
                                                : r.problems[0].problem);
  EXPECT_EQ(r.format, GetParam());
  EXPECT_EQ(r.messages, 4);
  EXPECT_TRUE(r.notes.empty());

  TempDir empty;
  auto base = NewMessageBase(GetParam());
  base->SetPath(empty / "new");
  ASSERT_TRUE(base->CreateBase(0, 0));
  r = CheckBase(empty / "new");
  EXPECT_TRUE(r.sound());
  EXPECT_EQ(r.messages, 0);
}

TEST_P(CheckTest, PathsThatAreNoBase) {
  EXPECT_EQ(CheckBase(dir_ / "none").status.code(), StatusCode::kNotFound);
  WriteFileBytes(path_ + (jam() ? ".sqd" : ".jhr"), {});
  EXPECT_EQ(Check().status.code(), StatusCode::kInvalidArgument);
}

// In the table below: wherever the record is (its message pins it down).
constexpr int64_t kAnyOffset = -2;

struct Damage {
  const char* what;
  BaseFormat format;
  std::function<void(Files&)> make;
  Problem expected;  // problem holds a part of the text
};

// Offsets in the sample: JAM index record n at 8n, the header of message
// n where record n-1 points; Squish frames where the index entries point.
uint32_t JamHeader(const Files& f, int number) {
  return Get32(f.at(".jdx"), 8 * (number - 1) + 4);
}
uint32_t SquishFrame(const Files& f, int entry) {
  return Get32(f.at(".sqi"), 12 * entry);
}

const Damage kDamages[] = {
    {"base header signature",
     BaseFormat::kJam,
     [](Files& f) { f[".jhr"][1] = 'X'; },
     {"general.jhr", 0, -1, "signature JAM"}},
    {"ActiveMsgs",
     BaseFormat::kJam,
     [](Files& f) { Put32(f[".jhr"], 12, 5); },
     {"general.jhr", 12, -1, "ActiveMsgs is 5 but 4 messages are live"}},
    {"record past the header file",
     BaseFormat::kJam,
     [](Files& f) { Put32(f[".jdx"], 8 * 3 + 4, uint32_t(f[".jhr"].size())); },
     {"general.jdx", 24, 4, "points past the end of the header file"}},
    {"two records, one header",
     BaseFormat::kJam,
     [](Files& f) { Put32(f[".jdx"], 8 * 4 + 4, JamHeader(f, 4)); },
     {"general.jdx", 32, 5, "points at the header of message 4 too"}},
    {"header without signature",
     BaseFormat::kJam,
     [](Files& f) { f[".jhr"][JamHeader(f, 3)] = 0; },
     {"general.jhr", kAnyOffset, 3, "no signature JAM"}},
    {"subfield past its header",
     BaseFormat::kJam,
     [](Files& f) { Put32(f[".jhr"], JamHeader(f, 1) + 76 + 4, 200); },
     {"general.jhr", kAnyOffset, 1, "(DatLen 200) runs past the end of its header"}},
    {"text past the text file",
     BaseFormat::kJam,
     [](Files& f) { f[".jdt"].resize(f[".jdt"].size() - 1); },
     {"general.jhr", kAnyOffset, 5, "runs past the end of the text file"}},
    {"overlapping texts",
     BaseFormat::kJam,
     [](Files& f) {
       Put32(f[".jhr"], JamHeader(f, 4) + 60, Get32(f[".jhr"], JamHeader(f, 3) + 60) + 1);
     },
     {"general.jdt", kAnyOffset, 4, "overlaps the text of message 3"}},
    {"partial index record",
     BaseFormat::kJam,
     [](Files& f) { f[".jdx"].push_back(0); },
     {"general.jdx", 40, 6, "partial index record (1 bytes)"}},
    {"partial last-read record",
     BaseFormat::kJam,
     [](Files& f) { f[".jlr"].resize(20); },
     {"general.jlr", 16, -1, "partial last-read record (4 bytes)"}},
    {"MessageCount",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], 4, 3); },
     {"general.sqd", 4, -1, "MessageCount is 3 but the index has 4 entries"}},
    {"HighMessage",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], 8, 7); },
     {"general.sqd", 8, -1, "HighMessage is 7"}},
    {"NextUid",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], 20, 6); },
     {"general.sqd", 20, -1, "NextUid 6 is not above the highest Uid 6"}},
    {"chain leaving the frames",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], SquishFrame(f, 0) + 4, 100); },
     {"general.sqd", kAnyOffset, -1, "NextFrame 100 points outside the frames"}},
    {"PrevFrame",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], SquishFrame(f, 1) + 8, 0); },
     {"general.sqd", kAnyOffset, 3, "PrevFrame is 0 but the frame before it is at"}},
    {"free frame on the message chain",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], SquishFrame(f, 3) + 4, Get32(f[".sqd"], 112)); },
     {"general.sqd", kAnyOffset, -1, "leads to a frame of the other chain"}},
    {"entry without frame",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqi"], 12 * 2, Get32(f[".sqd"], 112)); },
     {"general.sqi", 24, 5, "points at no frame of the message chain"}},
    {"Uids out of order",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqi"], 12 * 2 + 4, 2); },
     {"general.sqi", 24, 2, "Uid 2 is not above the Uid 3"}},
    {"EndFrame past the file",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], 120, uint32_t(f[".sqd"].size() + 1)); },
     {"general.sqd", 120, -1, "EndFrame"}},
    {"free frame linked to itself",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], Get32(f[".sqd"], 112) + 4, Get32(f[".sqd"], 112)); },
     {"general.sqd", kAnyOffset, -1, "leads back into its own chain"}},
    {"LastFrame short of the chain's end",
     BaseFormat::kSquish,
     [](Files& f) { Put32(f[".sqd"], 108, SquishFrame(f, 1)); },
     {"general.sqd", 108, -1, "LastFrame is"}},
    {"partial last-read record",
     BaseFormat::kSquish,
     [](Files& f) { f[".sql"].resize(5); },
     {"general.sql", 4, -1, "partial last-read record (1 bytes)"}},
};

// Each damage is reported where it is.
TEST_P(CheckTest, EachDamageIsReportedWhereItIs) {
  for (const Damage& d : kDamages) {
    if (d.format != GetParam()) continue;
    SCOPED_TRACE(d.what);
    Files files = sample_;
    d.make(files);
    Write(files);
    const CheckReport r = Check();
    ASSERT_TRUE(r.status.ok()) << r.status.text();
    bool found = false;
    for (const Problem& p : r.problems) {
      found |= p.file == d.expected.file && p.message == d.expected.message &&
               (d.expected.offset == kAnyOffset || p.offset == d.expected.offset) &&
               p.problem.find(d.expected.problem) != std::string::npos;
    }
    EXPECT_TRUE(found) << (r.problems.empty() ? "no problem" : r.problems[0].problem);
    Write(sample_);
  }
}

TEST_P(CheckTest, PendingJournalAndSeveralLastReadRecords) {
  WriteFileBytes(path_ + std::string(kJournalSuffix), {1, 2, 3});
  CheckReport r = Check();
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0].file, "general" + std::string(kJournalSuffix));
  EXPECT_EQ(r.problems[0].problem, "a change was interrupted; run draybase repair");
  if (!jam()) return;
  ASSERT_EQ(unlink((path_ + std::string(kJournalSuffix)).c_str()), 0);
  Bytes jlr = sample_[".jlr"];
  jlr.insert(jlr.end(), jlr.begin(), jlr.begin() + 16);  // user 1 again
  WriteFileBytes(path_ + ".jlr", jlr);
  r = Check();
  EXPECT_TRUE(r.sound());
  EXPECT_EQ(r.notes,
            std::vector<std::string>{"user 1 has 2 last-read records in general.jlr"});
}

enum class Expect { kDamage, kSound, kEither };

// What flipping every bit of byte `at` of the file `ext` must do to a JAM
// sample, from the layout its index gives.
Expect JamFlip(const Files& f, const std::string& ext, size_t at) {
  if (ext == ".jdx")
    return at % 8 >= 4 || Get32(f.at(ext), at / 8 * 8 + 4) == 0xFFFFFFFF ? Expect::kDamage
                                                                         : Expect::kSound;
  if (ext != ".jhr") return Expect::kSound;  // texts and last-read records
  if (at < 1024)
    return at < 4 || (at >= 12 && at < 16) || (at >= 20 && at < 24) ? Expect::kDamage
                                                                    : Expect::kSound;
  for (size_t r = 0; r < f.at(".jdx").size(); r += 8) {
    const uint32_t h = Get32(f.at(".jdx"), r + 4);
    if (h == 0xFFFFFFFF || at < h || at >= h + 76 + Get32(f.at(ext), h + 8)) continue;
    const size_t rel = at - h;
    if (rel < 4 || (rel >= 8 && rel < 12) || (rel >= 48 && rel < 52) || rel == 55)
      return Expect::kDamage;
    if (rel >= 60 && rel < 68) return Expect::kEither;
    for (size_t s = h + 76; s < h + 76 + Get32(f.at(ext), h + 8);
         s += 8 + Get32(f.at(ext), s + 4)) {
      if (at >= s + 4 && at < s + 8) return Expect::kEither;  // DatLen
    }
    return Expect::kSound;
  }
  return Expect::kSound;  // the deleted message's header: nothing points at it
}

// The same for a Squish sample.
Expect SquishFlip(const Files& f, const std::string& ext, size_t at) {
  const Bytes& sqd = f.at(".sqd");
  if (ext == ".sqi")
    return at % 12 < 4 ? Expect::kDamage : at % 12 < 8 ? Expect::kEither : Expect::kSound;
  if (ext != ".sqd") return Expect::kSound;
  if (at < 256) {
    if (at < 2 || (at >= 4 && at < 12) || (at >= 104 && at < 124) ||
        (at >= 130 && at < 132))
      return Expect::kDamage;
    return (at >= 12 && at < 16) || (at >= 20 && at < 24) ? Expect::kEither
                                                          : Expect::kSound;
  }
  std::vector<std::pair<uint32_t, bool>> frames;  // offset, free
  for (size_t e = 0; e < f.at(".sqi").size(); e += 12)
    frames.push_back({Get32(f.at(".sqi"), e), false});
  frames.push_back({Get32(sqd, 112), true});
  for (const auto& [frame, free] : frames) {
    if (at < frame || at >= frame + 28) continue;
    const size_t rel = at - frame;
    if (rel < 12 || (rel >= 24 && rel < 26)) return Expect::kDamage;
    if (rel < 24) return free ? Expect::kEither : Expect::kDamage;
  }
  return Expect::kSound;  // message headers, texts, spare room
}

// Changes one file of the base in place: the file system is not made to
// flush, as it is when a file is cut to nothing and written again.
void Poke(const std::string& name, uint64_t at, std::span<const uint8_t> bytes,
          const uint64_t* cut = nullptr) {
  std::unique_ptr<File> file;
  ASSERT_EQ(Env::Default()->Open(name, OpenMode::kReadWrite, &file), io::kOk);
  if (cut != nullptr) {
    ASSERT_EQ(file->Truncate(*cut), io::kOk);
  }
  ASSERT_EQ(file->Write(at, bytes), io::kOk);
}

TEST_P(CheckTest, EveryByteFlipped) {
  CheckOptions options;
  options.lock_wait_ms = 0;
  for (const std::string& ext : BaseExtensions(GetParam())) {
    const Bytes& bytes = sample_[ext];
    for (size_t at = 0; at < bytes.size(); ++at) {
      const Expect expect =
          jam() ? JamFlip(sample_, ext, at) : SquishFlip(sample_, ext, at);
      const uint8_t flipped = bytes[at] ^ 0xFF;
      Poke(path_ + ext, at, std::span(&flipped, 1));
      const CheckReport r = Check(options);
      ASSERT_TRUE(r.status.ok()) << ext << " " << at;
      if (expect != Expect::kEither) {
        EXPECT_EQ(r.sound(), expect == Expect::kSound) << ext << " byte " << at;
      }
      Poke(path_ + ext, at, std::span(&bytes[at], 1));
    }
  }
}

TEST_P(CheckTest, EveryFileCutAtEveryLength) {
  for (const std::string& ext : BaseExtensions(GetParam())) {
    const Bytes& bytes = sample_[ext];
    const size_t record = ext == ".jlr" ? 16 : ext == ".sql" ? 4 : 0;
    for (uint64_t cut = 0; cut < bytes.size(); ++cut) {
      Poke(path_ + ext, cut, {}, &cut);
      const CheckReport r = Check();
      ASSERT_TRUE(r.status.ok()) << ext << " " << cut;
      EXPECT_EQ(r.sound(), record != 0 && cut % record == 0) << ext << " cut at " << cut;
      Poke(path_ + ext, cut, std::span(bytes).subspan(cut));
    }
  }
}

// An Env that runs a hook whenever the check sleeps while it waits for
// the lock, or asks whether the journal exists.
class HookEnv final : public EnvWrapper {
 public:
  explicit HookEnv(Env* target) : EnvWrapper(target) {}
  void SleepMs(unsigned ms) override {
    if (on_sleep) on_sleep();
    target()->SleepMs(ms);
  }
  bool Exists(const std::string& name) override {
    if (on_journal && name.ends_with(kJournalSuffix)) on_journal();
    return target()->Exists(name);
  }
  std::function<void()> on_sleep, on_journal;
};

class CheckLockTest : public CheckTest {
 protected:
  void SetUp() override {
    CheckTest::SetUp();
    damaged_ = sample_;
    Put32(damaged_[header_], jam() ? 12 : 4, 9);  // a counter off
    Write(damaged_);
  }
  const std::string header_ = jam() ? ".jhr" : ".sqd";
  Files damaged_;
  FaultEnv fault_;
  HookEnv env_{&fault_};
};

INSTANTIATE_TEST_SUITE_P(Formats, CheckLockTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         FormatName);

TEST_P(CheckLockTest, OnlyWhatIsStillThereUnderTheLockIsReported) {
  // Mended while the check waits for the lock: not reported.
  fault_.FailLock(header_, io::kLockViolation, 1);
  env_.on_sleep = [&] { Write(sample_); };
  EXPECT_TRUE(CheckBase(&env_, path_).sound());
  // Still there under the lock: reported once.
  Write(damaged_);
  const CheckReport r = CheckBase(&env_, path_);
  EXPECT_EQ(r.problems.size(), 1u);
  EXPECT_TRUE(r.notes.empty());
}

TEST_P(CheckLockTest, LockNeverHadOrBaseAlwaysChanging) {
  // The lock held elsewhere all along: reported as read, with a note, after
  // about a second.
  fault_.FailLock(header_, io::kLockViolation);
  CheckReport r = CheckBase(&env_, path_);
  EXPECT_EQ(r.problems.size(), 1u);
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("not read again under the base's lock"), std::string::npos);
  EXPECT_GE(fault_.slept_ms(), 1000u);
  EXPECT_LE(fault_.slept_ms(), 1050u);
  // Changed every time it is read: no verdict.
  fault_.Clear();
  const std::string last_read = path_ + (jam() ? ".jlr" : ".sql");
  Bytes grown = sample_[jam() ? ".jlr" : ".sql"];
  env_.on_journal = [&] {
    grown.resize(grown.size() + 16);
    WriteFileBytes(last_read, grown);
  };
  r = CheckBase(&env_, path_);
  EXPECT_EQ(r.status.code(), StatusCode::kLocked);
  EXPECT_TRUE(r.problems.empty());
}

TEST_P(CheckTest, ProblemsPastTheLimitAreCounted) {
  Files files = sample_;
  Bytes& index = files[BaseExtensions(GetParam())[1]];
  std::fill(index.begin(), index.end(), 0x11);  // every index entry wrong
  Write(files);
  CheckOptions options;
  options.max_problems = 2;
  const CheckReport r = Check(options);
  ASSERT_EQ(r.problems.size(), 3u);
  EXPECT_EQ(r.problems[2].file, "");
  EXPECT_NE(r.problems[2].problem.find("more problems not listed"), std::string::npos);
}

}  // namespace
}  // namespace drayline
