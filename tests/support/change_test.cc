#include "support/change.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "support/journal.h"
#include "support/file_access.h"
#include "test_util.h"

namespace drayline {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A guard file (whose byte 0 is the lock) and a data file, opened through
// a FaultEnv; a second open of the guard tells whether the lock is free.
class ChangeTest : public testing::Test {
 protected:
  ChangeTest() {
    WriteFileBytes(dir_ / "guard", Bytes("GUARD"));
    WriteFileBytes(dir_ / "data", Bytes("0123456789"));
    EXPECT_EQ(RetryOpen(&env_, dir_ / "guard", OpenMode::kReadWrite, &guard_), io::kOk);
    EXPECT_EQ(RetryOpen(&env_, dir_ / "data", OpenMode::kReadWrite, &data_), io::kOk);
    EXPECT_EQ(RetryOpen(&env_, dir_ / "guard", OpenMode::kReadWrite, &other_), io::kOk);
  }
  bool LockIsFree() {
    if (LockRegion(*other_, 0, 1) != io::kOk) return false;
    UnlockRegion(*other_, 0, 1);
    return true;
  }
  // Appends, overwrites the guard's first bytes and cuts the data file;
  // a step after a failed one answers that failure.
  Status ChangeBoth(Change& change) {
    uint64_t at = 0;
    change.Append(*data_, Bytes("ab"), &at);
    change.Overwrite(*guard_, 0, Bytes("gu"), Bytes("GU"));
    change.Write(*data_, 2, Bytes("xy"));
    return change.Truncate(*data_, 6);
  }
  void ExpectUnchanged() {
    EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("GUARD"));
    EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("0123456789"));
  }

  TempDir dir_;
  FaultEnv env_;
  std::unique_ptr<File> guard_, data_, other_;
};

TEST_F(ChangeTest, CommitKeepsEverythingAndReleasesTheLock) {
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  EXPECT_FALSE(LockIsFree());
  EXPECT_TRUE(ChangeBoth(*change).ok());
  EXPECT_TRUE(change->Commit().ok());
  EXPECT_TRUE(LockIsFree());
  change.reset();
  EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("guARD"));
  EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("01xy45"));
}

TEST_F(ChangeTest, FailedWriteUndoesEveryStepAndReleasesTheLock) {
  // The append, the overwrite of the guard and the write fail in turn.
  for (const auto& [file, nth] : {std::pair{"data", 1}, {"guard", 1}, {"data", 2}}) {
    SCOPED_TRACE(std::string(file) + " " + std::to_string(nth));
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
    env_.FailWrite(file, nth, io::kDiskWriteError);
    EXPECT_EQ(ChangeBoth(*change).io_result(), io::kDiskWriteError);
    // Steps after the failure are not made; Commit undoes the others.
    EXPECT_EQ(change->Commit().io_result(), io::kDiskWriteError);
    EXPECT_TRUE(LockIsFree());
    ExpectUnchanged();
    env_.Clear();
  }
  // A change dropped without Commit is undone as well.
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  ChangeBoth(*change);
  change.reset();
  ExpectUnchanged();
  EXPECT_TRUE(LockIsFree());
}

TEST_F(ChangeTest, UndoToAMarkDropsOnlyTheLaterSteps) {
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Change::Begin(&env_, *guard_, &change).ok());
  ASSERT_TRUE(change->Append(*data_, Bytes("ab")).ok());
  const Change::Point mark = change->Mark();
  env_.FailWrite("guard", 1, io::kDiskWriteError);
  EXPECT_FALSE(change->Overwrite(*guard_, 0, Bytes("gu"), Bytes("GU")).ok());
  change->UndoTo(mark);
  EXPECT_TRUE(change->status().ok());
  EXPECT_TRUE(change->Append(*data_, Bytes("c")).ok());
  EXPECT_TRUE(change->Commit().ok());
  EXPECT_EQ(ReadFileBytes(dir_ / "data"), Bytes("0123456789abc"));
  EXPECT_EQ(ReadFileBytes(dir_ / "guard"), Bytes("GUARD"));
}

