// The composed text: in memory, spilled to a scratch file, and its limits.

#include "msgbase/spilling_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"

namespace drayline {
namespace {

std::string Contents(const SpillingText& text) {
  std::vector<uint8_t> bytes(text.Size());
  EXPECT_TRUE(text.ReadAt(0, bytes).ok());
  return std::string(bytes.begin(), bytes.end());
}

void Add(SpillingText& text, const std::string& bytes) {
  for (char c : bytes) text.Append(static_cast<uint8_t>(c));
}

TEST(SpillingText, LongTextsSpillAndReadBackWhole) {
  FaultEnv env;
  SpillingText text(&env, ComposeRules{.in_memory = 10});
  std::string expected;
  for (int i = 0; i < 95; ++i) expected.push_back(static_cast<char>('a' + i % 26));
  Add(text, expected);
  ASSERT_TRUE(text.status().ok());
  EXPECT_EQ(Contents(text), expected);
  // A range across the spilled part and the part in memory.
  std::vector<uint8_t> middle(20);
  ASSERT_TRUE(text.ReadAt(85, std::span(middle).first(10)).ok());
  EXPECT_EQ(std::string(middle.begin(), middle.begin() + 10), expected.substr(85));
  EXPECT_EQ(text.ReadAt(90, middle).code(), StatusCode::kInvalidArgument);
  text.Clear();
  Add(text, "new");
  EXPECT_EQ(Contents(text), "new");
}

TEST(SpillingText, ASpillFileThatFailsFailsTheText) {
  FaultEnv env;
  env.FailOpen("<temporary>", io::kDiskWriteError);
  SpillingText text(&env, ComposeRules{.in_memory = 4});
  Add(text, "abcdefgh");
  EXPECT_EQ(text.status().io_result(), io::kDiskWriteError);
  std::vector<uint8_t> bytes(text.Size());
  EXPECT_FALSE(text.ReadAt(0, bytes).ok());
  env.Clear();
  text.Clear();
  Add(text, "abcdefgh");
  EXPECT_EQ(Contents(text), "abcdefgh");
}

TEST(SpillingText, BeyondItsCapacityATextDropsOrFails) {
  FaultEnv env;
  SpillingText dropping(&env, ComposeRules{.capacity = 3, .overflow_fails = false});
  Add(dropping, "abcdef");
  EXPECT_TRUE(dropping.status().ok());
  EXPECT_EQ(Contents(dropping), "abc");
  SpillingText failing(&env, ComposeRules{.capacity = 3, .overflow_fails = true});
  Add(failing, "abcdef");
  EXPECT_EQ(failing.status().code(), StatusCode::kWriteFailed);
}

}  // namespace
}  // namespace drayline
