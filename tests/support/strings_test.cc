#include <gtest/gtest.h>

#include <array>

#include "support/strings.h"

namespace drayline {
namespace {

TEST(Strings, CaseAndPadding) {
  EXPECT_EQ(UpperCase("abc\xe9Z"), "ABC\xe9Z");
  EXPECT_EQ(LoCase('Q'), 'q');
  EXPECT_EQ(LoCase('1'), '1');
  EXPECT_EQ(PadLeft("7", 2, '0'), "07");
  EXPECT_EQ(PadLeft("2001", 2, '0'), "20");
  EXPECT_EQ(PadLeft("", 3, ' '), "   ");
  EXPECT_EQ(PadLeft("x", 0, ' '), "");
}

TEST(Strings, FixedFieldsNeverOverrun) {
  std::array<uint8_t, 36> field;
  field.fill('A');
  EXPECT_EQ(CStrToStr(field, 35), std::string(35, 'A'));
  field.fill('#');
  StrToCStr(std::string(40, 'n'), 35, field);
  EXPECT_EQ(CStrToStr(field, 36), std::string(34, 'n'));
  EXPECT_EQ(field[34], 0);
  EXPECT_EQ(field[35], '#');
  field.fill('#');
  StrToCStr("0123456789", 35, field);
  EXPECT_EQ(field[10], 0);
  EXPECT_EQ(field[11], '#');
  std::array<uint8_t, 4> small{1, 2, 3, 4};
  StrToCStr("abcdef", 0, small);
  EXPECT_EQ(small[0], 1);
}

}  // namespace
}  // namespace drayline
