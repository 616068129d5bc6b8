// draybase repair run as a sysop runs it: its exit statuses, its backup
// (or none with --no-backup), and what it prints.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

class DraybaseRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto base = NewJamMessageBase();
    base->SetPath(base_);
    ASSERT_TRUE(base->CreateBase(0, 0));
    ASSERT_TRUE(base->OpenBase());
    base->StartNewMessage();
    base->SetFrom("Sysop");
    base->SetTo("All");
    base->SetSubject("Hello");
    base->AddTextLine("Hello, world.");
    ASSERT_EQ(base->WriteMessage(), 0);
    base->CloseBase();
  }
  RunResult Repair(const std::string& args) const {
    return RunCommand(ShellQuote(DRAYBASE_BIN) + " repair " + args + " 2>/dev/null");
  }
  // ActiveMsgs off by one: damage that loses no message.
  void Damage() const {
    std::vector<uint8_t> jhr = ReadFileBytes(base_ + ".jhr");
    EncodeFixed32(jhr.data() + 12, 2);
    WriteFileBytes(base_ + ".jhr", jhr);
  }
  // The backup directories beside the base.
  int Backups() const {
    return RunCommand("ls -d " + ShellQuote(base_) + "-backup-* 2>/dev/null | wc -l").out[0] - '0';
  }

  TempDir dir_;
  const std::string base_ = dir_ / "general";
};

TEST_F(DraybaseRepairTest, ExitStatusesAndBackups) {
  struct Case {
    std::string args;
    bool damage;
    int status;
    int backups;  // directories beside the base afterwards
    std::string line;
  };
  const std::string base = ShellQuote(base_);
  const std::vector<Case> cases = {
      {"", false, 2, 0, ""},
      {base + " --force", false, 2, 0, ""},
      {ShellQuote(dir_ / "none"), false, 2, 0, ""},  // no base there
      {base, false, 0, 0, base_ + ": sound, nothing to repair\n"},
      {base + " --no-backup", true, 0, 0, base_ + ": repaired (1 messages kept, 0 dropped)\n"},
      // --sync is the program's, wherever it stands before "--".
      {"--sync " + base + " --no-backup", true, 0, 0, base_ + ": repaired (1 messages kept, 0 dropped)\n"},
      {base, true, 0, 1, base_ + ": repaired (1 messages kept, 0 dropped)\n"},
      {base, false, 0, 1, base_ + ": sound, nothing to repair\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    if (c.damage) Damage();
    const RunResult r = Repair(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.out.ends_with(c.line)) << r.out;
    EXPECT_EQ(Backups(), c.backups);
  }
}

TEST_F(DraybaseRepairTest, ABaseThatCannotBeWrittenFails) {
  Damage();
  const std::string jhr = base_ + ".jhr";
  ASSERT_EQ(RunCommand("mv " + ShellQuote(jhr) + " " + ShellQuote(jhr + ".x") + " && mkdir " +
                       ShellQuote(jhr))
                .status,
            0);
  const RunResult r = Repair(ShellQuote(base_) + " --no-backup");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(": not repaired: "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace drayline
