// The word-wrapping line reader over a text held in memory, under each
// format's LineRules.

#include "msgbase/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace drayline {
namespace {

using Lines = std::vector<std::string>;

class MemoryText final : public TextSource {
 public:
  explicit MemoryText(std::string bytes) : bytes_(std::move(bytes)) {}
  uint8_t GetChar() override {
    return pos_ < size() ? static_cast<uint8_t>(bytes_[pos_++]) : 0;
  }
  bool EndOfText() override { return pos_ >= size(); }
  int32_t Position() const override { return pos_; }
  void SetPosition(int32_t pos) override { pos_ = pos; }

 private:
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }
  std::string bytes_;
  int32_t pos_ = 0;
};

constexpr LineRules kJam{.keep_last_byte = true, .nul_ends_line = false};
constexpr LineRules kSquish{.keep_last_byte = false, .nul_ends_line = true};

Lines Read(const std::string& text, uint16_t width, const LineRules& rules,
           bool* line_open = nullptr) {
  MemoryText source(text);
  bool open = false;
  Lines lines;
  while (!source.EndOfText() && lines.size() < 50) {
    lines.push_back(ReadTextLine(source, rules, width, &open));
  }
  if (line_open != nullptr) *line_open = open;
  return lines;
}

TEST(LineReader, WhatBothFormatsShare) {
  for (const LineRules& rules : {kJam, kSquish}) {
    SCOPED_TRACE(rules.keep_last_byte ? "jam" : "squish");
    EXPECT_EQ(Read("abc hello world xyz there\r", 19, rules),
              (Lines{"abc hello world ", "xyz there"}));
    // A continued line drops one leading space, a new line none.
    EXPECT_EQ(Read("aaaa    bbbb\r  c\r", 6, rules),
              (Lines{"aaaa  ", " bbbb", "  c"}));
    EXPECT_EQ(Read("ABCDEFGHIJKLMNOPQRSTUVWXY", 10, rules),
              (Lines{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"}));
    // Filler bytes never show; CR LF reads as CR, also at the very end.
    EXPECT_EQ(Read(std::string("o\0n\x8d" "e\r\ntwo\r\n", 10), 79, rules),
              (Lines{"one", "two"}));
    EXPECT_EQ(Read("ABCDE\rXY\r", 5, rules), (Lines{"ABCDE", "", "XY"}));
    const Lines wide = Read(std::string(300, 'w'), 1000, rules);
    EXPECT_EQ(wide, (Lines{std::string(255, 'w'), std::string(45, 'w')}));
  }
}

TEST(LineReader, WhereTheFormatsDiffer) {
  // JAM: the last byte belongs to the line that reaches it.
  EXPECT_EQ(Read("abc\r", 3, kJam), (Lines{"abc"}));
  EXPECT_EQ(Read("abc\r", 3, kSquish), (Lines{"abc", ""}));
  EXPECT_EQ(Read("ab cd", 5, kJam), (Lines{"ab cd"}));
  EXPECT_EQ(Read("ab cd", 5, kSquish), (Lines{"ab ", "cd"}));
  EXPECT_EQ(Read("abcd\n", 4, kJam), (Lines{"abcd"}));
  EXPECT_EQ(Read("abcd\n", 4, kSquish), (Lines{"abcd", ""}));
  // The end of a Squish text ends the line; a JAM line stays open.
  bool open = false;
  EXPECT_EQ(Read("one\rtwo", 79, kJam, &open), (Lines{"one", "two"}));
  EXPECT_TRUE(open);
  EXPECT_EQ(Read("one\rtwo", 79, kSquish, &open), (Lines{"one", "two"}));
  EXPECT_FALSE(open);
}

}  // namespace
}  // namespace drayline
