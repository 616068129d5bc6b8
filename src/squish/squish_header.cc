#include "squish/squish_header.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "support/dates.h"
#include "support/strings.h"

namespace drayline::squish {

namespace {

// The stored bit of each attribute flag, in AttributeBit order.
constexpr std::array<uint32_t, 12> kAttributeMasks = {
    kAttrLocal,          kAttrReceived,       kAttrPrivate,   kAttrCrash,
    kAttrHold,           kAttrKillSent,       kAttrSent,      kAttrFileAttach,
    kAttrReceiptRequest, kAttrConfirmRequest, kAttrIsReceipt, kAttrFileRequest};

uint32_t KnownMask() {
  uint32_t mask = kAttrNotEchoed;
  for (uint32_t m : kAttributeMasks) mask |= m;
  return mask;
}

// The stored attribute word: raw's unknown bits, the flags and the echo
// bit (which says "already passed on", the opposite of SetEchoed).
uint32_t StoredAttributes(const HeaderFields& f, uint32_t raw) {
  uint32_t word = raw & ~KnownMask();
  for (size_t i = 0; i < kAttributeMasks.size(); ++i) {
    if (f.attributes & (uint32_t{1} << i)) word |= kAttributeMasks[i];
  }
  if (!f.echoed) word |= kAttrNotEchoed;
  return word;
}

uint32_t AttributeBits(uint32_t word) {
  uint32_t bits = 0;
  for (size_t i = 0; i < kAttributeMasks.size(); ++i) {
    if (word & kAttributeMasks[i]) bits |= uint32_t{1} << i;
  }
  return bits;
}

// The number in characters pos+1 and pos+2 of text, 0 when there is none.
uint16_t TwoDigitsAt(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0;
  return static_cast<uint16_t>(StrToInt(std::string_view(text).substr(pos, 2)));
}

DateTimeRecord FromTexts(const std::string& date, const std::string& time) {
  DateTimeRecord written;
  written.Month = TwoDigitsAt(date, 0);
  written.Day = TwoDigitsAt(date, 3);
  const uint16_t year = TwoDigitsAt(date, 6);
  written.Year = static_cast<uint16_t>(year > 79 ? 1900 + year : 2000 + year);
  written.Hour = TwoDigitsAt(time, 0);
  written.Minute = TwoDigitsAt(time, 3);
  return written;
}

DateTimeRecord RecordOf(const LocalDateTime& t) {
  return DateTimeRecord{t.year, t.month, t.day, t.hour, t.minute, t.second};
}

// A packed value of 0 is no date: it reads as all zero, and all zero
// stores as 0.
// The bytes of field before its first NUL (at most max_len) into *out,
// whose storage is reused: a list loads every header.
void AssignCStr(std::span<const uint8_t> field, size_t max_len, std::string* out) {
  const size_t n = std::min(field.size(), max_len);
  const auto* nul = static_cast<const uint8_t*>(std::memchr(field.data(), 0, n));
  const size_t len = nul == nullptr ? n : static_cast<size_t>(nul - field.data());
  out->assign(reinterpret_cast<const char*>(field.data()), len);
}

// "aa/bb/cc" into *out, whose storage is reused.
void AssignDateText(unsigned a, unsigned b, unsigned c, std::string* out) {
  char text[8];
  PutTwoDigits(text, a);
  PutTwoDigits(text + 3, b);
  PutTwoDigits(text + 6, c);
  text[2] = text[5] = '/';
  OverwriteString(std::string_view(text, sizeof text), out);
}

LocalDateTime LocalOf(uint32_t stored) {
  if (stored == 0) return {};
  DateTimeRecord r = UnpackDateTime(SwapPackedHalves(stored));
  return LocalDateTime{r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second};
}

uint32_t StoredDate(const DateTimeRecord& r) {
  return SwapPackedHalves(PackDateTime(r));
}

uint32_t StoredDate(const LocalDateTime& t) {
  return t == LocalDateTime{} ? 0 : StoredDate(RecordOf(t));
}

void StoreDates(const HeaderFields& f, const DateTimeRecord& now,
                SquishMessageHeader* h) {
  std::string ftsc;
  if (f.exact_dates) {
    const DateTimeRecord w = RecordOf(f.written);
    ftsc = FormatDateMask(w, "DD NNN YY  ") + TwoDigitText(w.Hour) + ":" +
           TwoDigitText(w.Minute) + ":" + TwoDigitText(w.Second);
    h->DateWritten = StoredDate(f.written);
    h->DateArrived = f.processed == LocalDateTime{} ? StoredDate(now)
                                                    : StoredDate(f.processed);
  } else {
    const std::string date = Fit(f.date_text, kDateTextChars);
    const std::string time = Fit(f.time_text, kDateTextChars);
    const DateTimeRecord written = FromTexts(date, time);
    ftsc = FormatDateMask(written, "DD NNN YY  ") + time.substr(0, 5) + ":00";
    h->DateWritten = StoredDate(written);
    h->DateArrived = StoredDate(now);
  }
  StrToCStr(ftsc, kFtscDateSize, h->FtscDate);
}

void StoreReplies(const HeaderFields& f, SquishMessageHeader* h) {
  h->ReplyTo = f.reply_to;
  h->Replies = f.replies;
  h->Replies[0] = f.first_reply;
}

}  // namespace

void FieldsOfHeader(const SquishMessageHeader& h, int32_t text_length,
                    HeaderFields* fields) {
  HeaderFields& f = *fields;
  AssignCStr(h.FromName, kNameLimit, &f.from);
  AssignCStr(h.ToName, kNameLimit, &f.to);
  AssignCStr(h.Subject, kSubjectLimit, &f.subject);
  f.stored_written = h.DateWritten;
  f.stored_processed = h.DateArrived;
  f.texts_pending = f.dates_pending = f.texts_stored = true;
  // What the format does not hold reads as a new header's.
  f.cost = 0;
  f.next_reply = 0;
  f.deleted = false;
  f.mail_type = MailType::Local;
  f.exact_dates = false;
  f.orig = h.OrigAddress;
  f.dest = h.DestAddress;
  f.reply_to = h.ReplyTo;
  f.first_reply = h.Replies[0];
  f.replies = h.Replies;
  f.attributes = AttributeBits(h.Attributes);
  f.echoed = (h.Attributes & kAttrNotEchoed) == 0;
  f.text_length = text_length;
}

void MakeDateTexts(HeaderFields* fields, uint8_t style) {
  // DateString's and TimeString's texts, made in place (a list makes them
  // for every message): every field of a packed date is below 100, and
  // its year (1980 to 2107) gives its last two digits.
  const DateTimeRecord dt = UnpackDateTime(SwapPackedHalves(fields->stored_written));
  const unsigned yy = dt.Year % 100u;
  std::string& date = fields->date_text;
  switch (style) {
    case kMonthDayYear: AssignDateText(dt.Month, dt.Day, yy, &date); break;
    case kDayMonthYear: AssignDateText(dt.Day, dt.Month, yy, &date); break;
    case kYearDayMonth: AssignDateText(yy, dt.Day, dt.Month, &date); break;
    default: date.clear();
  }
  char time[8];
  PutTwoDigits(time, dt.Hour);
  PutTwoDigits(time + 3, dt.Minute);
  PutTwoDigits(time + 6, dt.Second);
  time[2] = time[5] = ':';
  OverwriteString(std::string_view(time, sizeof time), &fields->time_text);
}

void MakeLocalDates(HeaderFields* fields) {
  fields->written = LocalOf(fields->stored_written);
  fields->processed = LocalOf(fields->stored_processed);
}

SquishMessageHeader NewMessageHeader(const HeaderFields& f,
                                     const DateTimeRecord& now) {
  SquishMessageHeader h;
  h.Attributes = StoredAttributes(f, 0);
  StrToCStr(Fit(f.from), kNameLimit, h.FromName);
  StrToCStr(Fit(f.to), kNameLimit, h.ToName);
  StrToCStr(Fit(f.subject), kSubjectLimit, h.Subject);
  h.OrigAddress = f.orig;
  h.DestAddress = f.dest;
  StoreReplies(f, &h);
  StoreDates(f, now, &h);
  return h;
}

void ApplyChangedFields(const HeaderFields& loaded, const HeaderFields& changed,
                        SquishMessageHeader* h) {
  // A name is written only when it changed, so that the bytes after its
  // NUL (and a field without one) stay as stored.
  if (changed.from != loaded.from) StrToCStr(Fit(changed.from), kNameLimit, h->FromName);
  if (changed.to != loaded.to) StrToCStr(Fit(changed.to), kNameLimit, h->ToName);
  if (changed.subject != loaded.subject) {
    StrToCStr(Fit(changed.subject), kSubjectLimit, h->Subject);
  }
  h->OrigAddress = changed.orig;
  h->DestAddress = changed.dest;
  StoreReplies(changed, h);
  h->Attributes = StoredAttributes(changed, h->Attributes);
}

std::string StoredTo(const SquishMessageHeader& h) {
  return CStrToStr(h.ToName, kNameLimit);
}

}  // namespace drayline::squish
