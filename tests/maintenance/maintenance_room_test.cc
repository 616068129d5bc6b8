// What every changing run of pack, purge, link and import holds on both
// formats: it refuses a disk without the room it needs before it changes
// anything (a dry run only reports the room), and every write of its
// journal happens while its change observer holds the change open.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "drayline/maintenance.h"
#include "drayline/message.h"
#include "drayline/transfer.h"
#include "fault_env.h"
#include "jam/jam_transfer.h"
#include "msgbase/maintenance_internal.h"
#include "squish/squish_transfer.h"
#include "test_util.h"

namespace drayline {
namespace {

// The outcome of one run: its status and the room it asked for.
struct Outcome {
  Status status;
  uint64_t room = 0;
};

const StepLimits kTiny{1, 1};

// Imports three messages as draybase import does: the room of every
// message is checked when the sink opens.
Outcome Import(Env* env, const std::string& path, BaseFormat format, ChangeObserver* observer) {
  ExportedMessage m;
  m.format = format;
  m.from = m.to = m.subject = "Imported";
  m.written = m.processed = {2026, 4, 1, 9, 0, 0};
  m.text = std::string(40, 'i') + "\r";
  format == BaseFormat::kJam ? jam::FillJamPart(&m) : squish::FillSquishPart(&m);
  SinkOptions options;
  options.change.observer = observer;
  options.room = 3 * StoreRoom(m);
  Outcome out{Status::Ok(), options.room};
  std::unique_ptr<MessageSink> sink = OpenMessageSink(env, path, format, {}, options, &out.status);
  for (int i = 0; sink != nullptr && out.status.ok() && i < 3; ++i) out.status = sink->Store(m);
  if (sink != nullptr && out.status.ok()) out.status = sink->Finish();
  return out;
}

struct Command {
  const char* name;
  bool has_dry_run;
  std::function<Outcome(Env*, const std::string&, BaseFormat, bool, ChangeObserver*)> run;
};

Outcome FromReport(const MaintenanceReport& r) { return {r.status, r.room_needed}; }

const Command kCommands[] = {
    {"pack", true,
     [](Env* env, const std::string& path, BaseFormat, bool dry, ChangeObserver* o) {
       PackOptions options;
       options.dry_run = dry;
       options.change.observer = o;
       return FromReport(PackBase(env, path, options, kTiny));
     }},
    {"purge", true,
     [](Env* env, const std::string& path, BaseFormat, bool dry, ChangeObserver* o) {
       PurgeOptions options;
       options.max_msgs = 4;
       options.dry_run = dry;
       options.change.observer = o;
       return FromReport(PurgeBase(env, path, options, kTiny));
     }},
    {"link", true,
     [](Env* env, const std::string& path, BaseFormat, bool dry, ChangeObserver* o) {
       LinkOptions options;
       options.dry_run = dry;
       options.change.observer = o;
       return FromReport(LinkBase(env, path, options, kTiny));
     }},
    {"import", false,
     [](Env* env, const std::string& path, BaseFormat format, bool, ChangeObserver* o) {
       return Import(env, path, format, o);
     }},
    {"import into a new base", false,
     [](Env* env, const std::string& path, BaseFormat format, bool, ChangeObserver* o) {
       return Import(env, path + "-new", format, o);
     }},
};

// Counts the changes begun and ended; JournalWatch counts the journals
// created and removed (the first and last writes of a change) and those
// met while no change was open.
class RecordingObserver final : public ChangeObserver {
 public:
  void ChangeBegins() override { ++begins, ++depth; }
  void ChangeEnds() override { ++ends, --depth; }
  int begins = 0, ends = 0, depth = 0;
};

class JournalWatch final : public EnvWrapper {
 public:
  explicit JournalWatch(const RecordingObserver& observer)
      : EnvWrapper(Env::Default()), observer_(observer) {}
  IoResult Open(const std::string& name, OpenMode mode, std::unique_ptr<File>* file,
                bool* exists_out) override {
    if (BareMode(mode) == OpenMode::kCreateExclusive) Note(name);
    return EnvWrapper::Open(name, mode, file, exists_out);
  }
  IoResult Remove(const std::string& name) override {
    Note(name);
    return EnvWrapper::Remove(name);
  }
  int journal_calls = 0, outside = 0;