TEST_F(ChangeTest, LockHeldByTheCallerStaysHeldAndOneHeldElsewhereRefuses) {
  ASSERT_EQ(LockRegion(*guard_, 0, 1), io::kOk);
  {
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Change::Begin(&env_, *guard_, &change, /*lock_held=*/true).ok());
    EXPECT_TRUE(ChangeBoth(*change).ok());
    EXPECT_TRUE(change->Commit().ok());
  }
  EXPECT_FALSE(LockIsFree());
  std::unique_ptr<Change> change;
  EXPECT_EQ(Change::Begin(&env_, *other_, &change).code(), StatusCode::kLocked);
  EXPECT_EQ(change, nullptr);
  EXPECT_EQ(env_.slept_ms(), (kRetryCount - 1u) * kRetryDelayMs);
  UnlockRegion(*guard_, 0, 1);
}

// Logs the calls that matter for durability, in order: "write NAME",
// "cut NAME", "sync NAME", "syncdir", "create NAME", "remove NAME" (NAME
// without its directory).
class RecordingEnv final : public EnvWrapper {
 public:
  explicit RecordingEnv(Env* target) : EnvWrapper(target) {}
  IoResult Open(const std::string& name, OpenMode mode, std::unique_ptr<File>* file,
                bool* exists_out) override {
    std::unique_ptr<File> base;
    const IoResult code = target()->Open(name, mode, &base, exists_out);
    if (code != io::kOk) return code;
    if (BareMode(mode) == OpenMode::kCreateExclusive) Log("create", name);
    *file = std::make_unique<LoggedFile>(std::move(base), std::string(NameOf(name)), &log);
    return code;
  }
  IoResult Remove(const std::string& name) override {
    Log("remove", name);
    return target()->Remove(name);
  }
  IoResult Sync(File& file) override {
    log.push_back("sync " + static_cast<LoggedFile&>(file).name());
    return io::kOk;
  }
  IoResult SyncDir(const std::string&) override {
    log.push_back("syncdir");
    return io::kOk;
  }
  std::vector<std::string> log;

 private:
  void Log(const char* what, const std::string& name) {
    log.push_back(std::string(what) + " " + std::string(NameOf(name)));
  }
  class LoggedFile final : public File {
   public:
    LoggedFile(std::unique_ptr<File> base, std::string name, std::vector<std::string>* log)
        : base_(std::move(base)), name_(std::move(name)), log_(log) {}
    const std::string& name() const { return name_; }
    IoResult Read(uint64_t o, std::span<uint8_t> b, size_t* d) override {
      return base_->Read(o, b, d);
    }
    IoResult ReadSequential(std::span<uint8_t> b, size_t* d) override {
      return base_->ReadSequential(b, d);
    }
    IoResult Write(uint64_t o, std::span<const uint8_t> d) override {
      log_->push_back("write " + name_);
      return base_->Write(o, d);
    }
    IoResult Size(uint64_t* s) override { return base_->Size(s); }
    IoResult Truncate(uint64_t s) override {
      log_->push_back("cut " + name_);
      return base_->Truncate(s);
    }
    IoResult Lock(uint64_t o, uint64_t l) override { return base_->Lock(o, l); }
    IoResult Unlock(uint64_t o, uint64_t l) override { return base_->Unlock(o, l); }
    IoResult Close() override { return base_->Close(); }

   private:
    std::unique_ptr<File> base_;
    std::string name_;
    std::vector<std::string>* log_;
  };
};

class CountingObserver final : public ChangeObserver {
 public:
  void ChangeBegins() override { log.push_back("begins"); }
  void ChangeEnds() override { log.push_back("ends"); }
  std::vector<std::string> log;
};

// The same files, each change recorded in a journal on disk.
class JournaledChangeTest : public ChangeTest {
 protected:
  JournaledChangeTest() {
    setup_.journal = dir_ / "base.drayjournal";
    setup_.files = {{guard_.get(), dir_ / "guard"}, {data_.get(), dir_ / "data"}};
    setup_.fingerprint_size = 3;
    setup_.options.observer = &observer_;
  }
  Status Begin(std::unique_ptr<Change>* change) {
    return Change::Begin(&env_, *guard_, &setup_, change);
  }
  bool JournalThere() { return PathExists(setup_.journal); }

  ChangeSetup setup_;
  CountingObserver observer_;
};

