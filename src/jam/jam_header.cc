#include "jam/jam_header.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "jam/jam_subfields.h"
#include "support/clock.h"
#include "support/dates.h"
#include "support/strings.h"

namespace drayline::jam {

namespace {

// The one table of which Attribute bit holds which flag of the interface.
// kIsReceipt has none: SetIsReceipt changes nothing in a JAM header.
struct FlagBit {
  AttributeBit flag;
  uint32_t bit;
};
constexpr std::array<FlagBit, 11> kFlagBits{{
    {AttributeBit::kLocal, kAttrLocal},
    {AttributeBit::kReceived, kAttrReceived},
    {AttributeBit::kPrivate, kAttrPrivate},
    {AttributeBit::kCrash, kAttrCrash},
    {AttributeBit::kHold, kAttrHold},
    {AttributeBit::kKillSent, kAttrKillSent},
    {AttributeBit::kSent, kAttrSent},
    {AttributeBit::kFileAttach, kAttrFileAttach},
    {AttributeBit::kReceiptRequest, kAttrReceiptRequest},
    {AttributeBit::kConfirmRequest, kAttrConfirmRequest},
    {AttributeBit::kFileRequest, kAttrFileRequest},
}};

// The flags of each byte of the low three bytes of Attribute (where every
// flag bit lies), so that a list decodes them with three lookups.
using ByteFlags = std::array<std::array<uint16_t, 256>, 3>;
constexpr ByteFlags MakeByteFlags() {
  ByteFlags table{};
  for (size_t part = 0; part < 3; ++part) {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      for (const FlagBit& f : kFlagBits) {
        if ((byte << (8 * part)) & f.bit) {
          table[part][byte] |= static_cast<uint16_t>(1u << static_cast<unsigned>(f.flag));
        }
      }
    }
  }
  return table;
}
constexpr ByteFlags kByteFlags = MakeByteFlags();
static_assert(kAttrConfirmRequest < (1u << 24), "every flag bit lies in the low three bytes");

// DateText (month-day-year, the year's last two digits) and TimeText
// (hour:minute) of a DateWritten, as dt, written at date and time. A 32-bit
// time lies in the years 1970 to 2106, so the texts are always 8 and 5
// characters long.
void PutWrittenTexts(const DateTimeRecord& dt, char* date, char* time) {
  PutTwoDigits(date, dt.Month);
  PutTwoDigits(date + 3, dt.Day);
  PutTwoDigits(date + 6, dt.Year % 100u);
  date[2] = date[5] = '-';
  PutTwoDigits(time, dt.Hour);
  PutTwoDigits(time + 3, dt.Minute);
  time[2] = ':';
}

// The same texts into strings; a list makes them for every message: they
// are written into the strings' own storage.
void SetWrittenTexts(const DateTimeRecord& dt, std::string* date, std::string* time) {
  char texts[kDateMax + kTimeMax];
  PutWrittenTexts(dt, texts, texts + kDateMax);
  OverwriteString(std::string_view(texts, kDateMax), date);
  OverwriteString(std::string_view(texts + kDateMax, kTimeMax), time);
}

// The interface's flags of an Attribute.
uint32_t AttributeFlags(uint32_t attribute) {
  return kByteFlags[0][attribute & 0xFF] | kByteFlags[1][(attribute >> 8) & 0xFF] |
         kByteFlags[2][(attribute >> 16) & 0xFF];
}

uint16_t TwoDigitField(const std::string& text, size_t pos) {
  return static_cast<uint16_t>(StrToInt(pos < text.size() ? text.substr(pos, 2) : ""));
}

}  // namespace

uint32_t KeptAttributes() {
  uint32_t mask = 0;
  for (const FlagBit& f : kFlagBits) mask |= HeaderFields::Mask(f.flag);
  return mask;
}

std::span<const uint8_t> JamHeader::Subfields() const {
  if (!loaded_) return {};
  const size_t len = std::min({static_cast<size_t>(Field(kMhSubfieldLen)),
                               length_ - kFixedHeaderSize, kSubfieldAreaSize});
  return {bytes_.get() + kFixedHeaderSize, len};
}

std::span<const uint8_t> JamHeader::Stored() const {
  const size_t len = std::min<size_t>(Field(kMhSubfieldLen), kSubfieldAreaSize);
  return {bytes_.get(), kFixedHeaderSize + len};
}

void JamHeader::StartNew() {
  std::memset(bytes_.get(), 0, kHeaderBufferSize);
  SetField(kMhMsgIdCrc, kNoCrc);
  SetField(kMhReplyCrc, kNoCrc);
  SetField(kMhPasswordCrc, kNoCrc);
  loaded_ = false;
}

void JamHeader::ClearFixed() {
  std::memset(bytes_.get(), 0, kFixedHeaderSize);
  loaded_ = false;
}

void JamHeader::SetLoaded(uint32_t offset, size_t length) {
  offset_ = offset;
  length_ = std::clamp(length, kFixedHeaderSize, kHeaderBufferSize);
  loaded_ = true;
}

