#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "post/text_reader.h"
#include "test_util.h"

namespace drayline {
namespace {

// Every line of the file at name, read with the given block size.
std::vector<std::string> ReadAll(Env* env, const std::string& name,
                                 size_t block_size) {
  std::unique_ptr<TextLineReader> reader;
  EXPECT_EQ(TextLineReader::Open(env, name, &reader, block_size), io::kOk);
  std::vector<std::string> lines;
  if (reader == nullptr) return lines;
  for (;;) {
    bool at_end = true;
    EXPECT_EQ(reader->AtEnd(&at_end), io::kOk);
    if (at_end) break;
    std::string line;
    EXPECT_EQ(reader->ReadLine(&line), io::kOk);
    lines.push_back(line);
  }
  EXPECT_EQ(reader->Close(), io::kOk);
  return lines;
}

void WriteText(const std::string& name, const std::string& text) {
  WriteFileBytes(name, std::vector<uint8_t>(text.begin(), text.end()));
}

using Lines = std::vector<std::string>;

// Line ends of every kind, at every position relative to the block edges:
// a CR at the end of one block and its LF at the start of the next must
// still make one line end.
TEST(TextLineReader, LineEndsOfEveryKindAtAnyBlockSize) {
  TempDir dir;
  const struct {
    std::string text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\n", {"one"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},
      {"\n\n", {"", ""}},
      {"\r\r\n\n", {"", "", ""}},  // CR, then CR LF, then LF
      {"x\n\r", {"x", ""}},        // LF then a lone CR: two line ends
  };
  for (const auto& c : cases) {
    WriteText(dir / "t", c.text);
    for (size_t block : {1, 2, 3, 5, 64 * 1024}) {
      EXPECT_EQ(ReadAll(Env::Default(), dir / "t", block), c.lines)
          << "text " << testing::PrintToString(c.text) << " block " << block;
    }
  }
}

TEST(TextLineReader, KeepsThe255FirstCharactersAndSkipsTheRest) {
  TempDir dir;
  std::string first(255, 'a');
  std::string text = first + std::string(300, 'b') + "\r\nnext\n";
  WriteText(dir / "t", text);
  for (size_t block : {7, 256, 64 * 1024}) {
    EXPECT_EQ(ReadAll(Env::Default(), dir / "t", block), Lines({first, "next"}));
  }
}

TEST(TextLineReader, ReadsInLargeBlocks) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "line " + std::to_string(i) + "\r\n";
  WriteText(dir / "t", text);
  Env* env = Env::Default();
  env->ResetCounters();
  EXPECT_EQ(ReadAll(env, dir / "t", TextLineReader::kDefaultBlockSize).size(),
            1000u);
  // The whole file (under one block) takes one read and the read that
  // finds its end.
  EXPECT_LE(env->Counters().reads, 2u);
}

TEST(TextLineReader, UnreadableNamesFailToOpen) {
  TempDir dir;
  std::unique_ptr<TextLineReader> reader;
  EXPECT_EQ(TextLineReader::Open(Env::Default(), dir / "missing", &reader),
            io::kFileNotFound);
  // A directory opens on this system but cannot be read as text.
  EXPECT_NE(TextLineReader::Open(Env::Default(), dir.path(), &reader),
            io::kOk);
  FaultEnv env;
  WriteText(dir / "t", "text\n");
  env.FailRead("t", io::kDiskWriteError);
  EXPECT_EQ(TextLineReader::Open(&env, dir / "t", &reader),
            io::kDiskWriteError);
  EXPECT_EQ(reader, nullptr);
}

}  // namespace
}  // namespace drayline
