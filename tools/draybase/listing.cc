#include "draybase/listing.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <utility>

namespace draybase {

using drayline::AttributeBit;
using drayline::Charset;
using drayline::HeaderView;
using drayline::Message;
using drayline::MessageBase;

namespace {

// The attribute letters of a listing, in their order; D (deleted) last.
constexpr std::pair<AttributeBit, char> kLetters[] = {
    {AttributeBit::kLocal, 'L'},      {AttributeBit::kPrivate, 'P'},
    {AttributeBit::kReceived, 'R'},   {AttributeBit::kSent, 'S'},
    {AttributeBit::kCrash, 'C'},      {AttributeBit::kKillSent, 'K'},
    {AttributeBit::kFileAttach, 'A'}, {AttributeBit::kFileRequest, 'F'}};
// Letters a row may show: those, and D.
constexpr size_t kLetterCount = std::size(kLetters) + 1;

void AppendLetters(const Message& m, std::string* out) {
  for (const auto& [bit, letter] : kLetters) {
    if (m.Has(bit)) out->push_back(letter);
  }
  if (m.deleted) out->push_back('D');
}

enum Text : size_t { kDate, kTime, kFrom, kTo, kSubject };

// Bytes a row's number may take: an int32_t's ten digits and sign, and
// room to spare.
constexpr size_t kNumberRoom = 16;

// The bytes of s, in words of eight given to look. A word may hold some
// bytes twice (the last eight overlap those before; a shorter text is
// read as two overlapping halves), which no question asked of the bytes
// minds; an empty text gives no word.
template <typename Look>
void ForEachWord(std::string_view s, Look&& look) {
  const char* const p = s.data();
  const size_t n = s.size();
  uint64_t x;
  if (n >= 8) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&x, p + i, 8);
      look(x);
    }
    std::memcpy(&x, p + n - 8, 8);
    look(x);
    return;
  }
  if (n == 0) return;
  auto halves = [&look](auto first, auto last) {
    look(uint64_t{first} | (uint64_t{last} << 32));
  };
  if (n >= 4) {
    uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    halves(first, last);
  } else if (n >= 2) {
    uint16_t first, last;
    std::memcpy(&first, p, 2);
    std::memcpy(&last, p + n - 2, 2);
    halves(uint32_t{first} * 0x10001u, uint32_t{last} * 0x10001u);
  } else {
    const uint32_t byte = static_cast<unsigned char>(p[0]);
    halves(byte * 0x01010101u, byte * 0x01010101u);
  }
}

// Not 0 when s holds a byte outside 32..126, or (kQuotes) one of the two
// a JSON string escapes: the one question asked of nearly every text, in
// fewer steps than LookAt's three.
template <bool kQuotes>
uint64_t Unusual(std::string_view s) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  uint64_t found = 0;
  ForEachWord(s, [&](uint64_t x) {
    // 127 and above set the high bit of x or of x + 1 (a carry out of a
    // byte comes only from 255, high already); below 32 the borrow does.
    found |= (x | (x + kOnes) | ((x - kOnes * 32) & ~x)) & kHigh;
    if constexpr (kQuotes) {
      const uint64_t q = x ^ (kOnes * '"'), b = x ^ (kOnes * '\\');
      found |= ((q - kOnes) & ~q & kHigh) | ((b - kOnes) & ~b & kHigh);
    }
  });
  return found;
}

// Whether every text of m is usual (Unusual finds nothing in any).
template <bool kQuotes>
bool AllUsual(const HeaderView& m) {
  return (Unusual<kQuotes>(m.date_text) | Unusual<kQuotes>(m.time_text) |
          Unusual<kQuotes>(m.from) | Unusual<kQuotes>(m.to) | Unusual<kQuotes>(m.subject)) == 0;
}

// Looks at field->text eight bytes at a time (every message's texts are
// looked at, nearly all of them plain ASCII): bytes above 127, control
// characters, and the two a JSON string escapes besides them.
void LookAt(ListingWriter::Field* field) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  // A byte below n in x (n at most 128) sets its high bit here.
  auto below = [](uint64_t x, uint64_t n) { return (x - kOnes * n) & ~x & kHigh; };
  auto equal = [below](uint64_t x, uint64_t c) { return below(x ^ (kOnes * c), 1); };
  uint64_t high = 0, control = 0, quote = 0;
  ForEachWord(field->text, [&](uint64_t x) {
    high |= x & kHigh;
    control |= below(x, 32) | equal(x, 127);
    quote |= equal(x, '"') | equal(x, '\\');
  });
  field->ascii = high == 0;
  field->clean = control == 0;
  field->plain = quote == 0;
}

