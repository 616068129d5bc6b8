#include "support/clock.h"

#include <algorithm>
#include <cstdint>

#include "support/env.h"

namespace drayline {

PackedDateTime PackDateTime(const DateTimeRecord& dt) {
  // Fields are added unmasked: an out-of-range value spills over.
  return (static_cast<uint32_t>(dt.Year - 1980) << 25) +
         (static_cast<uint32_t>(dt.Month) << 21) +
         (static_cast<uint32_t>(dt.Day) << 16) +
         (static_cast<uint32_t>(dt.Hour) << 11) +
         (static_cast<uint32_t>(dt.Minute) << 5) + dt.Second / 2u;
}

DateTimeRecord UnpackDateTime(PackedDateTime p) {
  DateTimeRecord dt;
  dt.Second = static_cast<uint16_t>((p & 0x1F) * 2);
  dt.Minute = static_cast<uint16_t>((p >> 5) & 0x3F);
  dt.Hour = static_cast<uint16_t>((p >> 11) & 0x1F);
  dt.Day = static_cast<uint16_t>((p >> 16) & 0x1F);
  dt.Month = static_cast<uint16_t>((p >> 21) & 0x0F);
  dt.Year = static_cast<uint16_t>(((p >> 25) & 0x7F) + 1980);
  return dt;
}

DateTimeRecord CurrentLocalDateTime(Env* env) { return env->LocalNow(); }

PackedDateTime CurrentPackedDateTime(Env* env) {
  return PackDateTime(env->LocalNow());
}

std::string IntToStr(int32_t n) { return std::to_string(n); }

std::string StripLeading(std::string_view s, char c) {
  size_t i = 0;
  while (i < s.size() && s[i] == c) ++i;
  return std::string(s.substr(i));
}

std::string StripTrailing(std::string_view s, char c) {
  size_t n = s.size();
  while (n > 0 && s[n - 1] == c) --n;
  return std::string(s.substr(0, n));
}

std::string StripBoth(std::string_view s, char c) {
  return StripTrailing(StripLeading(s, c), c);
}

namespace {

int DigitValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return 99;
}

}  // namespace

int32_t StrToInt(std::string_view s) {
  std::string t = StripBoth(s, ' ');
  size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int base = 10;
  if (i < t.size() && t[i] == '$') {
    base = 16;
    ++i;
  } else if (i < t.size() && t[i] == '%') {
    base = 2;
    ++i;
  }
  if (i >= t.size()) return 0;
  const uint64_t limit = base == 10 ? (negative ? 2147483648ull : 2147483647ull)
                                    : 0xFFFFFFFFull;
  uint64_t value = 0;
  for (; i < t.size(); ++i) {
    int d = DigitValue(t[i]);
    if (d >= base) return 0;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (value > limit) return 0;
  }
  uint32_t bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

std::string TwoDigitText(uint16_t n) {
  std::string s = IntToStr(n);
  return s.size() == 1 ? "0" + s : s;
}

std::string DateString(PackedDateTime packed, uint8_t style) {
  DateTimeRecord dt = UnpackDateTime(packed);
  std::string mm = TwoDigitText(dt.Month);
  std::string dd = TwoDigitText(dt.Day);
  std::string year = IntToStr(dt.Year);
  std::string yy = year.size() >= 4 ? year.substr(2, 2) : year.substr(std::min<size_t>(2, year.size()));
  switch (style) {
    case kMonthDayYear:
      return mm + "/" + dd + "/" + yy;
    case kDayMonthYear:
      return dd + "/" + mm + "/" + yy;
    case kYearDayMonth:
      return yy + "/" + dd + "/" + mm;
    default:
      return "";
  }
}

std::string TimeString(PackedDateTime packed, bool twelve_hour) {
  DateTimeRecord dt = UnpackDateTime(packed);
  if (!twelve_hour) {
    return TwoDigitText(dt.Hour) + ":" + TwoDigitText(dt.Minute) + ":" +
           TwoDigitText(dt.Second);
  }
  if (dt.Hour >= 12) {
    uint16_t h = dt.Hour == 12 ? 12 : static_cast<uint16_t>(dt.Hour - 12);
    return TwoDigitText(h) + ":" + TwoDigitText(dt.Minute) + "p";
  }
  uint16_t h = dt.Hour == 0 ? 12 : dt.Hour;
  return TwoDigitText(h) + ":" + TwoDigitText(dt.Minute) + "a";
}

}  // namespace drayline
