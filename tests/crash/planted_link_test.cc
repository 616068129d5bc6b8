// A symbolic link planted in place of a base file or a last-read file never
// redirects a write: the base does not open (nor is it created over the
// link), the pointer is not stored, and the link's target is untouched.

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class PlantedLinkTest : public testing::TestWithParam<BaseFormat> {
 protected:
  bool jam() const { return GetParam() == BaseFormat::kJam; }
  std::unique_ptr<MessageBase> Base() {
    std::unique_ptr<MessageBase> base = NewMessageBase(GetParam());
    base->SetPath(path_);
    return base;
  }
  // Replaces the base's file ext by a link to a file outside the base.
  void Plant(const std::string& ext) {
    std::remove((path_ + ext).c_str());
    ASSERT_EQ(symlink(target_.c_str(), (path_ + ext).c_str()), 0);
  }

  TempDir dir_;
  std::string path_ = dir_ / "base";
  std::string target_ = dir_ / "precious";
};

TEST_P(PlantedLinkTest, NoFileOfTheBaseIsWrittenThroughALink) {
  const std::string guard = jam() ? ".jhr" : ".sqd";
  const std::string last_read = jam() ? ".jlr" : ".sql";
  const struct {
    const char* ext;
    bool before_create;  // planted where no base was yet
  } cases[] = {{guard.c_str(), false}, {guard.c_str(), true}, {last_read.c_str(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + (c.before_create ? " before the base" : ""));
    for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr", ".sqd", ".sqi", ".sql"}) {
      std::remove((path_ + ext).c_str());
    }
    WriteFileBytes(target_, Bytes("keep these bytes"));
    if (!c.before_create) {
      std::unique_ptr<MessageBase> base = Base();
      ASSERT_TRUE(base->CreateBase(0, 0));
    }
    Plant(c.ext);
    std::unique_ptr<MessageBase> base = Base();
    if (std::string(c.ext) == guard) {
      // As drayline does: open, else create and open.
      EXPECT_FALSE(base->OpenBase());
      if (!c.before_create) {
        EXPECT_NE(base->LastStatus().text().find("is a symbolic link"), std::string::npos)
            << base->LastStatus().text();
      }
      EXPECT_FALSE(base->CreateBase(0, 0) && base->OpenBase());
    } else {
      ASSERT_TRUE(base->OpenBase());
      base->SetLastRead(1, 5);
      EXPECT_NE(base->LastStatus().text().find("is a symbolic link"), std::string::npos)
          << base->LastStatus().text();
    }
    EXPECT_EQ(ReadFileBytes(target_), Bytes("keep these bytes"));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PlantedLinkTest,
                         testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         [](const testing::TestParamInfo<BaseFormat>& info) {
                           return std::string(info.param == BaseFormat::kJam ? "Jam" : "Squish");
                         });

}  // namespace
}  // namespace drayline