// Writes s at p with control characters as '?' (Printable); the end.
char* PutPrintable(std::string_view s, bool clean, char* p) {
  if (s.empty()) return p;  // an empty view's data may be null, which memcpy never takes
  std::memcpy(p, s.data(), s.size());
  if (!clean) {
    for (size_t i = 0; i < s.size(); ++i) {
      const auto b = static_cast<unsigned char>(p[i]);
      if (b < 32 || b == 127) p[i] = '?';
    }
  }
  return p + s.size();
}

// Writes the field at p, padded with spaces to width characters and cut
// to width when cut is set; the end. UTF-8 text beyond ASCII counts
// characters (however many bytes each takes), anything else bytes.
// *text_end receives the end of the text, before the padding.
char* PutCell(const ListingWriter::Field& f, size_t width, bool cut, char* p, char** text_end) {
  const bool chars = !f.ascii;
  std::string_view s = f.text;
  if (cut && s.size() > width) s = chars ? drayline::Utf8Prefix(s, width) : s.substr(0, width);
  p = PutPrintable(s, f.clean, p);
  *text_end = p;
  const size_t shown = chars ? drayline::Utf8Length(s) : s.size();
  if (shown < width) {
    std::memset(p, ' ', width - shown);
    p += width - shown;
  }
  return p;
}

template <size_t kWidth>
char* PutCell(const ListingWriter::Field& f, bool cut, char* p, char** text_end) {
  if (f.ascii) {
    // A byte a character: the padding goes first, in one constant store,
    // and the text over it.
    const std::string_view s = cut ? f.text.substr(0, kWidth) : f.text;
    std::memset(p, ' ', kWidth);
    *text_end = PutPrintable(s, f.clean, p);
    return p + std::max(s.size(), kWidth);
  }
  return PutCell(f, kWidth, cut, p, text_end);
}

// Writes number's decimal digits to end at end; their start. Message
// numbers are seldom negative, and are then written the general way.
char* PutDecimalBefore(int32_t number, char* end) {
  if (number < 0) {
    char digits[16];
    const auto last = std::to_chars(digits, digits + sizeof digits, number).ptr;
    return static_cast<char*>(std::memcpy(end - (last - digits), digits, last - digits));
  }
  auto n = static_cast<uint32_t>(number);
  do {
    *--end = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  return end;
}

char* Put(std::string_view s, char* p) {
  if (s.empty()) return p;  // as in PutPrintable
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

size_t Digits(int64_t number) {
  char digits[24];
  return static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr -
                             digits);
}

}  // namespace

MessageSummary Summarize(MessageBase& base) {
  MessageSummary s;
  s.number = base.GetMsgNum();
  s.from = base.GetFrom();
  s.to = base.GetTo();
  s.subject = base.GetSubject();
  s.date = base.GetDate();
  s.time = base.GetTime();
  s.local = base.IsLocal();
  s.is_private = base.IsPrivate();
  s.received = base.IsReceived();
  s.deleted = base.IsDeleted();
  s.length = base.GetTextLength();
  Message flags;
  const std::pair<AttributeBit, bool> set[] = {
      {AttributeBit::kLocal, s.local},          {AttributeBit::kPrivate, s.is_private},
      {AttributeBit::kReceived, s.received},    {AttributeBit::kSent, base.IsSent()},
      {AttributeBit::kCrash, base.IsCrash()},   {AttributeBit::kKillSent, base.IsKillSent()},
      {AttributeBit::kFileAttach, base.IsFileAttach()},
      {AttributeBit::kFileRequest, base.IsFileRequest()}};
  for (const auto& [bit, on] : set) flags.Set(bit, on);
  flags.deleted = s.deleted;
  AppendLetters(flags, &s.attributes);
  return s;
}

