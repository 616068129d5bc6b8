// Date arithmetic: UnixTime and Julian day numbers, month names and the
// date-mask formatter.
//
// UnixTime values made from the local clock count local time as if it were
// universal time; they are unsigned 32-bit, so dates after 2038-01-19 stay
// right (up to 2106).

#ifndef DRAYLINE_SUPPORT_DATES_H_
#define DRAYLINE_SUPPORT_DATES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "support/clock.h"

namespace drayline {

using UnixTime = uint32_t;

int32_t DateToJulianDay(const DateTimeRecord& record);
void JulianDayToDate(int32_t day, uint16_t* year, uint16_t* month,
                     uint16_t* day_of_month);
DateTimeRecord UnixToDateTime(UnixTime time);
UnixTime DateTimeToUnix(const DateTimeRecord& record);
UnixTime PackedToUnix(PackedDateTime packed);
// "Jan" .. "Dec"; "???" for any other month.
std::string MonthAbbrev(uint16_t month);
// Fills the first DD, YY (or YYYY), MM, HH, SS, II and NNN of mask, in
// either case; everything else of the mask is kept.
std::string FormatDateMask(const DateTimeRecord& record, std::string_view mask);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_DATES_H_