 private:
  void Note(const std::string& name) {
    if (!name.ends_with(".drayjournal")) return;
    ++journal_calls;
    outside += observer_.depth != 1;
  }
  const RecordingObserver& observer_;
};

class MaintenanceRoomTest : public ::testing::TestWithParam<BaseFormat> {
 protected:
  // Eight messages, the 2nd, 5th and 7th deleted; subjects that thread.
  void SetUp() override {
    Status s;
    auto base = Base::OpenOrCreate(path_, GetParam(), &s);
    ASSERT_TRUE(s.ok()) << s.text();
    for (int i = 1; i <= 8; ++i) {
      Message m;
      m.from = "Sysop";
      m.to = "User";
      m.subject = i % 2 ? "Topic" : "Re: Topic";
      m.written = m.processed = {2026, 3, uint16_t(i), 12, 0, 0};
      m.text = std::string(size_t(30 * i), 'x') + "\r";
      ASSERT_TRUE(base->Store(m).ok());
    }
    for (int32_t n : {2, 5, 7}) ASSERT_TRUE(base->Delete(n).ok());
  }

  std::map<std::string, std::vector<uint8_t>> Files() const {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr", ".sqd", ".sqi", ".sql"}) {
      if (PathExists(path_ + ext)) files[ext] = ReadFileBytes(path_ + ext);
    }
    return files;
  }

  TempDir dir_;
  std::string path_ = dir_ / "base";
};

std::string FormatName(const ::testing::TestParamInfo<BaseFormat>& info) {
  return info.param == BaseFormat::kJam ? "Jam" : "Squish";
}

INSTANTIATE_TEST_SUITE_P(Formats, MaintenanceRoomTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish), FormatName);

TEST_P(MaintenanceRoomTest, ADiskWithoutRoomIsRefusedBeforeAnyChange) {
  for (const Command& c : kCommands) {
    SCOPED_TRACE(c.name);
    const auto before = Files();
    FaultEnv env;
    // What the run needs, learnt from a dry run or from the same stores.
    env.LimitFreeSpace(0);
    const Outcome probe = c.run(&env, path_, GetParam(), c.has_dry_run, nullptr);
    EXPECT_EQ(probe.status.ok(), c.has_dry_run) << probe.status.text();
    // A maintenance run's room has the journal's slack in it already.
    const uint64_t room = probe.room + (c.has_dry_run ? 0 : kJournalSlack);
    ASSERT_GT(room, kJournalSlack);

    env.LimitFreeSpace(room - 1);
    const Outcome refused = c.run(&env, path_, GetParam(), false, nullptr);
    EXPECT_EQ(refused.status.code(), StatusCode::kWriteFailed);
    EXPECT_NE(refused.status.text().find("no room on the disk"), std::string::npos);
    EXPECT_EQ(Files(), before);
    EXPECT_FALSE(PathExists(path_ + "-new.jhr") || PathExists(path_ + "-new.sqd"));

    env.LimitFreeSpace(room);
    EXPECT_TRUE(c.run(&env, path_, GetParam(), false, nullptr).status.ok());
  }
}

TEST_P(MaintenanceRoomTest, EveryStepOfAPackAndAnImportIsHeldByTheObserver) {
  for (const Command& c : {kCommands[0], kCommands[3]}) {
    SCOPED_TRACE(c.name);
    RecordingObserver observer;
    JournalWatch env(observer);
    ASSERT_TRUE(c.run(&env, path_, GetParam(), false, &observer).status.ok());
    EXPECT_EQ(observer.begins, observer.ends);
    EXPECT_EQ(observer.depth, 0);
    EXPECT_EQ(env.outside, 0);
    // A pack in tiny steps makes many changes; an import makes one.
    EXPECT_GE(observer.begins, c.has_dry_run ? 3 : 1);
    EXPECT_GE(env.journal_calls, 2 * (c.has_dry_run ? 3 : 1));
  }
}

}  // namespace
}  // namespace drayline
