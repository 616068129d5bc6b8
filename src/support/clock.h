// The clock, packed date-times and number text.
//
// No time zone is applied anywhere: the clock is read as local time and
// every value made from it shows local time.

#ifndef DRAYLINE_SUPPORT_CLOCK_H_
#define DRAYLINE_SUPPORT_CLOCK_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace drayline {

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

// The current-time routine is a seam: tests install their own clock.
using LocalClock = DateTimeRecord (*)();
// Installs clock (nullptr restores the system clock); returns the old one.
LocalClock SetLocalClock(LocalClock clock);
// One reading of the local clock.
DateTimeRecord CurrentLocalDateTime();
PackedDateTime CurrentPackedDateTime();

// Process-wide style used when DateString is asked for style 0.
uint8_t DefaultDateStyle();
void SetDefaultDateStyle(uint8_t style);

std::string IntToStr(int32_t n);
// The whole text as one number (decimal, $hex or %binary, optional sign,
// spaces around it removed); anything else gives 0.
int32_t StrToInt(std::string_view s);
std::string StripLeading(std::string_view s, char c);
std::string StripTrailing(std::string_view s, char c);
std::string StripBoth(std::string_view s, char c);
std::string TwoDigitText(uint16_t n);
// Style 1 MM/DD/YY, 2 DD/MM/YY, 3 YY/DD/MM, 0 the default style, else "".
std::string DateString(PackedDateTime packed, uint8_t style);
// "HH:MM:SS", or in twelve-hour form "HH:MMa" / "HH:MMp".
std::string TimeString(PackedDateTime packed, bool twelve_hour);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_CLOCK_H_