TEST_F(JournaledChangeTest, TheJournalLivesFromTheFirstWriteToTheEndOfTheChange) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit);
    WriteFileBytes(dir_ / "guard", Bytes("GUARD"));
    WriteFileBytes(dir_ / "data", Bytes("0123456789"));
    observer_.log.clear();
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Begin(&change).ok());
    EXPECT_EQ(observer_.log, (std::vector<std::string>{"begins"}));
    EXPECT_FALSE(JournalThere());  // nothing written yet
    uint64_t at = 0;
    ASSERT_TRUE(change->Append(*data_, Bytes("ab"), &at).ok());
    EXPECT_TRUE(JournalThere());
    ParsedJournal journal;
    ASSERT_TRUE(ParseJournal(ReadFileBytes(setup_.journal), &journal));
    EXPECT_EQ(journal.fingerprint, Bytes("GUA"));
    EXPECT_EQ(journal.names, (std::vector<std::string>{"guard", "data"}));
    EXPECT_TRUE(ChangeBoth(*change).ok());
    if (commit) {
      EXPECT_TRUE(change->Commit().ok());
    } else {
      change.reset();
      ExpectUnchanged();
    }
    EXPECT_FALSE(JournalThere());
    EXPECT_EQ(observer_.log, (std::vector<std::string>{"begins", "ends"}));
    EXPECT_TRUE(LockIsFree());
  }
}

TEST_F(JournaledChangeTest, AChangeThatCannotBeUndoneIsRolledBackByTheNextOne) {
  std::unique_ptr<Change> change;
  ASSERT_TRUE(Begin(&change).ok());
  ASSERT_TRUE(ChangeBoth(*change).ok());
  // Its undo cannot put the data file's bytes back (as if the process had
  // died): the journal stays.
  env_.FailWrite("data", 1, io::kDiskWriteError, /*sticky=*/true);
  change.reset();
  env_.Clear();
  ASSERT_TRUE(JournalThere());
  EXPECT_NE(ReadFileBytes(dir_ / "data"), Bytes("0123456789"));
  ASSERT_TRUE(Begin(&change).ok());
  EXPECT_FALSE(JournalThere());
  ExpectUnchanged();
  EXPECT_TRUE(change->Commit().ok());
}

TEST_F(JournaledChangeTest, AJournalThatCannotBeWrittenFailsTheChangeUntouched) {
  for (const IoResult code : {io::kAccessDenied, io::kDiskWriteError}) {
    SCOPED_TRACE(code);
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Begin(&change).ok());
    if (code == io::kAccessDenied) {
      env_.FailOpen("drayjournal", code);
    } else {
      env_.FailWrite("drayjournal", 2, code, /*sticky=*/true);
    }
    const Status s = ChangeBoth(*change);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.text().find("cannot write the journal: "), std::string::npos) << s.text();
    EXPECT_FALSE(change->Commit().ok());
    env_.Clear();
    ExpectUnchanged();
    EXPECT_FALSE(JournalThere());
  }
}

TEST_F(ChangeTest, SyncFlushesTheJournalBeforeTheBaseAndTheBaseBeforeRemoval) {
  RecordingEnv env(Env::Default());
  std::unique_ptr<File> guard, data;
  ASSERT_EQ(env.Open(dir_ / "guard", OpenMode::kReadWrite, &guard, nullptr), io::kOk);
  ASSERT_EQ(env.Open(dir_ / "data", OpenMode::kReadWrite, &data, nullptr), io::kOk);
  ChangeSetup setup;
  setup.journal = dir_ / "base.drayjournal";
  setup.files = {{guard.get(), dir_ / "guard"}, {data.get(), dir_ / "data"}};
  setup.fingerprint_size = 5;
  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync);
    setup.options.sync = sync;
    env.log.clear();
    std::unique_ptr<Change> change;
    ASSERT_TRUE(Change::Begin(&env, *guard, &setup, &change).ok());
    ASSERT_TRUE(change->Append(*data, Bytes("ab")).ok());
    ASSERT_TRUE(change->Overwrite(*guard, 0, Bytes("gu"), Bytes(sync ? "GU" : "gu")).ok());
    ASSERT_TRUE(change->Commit().ok());
    const std::vector<std::string> expected =
        sync ? std::vector<std::string>{"create base.drayjournal", "syncdir",
                                        "write base.drayjournal", "sync base.drayjournal",
                                        "write data", "write base.drayjournal",
                                        "sync base.drayjournal", "write guard", "sync guard",
                                        "sync data", "remove base.drayjournal", "syncdir"}
             : std::vector<std::string>{"create base.drayjournal", "write base.drayjournal",
                                        "write data", "write base.drayjournal", "write guard",
                                        "remove base.drayjournal"};
    EXPECT_EQ(env.log, expected);
  }
}

}  // namespace
}  // namespace drayline
