// Damaged JAM bases: whatever the files hold, reading never crashes or
// reads out of bounds (this suite also runs under the sanitizers), damage
// shows as an I/O status, and nothing is written back from a header that
// was not read whole.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../../fuzz/read_every_message.h"
#include "jam/jam_format.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::Bytes;
using jamtest::JamFiles;
using jamtest::Put32;
using jamtest::TestMessage;

// A base with a bit of everything: long and empty texts, addresses,
// foreign subfields, a deleted message.
JamFiles SampleBase() {
  JamFiles files;
  for (int i = 0; i < 12; ++i) {
    TestMessage m;
    m.to = i % 3 == 0 ? "Sysop" : "All";
    m.subject = "Message " + std::to_string(i);
    m.text = i == 4 ? std::string(9000, 'x') + "\r" : "Line one\r\nline two\r";
    if (i == 5) m.text.clear();
    m.extra = {{0, "1:2/3.4"}, {1, "2:250/0"}, {4, "1:2/3 abcd"}};
    files.Add(m);
  }
  files.Delete(7);
  return files;
}

class JamCorruptTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "base"; }

  // Opens the files as they are and reads everything; false when the base
  // does not open at all.
  bool ReadAll(const JamFiles& files) {
    files.Write(path_);
    auto base = NewJamMessageBase();
    base->SetPath(path_);
    if (!base->OpenBase()) return false;
    ReadEveryMessage(*base, 200);
    return true;
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(JamCorruptTest, TruncatedFilesAtEveryLength) {
  const JamFiles sample = SampleBase();
  for (Bytes JamFiles::*file : {&JamFiles::jhr, &JamFiles::jdt, &JamFiles::jdx}) {
    const size_t size = (sample.*file).size();
    for (size_t cut = 0; cut < size; cut += (cut < 1200 ? 11 : 211)) {
      JamFiles files = sample;
      (files.*file).resize(cut);
      const bool opened = ReadAll(files);
      if (file == &JamFiles::jhr && cut < jam::kBaseHeaderSize) {
        EXPECT_FALSE(opened);
      }
    }
  }
}

TEST_F(JamCorruptTest, RandomBytesAnywhere) {
  const JamFiles sample = SampleBase();
  std::mt19937 random(12345);
  const uint8_t extremes[] = {0x00, 0xFF, 0x7F, 0x80, 0x0F, 0xF0};
  for (int round = 0; round < 150; ++round) {
    JamFiles files = sample;
    Bytes& file = round % 3 == 0 ? files.jhr : round % 3 == 1 ? files.jdx : files.jdt;
    if (file.empty()) continue;
    const int changes = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < changes; ++i) {
      const size_t at = random() % file.size();
      file[at] = random() % 2 ? extremes[random() % 6] : static_cast<uint8_t>(random());
    }
    ReadAll(files);
  }
  for (size_t size : {1024u, 1100u, 5000u}) {  // all garbage
    JamFiles files;
    files.jhr.resize(size);
    files.jdx.resize(size / 3);
    files.jdt.resize(size / 2);
    for (Bytes* f : {&files.jhr, &files.jdx, &files.jdt}) {
      for (uint8_t& b : *f) b = static_cast<uint8_t>(random());
    }
    ReadAll(files);
  }
}

TEST_F(JamCorruptTest, SubfieldsRunningPastTheirArea) {
  JamFiles files;
  TestMessage m;
  m.extra = {{2, "Later sender"}};
  files.Add(m);
  files.Add(TestMessage());
  const uint32_t at = files.HeaderOffset(0) + jam::kFixedHeaderSize;
  Put32(files.jhr, at + 4, 0xFFFFFFF0);  // the recipient's DatLen
  ASSERT_TRUE(files.jhr.size() > at);
  files.Write(path_);
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.OpenBase());
  base.SeekFirst(1);
  base.ReadHeader();
  EXPECT_EQ(base.GetTo(), "");  // the walk ends at the record that overruns
  EXPECT_EQ(base.GetFrom(), "");
  base.SeekNext();
  base.ReadHeader();
  EXPECT_EQ(base.GetFrom(), "Sysop");

  // A SubfieldLen far beyond the area: only whole records of the bytes
  // read are taken.
  Put32(files.jhr, at + 4, 3);
  Put32(files.jhr, files.HeaderOffset(0) + jam::kMhSubfieldLen, 0xFFFFFFFF);
  ReadAll(files);
}

TEST_F(JamCorruptTest, TextOffsetsBeyondTheTextFile) {
  JamFiles files;
  TestMessage m;
  m.text = "abcdef\r";
  files.Add(m);
  files.Add(m);
  files.Add(m);
  Put32(files.jhr, files.HeaderOffset(0) + jam::kMhTxtOffset, 0xFFFFFF00);
  Put32(files.jhr, files.HeaderOffset(1) + jam::kMhTxtLen, 0x7FFFFFFF);
  Put32(files.jhr, files.HeaderOffset(2) + jam::kMhTxtOffset, 0x7FFFFFFF);
  Put32(files.jhr, files.HeaderOffset(2) + jam::kMhTxtLen, 0xFFFFFFFF);
  files.Write(path_);
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.OpenBase());
  std::vector<std::vector<std::string>> texts;
  for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) {
    base.ReadHeader();
    base.BeginTextRead();
    std::vector<std::string> lines;
    while (!base.EndOfText()) lines.push_back(base.GetTextLine(79));
    texts.push_back(lines);
  }
  // Cut to the file: nothing, the rest of the file from its offset, nothing.
  using Lines = std::vector<std::string>;
  EXPECT_EQ(texts, (std::vector<Lines>{{}, {"abcdef", "abcdef"}, {}}));
}

TEST_F(JamCorruptTest, HeaderOffsetsBeyondOrShortOfAWholeHeader) {
  JamFiles files;
  files.Add(TestMessage());
  files.Add(TestMessage());
  files.SetIndex(0, jam::NameChecksum("All"), 0x7FFFFF00);               // past the file
  files.SetIndex(1, jam::NameChecksum("All"), static_cast<uint32_t>(files.jhr.size() - 40));
  files.Write(path_);
  const Bytes jhr = ReadFileBytes(path_ + ".jhr");
  const Bytes jdx = ReadFileBytes(path_ + ".jdx");
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.OpenBase());
  for (int32_t num : {1, 2}) {
    base.SeekFirst(num);
    ASSERT_TRUE(base.SeekFound());
    base.ReadHeader();
    EXPECT_EQ(base.LastStatus().io_result(), io::kReadPastEnd) << num;
    EXPECT_EQ(base.GetMsgNum(), 0);
    EXPECT_EQ(base.GetFrom(), "");
    base.BeginTextRead();
    EXPECT_TRUE(base.EndOfText());
    // A header that was not read whole is never written back.
    base.SetReceived(true);
    base.RewriteHeader();
    base.DeleteMessage();
    base.ResetText();
    base.AddTextLine("new");
    base.RewriteMessage();
  }
  EXPECT_EQ(ReadFileBytes(path_ + ".jhr"), jhr);
  EXPECT_EQ(ReadFileBytes(path_ + ".jdx"), jdx);
}

TEST_F(JamCorruptTest, TornIndexRecordIsNotAMessage) {
  JamFiles files;
  files.Add(TestMessage());
  files.jdx.resize(files.jdx.size() + 5, 0x11);
  files.Write(path_);
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.OpenBase());
  EXPECT_EQ(base.GetHighMsgNum(), 1);
  base.SeekFirst(2);
  EXPECT_FALSE(base.SeekFound());
}

}  // namespace
}  // namespace drayline