void JamHeader::ToFields(HeaderFields* fields) const {
  const uint8_t* fixed = bytes_.get();
  const uint32_t attribute = DecodeFixed32(fixed + kMhAttribute);
  fields->attributes = AttributeFlags(attribute);
  fields->deleted = (attribute & kAttrDeleted) != 0;
  fields->echoed = true;
  fields->cost = static_cast<uint16_t>(DecodeFixed32(fixed + kMhCost));
  fields->reply_to = DecodeFixed32Signed(fixed + kMhReplyTo);
  fields->first_reply = DecodeFixed32Signed(fixed + kMhReply1st);
  fields->next_reply = DecodeFixed32Signed(fixed + kMhReplyNext);
  fields->text_length = DecodeFixed32Signed(fixed + kMhTxtLen);
}

DateTimeRecord JamHeader::LocalTime(uint32_t time) const {
  // A list converts DateWritten twice (texts, then dates).
  if (time == cached_time_ && cached_day_ != UINT32_MAX) return cached_time_date_;
  constexpr uint32_t kDay = 86400;
  if (time / kDay != cached_day_) {
    cached_day_ = time / kDay;
    cached_date_ = UnixToDateTime(time);
  }
  DateTimeRecord dt = cached_date_;
  const uint32_t seconds = time % kDay;
  dt.Hour = static_cast<uint16_t>(seconds / 3600);
  dt.Minute = static_cast<uint16_t>(seconds % 3600 / 60);
  dt.Second = static_cast<uint16_t>(seconds % 60);
  cached_time_ = time;
  cached_time_date_ = dt;
  return dt;
}

void JamHeader::ToDates(HeaderFields* fields) const {
  fields->stored_written = Field(kMhDateWritten);
  fields->stored_processed = Field(kMhDateProcessed);
  fields->texts_pending = fields->dates_pending = fields->texts_stored = true;
}

void JamHeader::MakeTexts(HeaderFields* fields) const {
  SetWrittenTexts(LocalTime(fields->stored_written), &fields->date_text, &fields->time_text);
}

LocalDateTime JamHeader::LocalDate(uint32_t time) const {
  if (time == 0) return LocalDateTime();
  const DateTimeRecord t = LocalTime(time);
  return LocalDateTime{t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second};
}

void JamHeader::MakeDates(HeaderFields* fields) const {
  fields->written = LocalDate(fields->stored_written);
  fields->processed = LocalDate(fields->stored_processed);
}

void JamHeader::View(HeaderView* out, HeaderDates dates, char* texts) const {
  // What ReadHeader, MakeTexts and MakeDates make of the same header.
  const uint8_t* fixed = bytes_.get();
  const uint32_t attribute = DecodeFixed32(fixed + kMhAttribute);
  const SubfieldTexts named = ViewSubfieldTexts(Subfields(), attribute);
  out->number = static_cast<int32_t>(MessageNumber());
  out->from = named.from;
  out->to = named.to;
  out->subject = named.subject;
  out->charset_control = named.charset_control;
  out->controls_viewed = true;
  const uint32_t written = DecodeFixed32(fixed + kMhDateWritten);
  PutWrittenTexts(LocalTime(written), texts, texts + kDateMax);
  out->date_text = std::string_view(texts, kDateMax);
  out->time_text = std::string_view(texts + kDateMax, kTimeMax);
  const bool read = dates == HeaderDates::kRead;
  out->written = read ? LocalDate(written) : LocalDateTime();
  out->processed = read ? LocalDate(DecodeFixed32(fixed + kMhDateProcessed)) : LocalDateTime();
  out->attributes = AttributeFlags(attribute);
  out->deleted = (attribute & kAttrDeleted) != 0;
  out->text_length = DecodeFixed32Signed(fixed + kMhTxtLen);
}

void JamHeader::ApplyFields(const HeaderFields& fields) {
  uint32_t attribute = Field(kMhAttribute);
  for (const FlagBit& f : kFlagBits) {
    attribute = fields.Has(f.flag) ? (attribute | f.bit) : (attribute & ~f.bit);
  }
  SetField(kMhAttribute, attribute);
  if (static_cast<uint16_t>(Field(kMhCost)) != fields.cost) SetField(kMhCost, fields.cost);
  SetField(kMhReplyTo, static_cast<uint32_t>(fields.reply_to));
  SetField(kMhReply1st, static_cast<uint32_t>(fields.first_reply));
  SetField(kMhReplyNext, static_cast<uint32_t>(fields.next_reply));
}

uint32_t DateWrittenFromTexts(const std::string& date, const std::string& time) {
  DateTimeRecord dt;
  dt.Month = TwoDigitField(date, 0);
  dt.Day = TwoDigitField(date, 3);
  const uint16_t year = TwoDigitField(date, 6);
  dt.Year = static_cast<uint16_t>(year < 80 ? 2000 + year : 1900 + year);
  dt.Hour = TwoDigitField(time, 0);
  dt.Minute = TwoDigitField(time, 3);
  return DateTimeToUnix(dt);
}

uint32_t UnixFromLocal(const LocalDateTime& dt) {
  if (dt == LocalDateTime()) return 0;
  return DateTimeToUnix(
      DateTimeRecord{dt.year, dt.month, dt.day, dt.hour, dt.minute, dt.second});
}

LocalDateTime LocalFromUnix(uint32_t time) {
  if (time == 0) return {};
  const DateTimeRecord dt = UnixToDateTime(time);
  return {dt.Year, dt.Month, dt.Day, dt.Hour, dt.Minute, dt.Second};
}

}  // namespace drayline::jam
