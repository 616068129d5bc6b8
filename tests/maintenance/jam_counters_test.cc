// The counters of a JAM base header that each committed change moves:
// ModCounter always, ActiveMsgs only by the messages the change stored or
// deleted.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "drayline/message.h"
#include "jam/jam_base_files.h"
#include "test_util.h"

namespace drayline::jam {
namespace {

TEST(JamCountersTest, AChangeOfNoMessageLeavesActiveMsgsAlone) {
  TempDir dir;
  const std::string path = dir / "base";
  {
    Status s;
    auto base = Base::OpenOrCreate(path, BaseFormat::kJam, &s);
    ASSERT_TRUE(s.ok()) << s.text();
    Message m;
    m.from = m.to = m.subject = "x";
    m.text = "text\r";
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(base->Store(m).ok());
  }
  JamBaseFiles files(Env::Default());
  files.SetPath(path);
  ASSERT_TRUE(files.Open().ok());
  for (const auto& [delta, active] : {std::pair{0, 2u}, std::pair{+1, 3u}, std::pair{-1, 2u}}) {
    const uint32_t mods = files.BaseField(kBhModCounter);
    std::unique_ptr<Change> change;
    ASSERT_TRUE(files.BeginChange(&change).ok());
    ASSERT_TRUE(files.CommitCounted(*change, delta).ok());
    EXPECT_EQ(files.BaseField(kBhActiveMsgs), active) << delta;
    EXPECT_EQ(files.BaseField(kBhModCounter), mods + 1) << delta;
  }
}

}  // namespace
}  // namespace drayline::jam
