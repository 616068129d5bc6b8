// draybase pack, purge and link as a sysop runs them: a base or a whole
// board, options in both forms, usage errors, a damaged base, --json and
// the exit statuses.

#include <gtest/gtest.h>

#include <string>

#include "drayline/message.h"
#include "test_util.h"

namespace drayline {
namespace {

class MaintenanceCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand(ShellQuote(DRAYBASE_BIN) + " newboard " + ShellQuote(board_)).status, 0);
    for (const char* name : {"general", "chatter"}) {
      Status s;
      auto base = Base::Open(board_ + "/msgs/" + name, &s);
      if (base == nullptr) {
        base = Base::OpenOrCreate(board_ + "/msgs/" + name,
                                  name[0] == 'g' ? BaseFormat::kJam : BaseFormat::kSquish, &s);
      }
      ASSERT_TRUE(s.ok()) << s.text();
      for (int i = 1; i <= 4; ++i) {
        Message m;
        m.subject = i == 1 ? "Topic" : "Re: Topic";
        m.text = std::string(size_t(50 * i), 'x') + "\r";
        ASSERT_TRUE(base->Store(m).ok());
      }
      ASSERT_TRUE(base->Delete(2).ok());
    }
  }
  RunResult Run(const std::string& args) {
    return RunCommand(ShellQuote(DRAYBASE_BIN) + " " + args + " 2>&1", board_);
  }

  TempDir dir_;
  std::string board_ = dir_ / "board";
};

TEST_F(MaintenanceCommandTest, BasesBoardsOptionsAndStatuses) {
  struct Case {
    std::string args;
    int status;
    std::string shown;  // a piece of what is printed
  } cases[] = {
      {"pack", 2, "give one BASE, or --board DIR"},
      {"pack msgs/general --board .", 2, "give one BASE"},
      {"pack --board . --max-age 3", 2, "unknown option"},
      {"purge msgs/general --max-msgs=x", 2, "takes a number"},
      {"pack msgs/nothing", 2, "no message base"},
      {"pack --board . --dry-run", 0, "msgs/chatter: 3 kept, 1 removed"},
      {"link --board=. --dry-run", 0, "msgs/general: 3 kept, 0 removed, 0 renumbered, 3 relinked"},
      {"pack msgs/general --renumber --json", 0, "\"renumbered\": 2"},
      {"purge --board .", 0, "msgs/general: no MaxMsgs or MaxAge in mbases.dat: left alone"},
      {"purge msgs/chatter --max-msgs 1 --keep-unreceived", 0, "3 kept, 0 removed"},
      {"purge msgs/chatter --max-msgs=1", 0, "1 kept, 2 removed (2 purged)"},
      {"link msgs/general --json", 0, "\"relinked\": 3"},
  };
  for (const Case& c : cases) {
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.shown), std::string::npos) << c.args << "\n" << r.out;
  }
  // A damaged base is refused; the board's other base is still done.
  WriteFileBytes(board_ + "/msgs/general.jdx", {1, 2, 3});
  const RunResult r = Run("pack --board . --json");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("draybase repair"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"base\": \"./msgs/chatter\", \"kept\": 1"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace drayline
