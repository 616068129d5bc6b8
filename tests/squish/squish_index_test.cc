// The index table's cost does not grow with the base: a post reads the
// index once under the lock and writes only the entry it adds, and a mark
// taken for undo copies only the entries changed since the read, yet puts
// every entry back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "squish/squish_index.h"
#include "squish/squish_test_util.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

// The file-layer calls and bytes of one post into a base of n messages.
IoCounters PostInto(const std::string& path, int n) {
  BuildBase(path, n);
  ClockEnv clock({2026, 12, 6, 1, 18, 0});
  auto base = NewSquishMessageBase(&clock);
  base->SetPath(path);
  EXPECT_TRUE(base->OpenBase());
  Env::Default()->ResetCounters();
  EXPECT_EQ(Post(*base, "All", {"one more"}), 0);
  const IoCounters counters = Env::Default()->Counters();
  EXPECT_EQ(ReadBase(path).error, "");
  return counters;
}

TEST(SquishIndexCostTest, PostWritesTheSameWhateverTheBaseHolds) {
  TempDir dir;
  const IoCounters small = PostInto(dir / "small", 3);
  const IoCounters large = PostInto(dir / "large", 4000);
  // The same calls, and the same bytes written (journal included): one
  // entry of the index, never the entries before it.
  EXPECT_EQ(large.reads, small.reads);
  EXPECT_EQ(large.writes, small.writes);
  EXPECT_EQ(large.bytes_written, small.bytes_written);
  // The index is read whole once, under the lock, and nothing else of it.
  EXPECT_EQ(large.bytes_read - small.bytes_read,
            (4000u - 3u) * kIndexEntrySize);
}

TEST(SquishIndexCostTest, MarkHoldsOnlyChangedEntriesAndRestoresAll) {
  TempDir dir;
  std::vector<SquishIndexEntry> entries;
  std::vector<uint8_t> bytes(5 * kIndexEntrySize);
  for (int i = 0; i < 5; ++i) {
    entries.push_back({256 + 100 * i, i + 1, uint32_t(1000 + i)});
    EncodeIndexEntry(entries.back(), bytes.data() + i * kIndexEntrySize);
  }
  WriteFileBytes(dir / "x.sqi", bytes);
  std::unique_ptr<File> file;
  ASSERT_EQ(Env::Default()->Open(dir / "x.sqi", OpenMode::kReadWrite, &file),
            io::kOk);
  SquishIndex index;
  ASSERT_TRUE(index.Read(file.get(), "x.sqi").ok());
  const SquishIndex::Mark read = index.Snapshot();
  EXPECT_TRUE(read.entries.empty());

  ASSERT_TRUE(index.Grow());
  const SquishIndexEntry added{999, 6, 6};
  index.Append(added);
  const SquishIndex::Mark appended = index.Snapshot();
  EXPECT_EQ(appended.entries, std::vector<SquishIndexEntry>{added});

  // Changes before the mark's entries, then back to each mark.
  index.MutableAt(2, 6)->Uid = 77;
  index.Remove(1);
  EXPECT_EQ(index.At(1, 5)->Uid, 77);
  index.Restore(appended);
  std::vector<SquishIndexEntry> expected = entries;
  expected.push_back(added);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(*index.At(k, 6), expected[k - 1]) << k;
  index.Remove(3);
  index.Restore(read);
  ASSERT_EQ(index.count(), 5);
  for (int k = 1; k <= 5; ++k) EXPECT_EQ(*index.At(k, 5), entries[k - 1]) << k;
  EXPECT_EQ(index.FindUid(5, 5), 5);
}

}  // namespace
}  // namespace drayline
