// draybase's text output: what << writes, and that the first failed write
// is kept with its reason while later writes are dropped.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "draybase/output.h"

namespace draybase {
namespace {

TEST(TextOutTest, TextsCharactersAndIntegersOfEveryWidth) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    TextOut out(file);
    out << "a" << std::string("b") << std::string_view("c") << 'd' << ' ' << 0 << ' ' << -1
        << ' ' << std::numeric_limits<int64_t>::min() << ' '
        << std::numeric_limits<uint64_t>::max() << ' ' << uint16_t{65535} << ' '
        << int32_t{-2147483647 - 1} << ' ' << size_t{42};
    EXPECT_TRUE(out.Flush());
    EXPECT_EQ(out.error(), 0);
  }
  std::rewind(file);
  char read[128] = {};
  const size_t n = std::fread(read, 1, sizeof read - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(read, n),
            "abcd 0 -1 -9223372036854775808 18446744073709551615 65535 -2147483648 42");
}

TEST(TextOutTest, TheFirstFailureIsKeptAndLaterWritesAreDropped) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);  // every write reaches the device
  TextOut out(full);
  EXPECT_FALSE(out.Write("x", 1));
  EXPECT_EQ(out.error(), ENOSPC);
  errno = 0;
  out << "more";
  EXPECT_EQ(errno, 0) << "a write after the failure reached the file";
  EXPECT_FALSE(out.Flush());
  EXPECT_EQ(out.error(), ENOSPC);
  std::fclose(full);
}

}  // namespace
}  // namespace draybase
