// Several processes posting into one Squish base at once lose nothing: the
// lock on byte 0 of the data file serializes their stores, and creating a
// missing base is safe against the others doing the same.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "squish/squish_test_util.h"
#include "test_util.h"

namespace drayline {
namespace {

// Forks n children that wait until all are started, then run body(i); the
// child's exit status is 0 when body returns true.
void RunAtOnce(int n, const std::function<bool(int)>& body) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) > 0) {
      }
      _exit(body(i) ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);  // everyone starts now
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

std::string Text(int child, int k) {
  return "child " + std::to_string(child) + " message " + std::to_string(k);
}

void ExpectEveryPost(const std::string& path, int children, int posts) {
  BaseContents c = ReadBase(path);
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), size_t(children * posts));
  std::set<std::string> texts;
  for (const StoredMessage& m : c.messages) texts.insert(m.text);
  EXPECT_EQ(texts.size(), size_t(children * posts));
  for (int i = 0; i < children; ++i) {
    for (int k = 0; k < posts; ++k) {
      EXPECT_TRUE(texts.count(Text(i, k) + "\r" + std::string(1, '\0')));
    }
  }
  EXPECT_EQ(c.header.NextUid, children * posts + 1);
}

bool PostMany(const std::string& path, int child, int posts) {
  auto base = NewSquishMessageBase();
  if (!OpenOrCreate(*base, path)) return false;
  for (int k = 0; k < posts; ++k) {
    if (Post(*base, "All", {Text(child, k)}) != 0) return false;
  }
  base->CloseBase();
  return true;
}

TEST(SquishConcurrencyTest, EightProcessesPostingFiftyEach) {
  TempDir dir;
  const std::string path = dir / "busy";
  auto base = NewSquishMessageBase();
  ASSERT_TRUE(OpenOrCreate(*base, path));
  base->CloseBase();
  RunAtOnce(8, [&](int i) { return PostMany(path, i, 50); });
  ExpectEveryPost(path, 8, 50);
}

TEST(SquishConcurrencyTest, MissingBaseCreatedByManyAtOnce) {
  TempDir dir;
  const std::string path = dir / "fresh";
  RunAtOnce(8, [&](int i) { return PostMany(path, i, 50); });
  ExpectEveryPost(path, 8, 50);
}

}  // namespace
}  // namespace drayline
