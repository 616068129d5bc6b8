// draybase's reading commands on a damaged base, in each format: they say
// the base is damaged, exit 1 and print no row made of what was not read.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

class DraybaseDamageTest : public testing::TestWithParam<BaseFormat> {};

TEST_P(DraybaseDamageTest, ReadersSayTheBaseIsDamagedAndExitOne) {
  TempDir dir;
  const std::string path = dir / "general", q = ShellQuote(path), err = dir / "err";
  std::unique_ptr<MessageBase> base = NewMessageBase(GetParam());
  base->SetPath(path);
  ASSERT_TRUE(base->CreateBase(0, 0) && base->OpenBase());
  for (const char* to : {"Ann", "Cid"}) {
    base->StartNewMessage();
    base->SetTo(to);
    ASSERT_EQ(base->WriteMessage(), 0);
  }
  // The last index record or entry points past the end of the file.
  const bool jam = GetParam() == BaseFormat::kJam;
  std::vector<uint8_t> index = ReadFileBytes(path + (jam ? ".jdx" : ".sqi"));
  EncodeFixed32(&index[index.size() - (jam ? 4 : 12)], 0x7FFFFF00);
  WriteFileBytes(path + (jam ? ".jdx" : ".sqi"), index);
  for (const std::string& command : {"list " + q, "show " + q + " 2", "mail " + q + " Cid"}) {
    for (const char* json : {"", " --json"}) {
      const RunResult r =
          RunCommand(ShellQuote(DRAYBASE_BIN) + " " + command + json + " 2>" + ShellQuote(err));
      const std::vector<uint8_t> said = ReadFileBytes(err);
      EXPECT_EQ(r.status, 1) << command << json;
      EXPECT_EQ(r.out, "") << command << json;
      EXPECT_NE(std::string(said.begin(), said.end()).find(path + " is damaged"),
                std::string::npos)
          << command << json;
    }
  }
  EXPECT_EQ(RunCommand(ShellQuote(DRAYBASE_BIN) + " show " + q + " 1").status, 0);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, DraybaseDamageTest,
                         testing::Values(BaseFormat::kJam, BaseFormat::kSquish));

}  // namespace
}  // namespace drayline
