#include "support/dates.h"

#include "support/strings.h"

namespace drayline {

namespace {
constexpr int32_t kJulianBase = 1721119;
constexpr int32_t kUnixEpochDay = 2440588;
}  // namespace

int32_t DateToJulianDay(const DateTimeRecord& record) {
  int32_t y = record.Year;
  int32_t m = record.Month;
  if (m <= 2) {
    y -= 1;
    m += 12;
  }
  m -= 3;
  int32_t c = y / 100;
  int32_t a = y % 100;
  return (c * 146097) / 4 + (a * 1461) / 4 + (m * 153 + 2) / 5 + record.Day +
         kJulianBase;
}

void JulianDayToDate(int32_t day, uint16_t* year, uint16_t* month,
                     uint16_t* day_of_month) {
  int32_t t = (day - kJulianBase) * 4 - 1;
  int32_t c = t / 146097;
  int32_t d = (t % 146097) | 3;
  int32_t y = d / 1461;
  int32_t u = (((d % 1461) + 4) / 4) * 5 - 3;
  int32_t m = u / 153;
  int32_t dd = ((u % 153) + 5) / 5;
  if (m >= 10) {
    y += 1;
    m -= 12;
  }
  m += 3;
  *year = static_cast<uint16_t>(c * 100 + y);
  *month = static_cast<uint16_t>(m);
  *day_of_month = static_cast<uint16_t>(dd);
}

DateTimeRecord UnixToDateTime(UnixTime time) {
  DateTimeRecord dt;
  JulianDayToDate(static_cast<int32_t>(time / 86400u) + kUnixEpochDay, &dt.Year,
                  &dt.Month, &dt.Day);
  uint32_t r = time % 86400u;
  dt.Hour = static_cast<uint16_t>(r / 3600);
  r %= 3600;
  dt.Minute = static_cast<uint16_t>(r / 60);
  dt.Second = static_cast<uint16_t>(r % 60);
  return dt;
}

UnixTime DateTimeToUnix(const DateTimeRecord& record) {
  // Unsigned arithmetic: the bit pattern is the count of seconds up to 2106.
  uint32_t days = static_cast<uint32_t>(DateToJulianDay(record) - kUnixEpochDay);
  return days * 86400u + record.Hour * 3600u + record.Minute * 60u +
         record.Second;
}

UnixTime PackedToUnix(PackedDateTime packed) {
  return DateTimeToUnix(UnpackDateTime(packed));
}

std::string MonthAbbrev(uint16_t month) {
  static const char* const kNames[] = {"Jan", "Feb", "Mar", "Apr",
                                       "May", "Jun", "Jul", "Aug",
                                       "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return "???";
  return kNames[month - 1];
}

std::string FormatDateMask(const DateTimeRecord& record,
                           std::string_view mask) {
  std::string out(mask);
  const std::string up = UpperCase(mask);
  std::string year = PadLeft(IntToStr(record.Year), 4, '0');
  if (up.find("YYYY") == std::string::npos) year = year.substr(2, 2);
  struct Token {
    const char* name;
    std::string value;
  };
  const Token tokens[] = {
      {"DD", PadLeft(IntToStr(record.Day), 2, '0')},
      {"YY", year},
      {"MM", PadLeft(IntToStr(record.Month), 2, '0')},
      {"HH", PadLeft(IntToStr(record.Hour), 2, ' ')},
      {"SS", PadLeft(IntToStr(record.Second), 2, '0')},
      {"II", PadLeft(IntToStr(record.Minute), 2, '0')},
      {"NNN", MonthAbbrev(record.Month)},
  };
  for (const Token& token : tokens) {
    size_t at = up.find(token.name);
    if (at == std::string::npos) continue;
    // The value never runs past the end of the mask.
    for (size_t i = 0; i < token.value.size() && at + i < out.size(); ++i) {
      out[at + i] = token.value[i];
    }
  }
  return out;
}

}  // namespace drayline