JsonObject SummaryJson(const MessageSummary& s) {
  JsonObject object(s.utf8 ? JsonText::kUtf8 : JsonText::kBytes);
  object.AddNumber("number", s.number)
      .AddString("from", s.from)
      .AddString("to", s.to)
      .AddString("subject", s.subject)
      .AddString("date", s.date)
      .AddString("time", s.time)
      .AddRaw("written", JsonLocalTime(s.written))
      .AddRaw("processed", JsonLocalTime(s.processed))
      .AddBool("local", s.local)
      .AddBool("private", s.is_private)
      .AddBool("received", s.received)
      .AddBool("deleted", s.deleted)
      .AddNumber("length", s.length);
  return object;
}

std::string Printable(std::string_view s) {
  std::string out(s);
  PutPrintable(s, false, out.data());
  return out;
}

ListingWriter::ListingWriter(ListingStyle style, drayline::BaseFormat format,
                             int32_t high_number, BlockOutput* out)
    : style_(style), out_(*out) {
  number_width_ = std::max(number_width_, Digits(high_number));
  if (format == drayline::BaseFormat::kSquish) time_width_ = kLongTimeWidth;
  if (style_ != ListingStyle::kPlain) return;
  HeaderView heading;
  heading.date_text = "Date";
  heading.time_text = "Time";
  heading.from = "From";
  heading.to = "To";
  heading.subject = "Subject";
  Look(heading);
  AddPlain("Num", "Attr");
}

bool ListingWriter::Look(const HeaderView& m) {
  fields_[kDate].text = m.date_text;
  fields_[kTime].text = m.time_text;
  fields_[kFrom].text = m.from;
  fields_[kTo].text = m.to;
  fields_[kSubject].text = m.subject;
  if (style_ == ListingStyle::kJson ? AllUsual<true>(m) : AllUsual<false>(m)) {
    for (Field& f : fields_) f.ascii = f.clean = f.plain = true;
    return true;
  }
  bool ascii = true;
  for (Field& f : fields_) {
    LookAt(&f);
    ascii = ascii && f.ascii;
  }
  return ascii;
}

void ListingWriter::AddLooked(const HeaderView& m, Charset charset) {
  const bool utf8 = charset != Charset::kRaw;
  // Decoding keeps the bytes below 128 as they are: what LookAt found of
  // them holds for the decoded text too.
  for (Field& f : fields_) {
    if (!utf8 || f.ascii) continue;
    f.decoded.clear();
    drayline::AppendUtf8(f.text, charset, &f.decoded);
    f.text = f.decoded;
  }
  switch (style_) {
    case ListingStyle::kPlain:
      if (!utf8) {
        for (Field& f : fields_) f.ascii = true;  // bytes count as characters
      }
      AddPlain(m);
      break;
    case ListingStyle::kJson: AddJson(m, utf8); break;
    case ListingStyle::kJsonNumbers: {
      char* p = Put(count_ == 0 ? "[\n  " : ",\n  ", out_.Room(32));
      out_.Commit(std::to_chars(p, p + 24, m.number).ptr);
      break;
    }
  }
  ++count_;
  out_.Step();
}

void ListingWriter::AddPlain(const HeaderView& m) {
  char* const begin = out_.Room(RowRoom() + kLetterCount);
  // The number right-aligned in its column, written in place; one wider
  // than the column (stored after the listing began) pushes the row on.
  std::memset(begin, ' ', kNumberRoom);
  char digits[2 * kNumberRoom];  // digits_end's kNumberRoom bytes copied whole
  char* const digits_end = digits + kNumberRoom;
  const char* const first = PutDecimalBefore(m.number, digits_end);
  const auto width = static_cast<size_t>(digits_end - first);
  char* p = begin + (width < number_width_ ? number_width_ - width : 0);
  std::memcpy(p, first, kNumberRoom);  // the digits, and bytes written over next
  p += width;
  char* subject_end = nullptr;
  p = PutCells(p, &subject_end);
  char* const letters = p + 2;
  char* q = letters;
  for (const auto& [bit, letter] : kLetters) {
    if (m.Has(bit)) *q++ = letter;
  }
  if (m.deleted) *q++ = 'D';
  // Without letters, the subject's padding and the separator would end
  // the line: it ends with the subject's text (less any spaces of its own).
  if (q == letters) {
    q = subject_end;
  } else {
    std::memcpy(p, "  ", 2);
  }
  EndRow(begin, q);
}

