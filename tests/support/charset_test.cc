#include "drayline/charset.h"

#include <gtest/gtest.h>

namespace drayline {
namespace {

TEST(CharsetTest, DecodesEachCodePageUpperHalf) {
  struct Case {
    Charset charset;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {Charset::kCp437, "\x82\xC9\xCD\xBB\xE1\xFF", "é╔═╗ß\u00A0"},
      {Charset::kCp437, "\x9E\xFB\xFC", "₧√ⁿ"},
      {Charset::kCp850, "\x9B\xB5\xD5\xF0", "øÁı\u00AD"},
      {Charset::kCp866, "\x80\xAF\xB0\xE0\xEF\xF0\xFC", "Ап░ряЁ№"},
      {Charset::kIso8859_1, "caf\xE9 \xA0", "café \u00A0"},
      {Charset::kIso8859_5, "\xB0\xD0\xA1\xF1\xF0\xFD\xFF", "АаЁё№§џ"},
      {Charset::kUtf8, "caf\xC3\xA9", "café"},
      {Charset::kUtf8, "a\xC3(\xED\xA0\x80\xF5", "a\uFFFD(\uFFFD\uFFFD\uFFFD\uFFFD"},
      {Charset::kRaw, "\x82\x01", "\x82\x01"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToUtf8(c.bytes, c.charset), c.utf8) << c.bytes;
  }
}

TEST(CharsetTest, EveryByteOfEveryCodePageGivesValidUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (Charset cs : {Charset::kCp437, Charset::kCp850, Charset::kCp866,
                     Charset::kIso8859_1, Charset::kIso8859_5, Charset::kUtf8}) {
    const std::string utf8 = ToUtf8(all, cs);
    // Decoding valid UTF-8 again changes nothing, and every byte is one
    // character.
    EXPECT_EQ(ToUtf8(utf8, Charset::kUtf8), utf8);
    EXPECT_EQ(Utf8Length(utf8), 256u);
  }
}

TEST(CharsetTest, NamesAndControlLines) {
  EXPECT_EQ(CharsetFromName("ibmpc"), Charset::kCp437);
  EXPECT_EQ(CharsetFromName("Latin-1"), Charset::kIso8859_1);
  EXPECT_EQ(CharsetFromName("utf-8"), Charset::kUtf8);
  EXPECT_EQ(CharsetFromName("raw"), Charset::kRaw);
  EXPECT_EQ(CharsetFromName("EBCDIC"), std::nullopt);

  EXPECT_EQ(CharsetOfText("\x01MSGID: 1:2/3 4\r\x01" "CHRS: CP866 2\rHi\r"),
            Charset::kCp866);
  EXPECT_EQ(CharsetOfText("\x01PID: x\x01" "CHARSET: LATIN-1"), Charset::kIso8859_1);
  EXPECT_EQ(CharsetOfText("CHRS: CP866 2\r"), std::nullopt);  // not a control line
  EXPECT_EQ(CharsetOfText("\x01" "CHRS: KOI8-Q 2\r"), std::nullopt);
  EXPECT_EQ(CharsetOfText(""), std::nullopt);
  // A control line kept without its byte 1: its first line counts too.
  EXPECT_EQ(CharsetOfControl("chrs: CP866 2"), Charset::kCp866);
  EXPECT_EQ(CharsetOfControl("PID: x\x01" "CHRS: LATIN-1 2"), Charset::kIso8859_1);
  EXPECT_EQ(CharsetOfControl("\x01" "CHRS: CP866 2"), Charset::kCp866);
  EXPECT_TRUE(ControlHasCharsetLine("CHRS: KOI8-Q 2"));
  EXPECT_EQ(CharsetOfControl("CHRS: KOI8-Q 2\x01" "CHRS: CP866 2"), std::nullopt);  // the first
  EXPECT_FALSE(ControlHasCharsetLine("PID: CHRS: CP866"));
  EXPECT_FALSE(ControlHasCharsetLine(""));
}

TEST(CharsetTest, PrefixNeverCutsACharacter) {
  const std::string text = "a╔é";  // 1 + 3 + 2 bytes
  EXPECT_EQ(Utf8Length(text), 3u);
  EXPECT_EQ(Utf8Prefix(text, 0), "");
  EXPECT_EQ(Utf8Prefix(text, 2), "a╔");
  EXPECT_EQ(Utf8Prefix(text, 3), text);
  EXPECT_EQ(Utf8Prefix(text, 9), text);
}

}  // namespace
}  // namespace drayline
