#include <gtest/gtest.h>

#include <string>

#include "jam/jam_message_base.h"

namespace drayline {
namespace {

// A path longer than a short string is kept whole: a cut path would put
// the base's files somewhere else.
TEST(JamPath, PathsBeyond255CharactersAreKeptWhole) {
  std::string path;
  while (path.size() < 300) path += "directory_level/";
  path += "general";
  JamMessageBase base;
  base.SetPath(path);
  EXPECT_EQ(base.Path(), path);
}

}  // namespace
}  // namespace drayline