void ListingWriter::AddPlain(std::string_view number, std::string_view letters) {
  char* const begin = out_.Room(RowRoom() + number.size() + letters.size());
  char* p = begin;
  std::memset(p, ' ', kNumberRoom);
  if (number.size() < number_width_) p += number_width_ - number.size();
  p = Put(number, p);
  char* subject_end = nullptr;
  p = PutCells(p, &subject_end);
  EndRow(begin, letters.empty() ? subject_end : Put(letters, Put("  ", p)));
}

size_t ListingWriter::RowRoom() const {
  // Room for the longest line these texts make: every text whole, each
  // padded to its width, the separators, the number and the letters.
  size_t room = kNumberRoom + number_width_ + 40 + kDateWidth + time_width_ + 2 * kNameWidth +
                kSubjectWidth;
  for (const Field& f : fields_) room += f.text.size();
  return room;
}

char* ListingWriter::PutCells(char* p, char** subject_end) {
  p = Put("  ", p);
  char* text_end = nullptr;
  p = PutCell<kDateWidth>(fields_[kDate], false, p, &text_end);
  p = Put(" ", p);
  p = time_width_ == kLongTimeWidth
          ? PutCell<kLongTimeWidth>(fields_[kTime], false, p, &text_end)
          : PutCell<kShortTimeWidth>(fields_[kTime], false, p, &text_end);
  p = Put("  ", p);
  p = PutCell<kNameWidth>(fields_[kFrom], true, p, &text_end);
  p = Put("  ", p);
  p = PutCell<kNameWidth>(fields_[kTo], true, p, &text_end);
  p = Put("  ", p);
  return PutCell<kSubjectWidth>(fields_[kSubject], true, p, subject_end);
}

void ListingWriter::EndRow(char* begin, char* end) {
  while (end > begin && end[-1] == ' ') --end;
  *end++ = '\n';
  out_.Commit(end);
}

void ListingWriter::AddJson(const HeaderView& m, bool utf8) {
  const JsonText kind = utf8 ? JsonText::kUtf8 : JsonText::kBytes;
  size_t room = 320 + 2 * kJsonTimeRoom;  // the keys, numbers and flags
  for (const Field& f : fields_) room += JsonStringRoom(f.text);
  char* p = out_.Room(room);
  auto string = [&p, kind](const Field& f) {
    if (f.clean && f.plain && (f.ascii || kind == JsonText::kUtf8)) {
      *p++ = '"';
      p = Put(f.text, p);
      *p++ = '"';
    } else {
      p = PutJsonString(f.text, kind, p);
    }
  };
  auto number = [&p](int64_t n) { p = std::to_chars(p, p + 24, n).ptr; };
  auto flag = [&p](std::string_view key, bool on) {
    p = Put(on ? ": true" : ": false", Put(key, p));
  };
  // The keys are constants, written as they are (nothing in them to escape).
  p = Put(count_ == 0 ? "[\n  {\"number\": " : ",\n  {\"number\": ", p);
  number(m.number);
  p = Put(", \"from\": ", p);
  string(fields_[kFrom]);
  p = Put(", \"to\": ", p);
  string(fields_[kTo]);
  p = Put(", \"subject\": ", p);
  string(fields_[kSubject]);
  p = Put(", \"date\": ", p);
  string(fields_[kDate]);
  p = Put(", \"time\": ", p);
  string(fields_[kTime]);
  p = PutJsonLocalTime(m.written, Put(", \"written\": ", p));
  p = PutJsonLocalTime(m.processed, Put(", \"processed\": ", p));
  flag(", \"local\"", m.Has(AttributeBit::kLocal));
  flag(", \"private\"", m.Has(AttributeBit::kPrivate));
  flag(", \"received\"", m.Has(AttributeBit::kReceived));
  flag(", \"deleted\"", m.deleted);
  p = Put(", \"length\": ", p);
  number(m.text_length);
  *p++ = '}';
  out_.Commit(p);
}

void ListingWriter::Finish() {
  if (style_ != ListingStyle::kPlain) out_.Append(count_ == 0 ? "[]\n" : "\n]\n");
  out_.Flush();
}

}  // namespace draybase
