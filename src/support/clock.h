// Readings of the clock, packed date-times, date and time texts and number
// text.
//
// The clock itself is the file layer's (Env::LocalNow), so that tests set
// the time by wrapping the Env. No time zone is applied anywhere: the clock
// is read as local time and every value made from it shows local time.

#ifndef DRAYLINE_SUPPORT_CLOCK_H_
#define DRAYLINE_SUPPORT_CLOCK_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace drayline {

class Env;

struct DateTimeRecord {
  uint16_t Year = 0;
  uint16_t Month = 0;
  uint16_t Day = 0;
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
};

// 32 bits: year-1980 (7), month (4), day (5), hour (5), minute (6), second/2 (5).
using PackedDateTime = uint32_t;

PackedDateTime PackDateTime(const DateTimeRecord& dt);
DateTimeRecord UnpackDateTime(PackedDateTime packed);

// One reading of env's local clock, unpacked or packed.
DateTimeRecord CurrentLocalDateTime(Env* env);
PackedDateTime CurrentPackedDateTime(Env* env);

std::string IntToStr(int32_t n);
// The whole text as one number (decimal, $hex or %binary, optional sign,
// spaces around it removed); anything else gives 0.
int32_t StrToInt(std::string_view s);
std::string StripLeading(std::string_view s, char c);
std::string StripTrailing(std::string_view s, char c);
std::string StripBoth(std::string_view s, char c);
std::string TwoDigitText(uint16_t n);
// The date styles of DateString. Style 0 is the program's default style,
// which is no style: the text is empty.
constexpr uint8_t kNoDateStyle = 0;
constexpr uint8_t kMonthDayYear = 1;  // MM/DD/YY
constexpr uint8_t kDayMonthYear = 2;  // DD/MM/YY
constexpr uint8_t kYearDayMonth = 3;  // YY/DD/MM
// The date in style; "" for kNoDateStyle and for any unknown style.
std::string DateString(PackedDateTime packed, uint8_t style);
// "HH:MM:SS", or in twelve-hour form "HH:MMa" / "HH:MMp".
std::string TimeString(PackedDateTime packed, bool twelve_hour);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_CLOCK_H_
