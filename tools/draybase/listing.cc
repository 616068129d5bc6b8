#include "draybase/listing.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "draybase/lanes.h"

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

// For each value of an attribute word's low eight bits, the letters they
// give, in order, and in the last byte their count: every letter but the
// last (F) comes from those bits.
constexpr auto kLowLetters = [] {
  std::array<std::array<char, 8>, 256> table{};
  for (unsigned bits = 0; bits < 256; ++bits) {
    char count = 0;
    for (size_t i = 0; i + 1 < std::size(kLetters); ++i) {
      if (bits >> static_cast<unsigned>(kLetters[i].first) & 1) {
        table[bits][static_cast<size_t>(count++)] = kLetters[i].second;
      }
    }
    table[bits][7] = count;
  }
  return table;
}();
static_assert(std::all_of(std::begin(kLetters), std::end(kLetters) - 1,
                          [](const auto& l) { return static_cast<unsigned>(l.first) < 8; }));

// Writes m's letters at q (which has room for 16 bytes); their end.
char* PutLetters(const HeaderView& m, char* q) {
  const std::array<char, 8>& low = kLowLetters[m.attributes & 0xff];
  std::memcpy(q, low.data(), low.size());
  q += low[7];
  // The last two: stored, and kept (the end moved past) only when m has it.
  *q = kLetters[std::size(kLetters) - 1].second;
  q += m.Has(kLetters[std::size(kLetters) - 1].first);
  *q = 'D';
  return q + m.deleted;
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

constexpr Lanes kSpaces = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// The lanes of v (all set) whose byte is outside 32..126, or (kQuotes) one
// of the two a JSON string escapes. One added to a byte of 32..126 is
// 33..127; to any other, read as signed, below 33 (127 wraps to -128).
template <bool kQuotes>
Lanes UnusualLanes(Lanes v) {
  Lanes unusual = reinterpret_cast<Lanes>(reinterpret_cast<UnsignedLanes>(v) + 1) < 33;
  if constexpr (kQuotes) unusual |= (v == '"') | (v == '\\');
  return unusual;
}

// Copies the bytes of s to d and answers UnusualLanes of lanes that hold
// every byte of s (some twice, none beside them). No byte past the end of
// s is read, since a view's buffer may end there: a text shorter than a
// vector is read as two overlapping words, or halves, or single bytes.
template <bool kQuotes>
inline __attribute__((always_inline)) Lanes CopyLooking(std::string_view s, char* d) {
  const char* const p = s.data();
  const size_t n = s.size();
  if (n >= 16) {
    Lanes unusual = {};
    for (size_t i = 0; i + 16 < n; i += 16) {
      const Lanes v = Load16(p + i);
      Store16(d + i, v);
      unusual |= UnusualLanes<kQuotes>(v);
    }
    const Lanes last = Load16(p + n - 16);
    Store16(d + n - 16, last);
    return unusual | UnusualLanes<kQuotes>(last);
  }
  uint64_t first = 0x2020202020202020, second = first;  // an empty text: spaces
  if (n >= 8) {
    std::memcpy(&first, p, 8);
    std::memcpy(&second, p + n - 8, 8);
    std::memcpy(d, &first, 8);
    std::memcpy(d + n - 8, &second, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    std::memcpy(d, &a, 4);
    std::memcpy(d + n - 4, &b, 4);
    first = second = a | uint64_t{b} << 32;
  } else if (n > 0) {
    d[0] = p[0];
    d[n / 2] = p[n / 2];
    d[n - 1] = p[n - 1];
    const uint32_t a = static_cast<unsigned char>(p[0]) |
                       static_cast<unsigned char>(p[n / 2]) << 8 |
                       static_cast<unsigned char>(p[n - 1]) << 16 |
                       static_cast<unsigned char>(p[0]) << 24;
    first = second = a | uint64_t{a} << 32;
  }
  return UnusualLanes<kQuotes>(reinterpret_cast<Lanes>(LaneWords{first, second}));
}

// UnusualLanes of lanes that hold the bytes of s from from on (s holds at
// least 16, and from is at most its size).
template <bool kQuotes>
Lanes LookingFrom(std::string_view s, size_t from) {
  Lanes unusual = {};
  for (size_t i = from; i + 16 < s.size(); i += 16) {
    unusual |= UnusualLanes<kQuotes>(Load16(s.data() + i));
  }
  return unusual | UnusualLanes<kQuotes>(Load16(s.data() + s.size() - 16));
}

// Copies the first width bytes of s (all of a shorter one) to d; the
// lanes are those of all of s, as CopyLooking's.
template <size_t kWidth>
inline __attribute__((always_inline)) Lanes CopyLookingCut(std::string_view s, char* d) {
  static_assert(kWidth >= 16);
  if (s.size() <= kWidth) return CopyLooking<false>(s, d);
  return CopyLooking<false>(s.substr(0, kWidth), d) | LookingFrom<false>(s, kWidth);
}

// Writes the N - 1 bytes of the literal s at p; the end.
template <size_t N>
char* PutLiteral(const char (&s)[N], char* p) {
  std::memcpy(p, s, N - 1);
  return p + N - 1;
}

// Two digits a pair, 00 to 99.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes n's decimal digits to end at end, two at a time; their start.
char* PutDigitsBefore(uint32_t n, char* end) {
  for (; n >= 100; n /= 100) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[2 * (n % 100)], 2);
  }
  if (n >= 10) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[2 * n], 2);
  } else {
    *--end = static_cast<char>('0' + n);
  }
  return end;
}

// Writes number's decimal digits (as std::to_chars writes them) to end at
// digits + 16, followed by 16 spaces; their start. digits holds 32 bytes.
inline __attribute__((always_inline)) const char* Decimal(int32_t number, char* digits) {
  char* const end = digits + 16;
  Store16(end, kSpaces);
  if (number >= 0 && number < 100000000) {
    const uint64_t values = EightDigits(static_cast<uint32_t>(number));
    const uint64_t ascii = values + 0x3030303030303030;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(end - 8, &ascii, 8);
    } else {
      for (int i = 0; i < 8; ++i) end[i - 8] = static_cast<char>(ascii >> (8 * i));
    }
    // The leading zeros are the low bytes that are 0; a 0 keeps one.
    const int zeros = values == 0 ? 7 : __builtin_ctzll(values) / 8;
    return end - 8 + zeros;
  }
  if (number >= 0) return PutDigitsBefore(static_cast<uint32_t>(number), end);
  char sign[16];  // seldom: only a damaged base numbers a message below 0
  const auto last = std::to_chars(sign, sign + sizeof sign, number).ptr;
  return static_cast<char*>(std::memcpy(end - (last - sign), sign, last - sign));
}

// The four flags of a JSON row, for each set of them: bit 0 local, 1
// private, 2 received, 3 deleted.
struct FlagsText {
  char text[80];
  size_t size;
};
constexpr auto kFlagTexts = [] {
  constexpr const char* kKeys[] = {", \"local\": ", ", \"private\": ", ", \"received\": ",
                                   ", \"deleted\": "};
  std::array<FlagsText, 16> table{};
  for (unsigned set = 0; set < 16; ++set) {
    FlagsText& f = table[set];
    auto append = [&f](const char* s) {
      while (*s != '\0') f.text[f.size++] = *s++;
    };
    for (unsigned i = 0; i < 4; ++i) {
      append(kKeys[i]);
      append(set >> i & 1 ? "true" : "false");
    }
  }
  return table;
}();

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
    : style_(style), add_usual_(UsualWay(style)), out_(*out) {
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
  bool ascii = true;
  for (Field& f : fields_) {
    LookAt(&f);
    ascii = ascii && f.ascii;
  }
  return ascii;
}

ListingWriter::AddUsualFunction ListingWriter::UsualWay(ListingStyle style) {
  switch (style) {
    case ListingStyle::kPlain: return &ListingWriter::AddUsualPlain;
    case ListingStyle::kJson: return &ListingWriter::AddUsualJson;
    case ListingStyle::kJsonNumbers: break;
  }
  return &ListingWriter::AddNone;
}

bool ListingWriter::AddNone(const HeaderView&) { return false; }

bool ListingWriter::AddUsualPlain(const HeaderView& m) {
  // A date or time wider than its column moves the cells after it: the
  // general way, which places each cell after the one before.
  if (m.date_text.size() > kDateWidth || m.time_text.size() > time_width_) return false;
  char* const begin = out_.Room(kUsualPlainRoom + 32);
  // Spaces first, over the whole row: the separators and every cell's
  // padding, the texts written over them at their columns.
  for (size_t i = 0; i < kUsualPlainRoom; i += 16) Store16(begin + i, kSpaces);
  char digits[32];
  const char* const first = Decimal(m.number, digits);
  const auto width = static_cast<size_t>(digits + 16 - first);
  char* p = begin + (width < number_width_ ? number_width_ - width : 0);
  std::memcpy(p, first, 16);  // the digits, then spaces
  p += width + 2;
  Lanes unusual = CopyLooking<false>(m.date_text, p);
  p += kDateWidth + 1;
  unusual |= CopyLooking<false>(m.time_text, p);
  p += time_width_ + 2;
  unusual |= CopyLookingCut<kNameWidth>(m.from, p);
  p += kNameWidth + 2;
  unusual |= CopyLookingCut<kNameWidth>(m.to, p);
  p += kNameWidth + 2;
  unusual |= CopyLookingCut<kSubjectWidth>(m.subject, p);
  if (AnyLane(unusual)) return false;
  char* const letters = p + kSubjectWidth + 2;
  char* const q = PutLetters(m, letters);
  // Without letters the line ends with the subject's text, less spaces.
  EndRow(begin, q == letters ? p + std::min(m.subject.size(), kSubjectWidth) : q);
  return true;
}

bool ListingWriter::AddUsualJson(const HeaderView& m) {
  const size_t texts =
      m.from.size() + m.to.size() + m.subject.size() + m.date_text.size() + m.time_text.size();
  char* const begin = out_.Room(kUsualJsonRoom + texts);
  Lanes unusual = {};
  auto text = [&unusual](std::string_view s, char* p) __attribute__((always_inline)) {
    unusual |= CopyLooking<true>(s, p);
    return p + s.size();
  };
  char digits[32];
  auto number = [&digits](int32_t n, char* p) {
    const char* const first = Decimal(n, digits);
    std::memcpy(p, first, 16);  // the digits, and spaces written over next
    return p + (digits + 16 - first);
  };
  // The keys are constants, written as they are.
  char* p = number(m.number, PutLiteral(",\n  {\"number\": ", begin));
  if (count_ == 0) *begin = '[';
  p = text(m.from, PutLiteral(", \"from\": \"", p));
  p = text(m.to, PutLiteral("\", \"to\": \"", p));
  p = text(m.subject, PutLiteral("\", \"subject\": \"", p));
  p = text(m.date_text, PutLiteral("\", \"date\": \"", p));
  p = text(m.time_text, PutLiteral("\", \"time\": \"", p));
  if (AnyLane(unusual)) return false;
  p = PutJsonLocalTime(m.written, PutLiteral("\", \"written\": ", p));
  p = PutJsonLocalTime(m.processed, PutLiteral(", \"processed\": ", p));
  // The four flags, copied whole from their set's text.
  const FlagsText& flags =
      kFlagTexts[m.Has(AttributeBit::kLocal) | m.Has(AttributeBit::kPrivate) << 1 |
                 m.Has(AttributeBit::kReceived) << 2 | m.deleted << 3];
  std::memcpy(p, flags.text, sizeof flags.text);
  p = number(m.text_length, PutLiteral(", \"length\": ", p + flags.size));
  *p++ = '}';
  out_.Commit(p);
  return true;
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
  char digits[32];
  const char* const first = Decimal(m.number, digits);
  const auto width = static_cast<size_t>(digits + 16 - first);
  char* p = begin + (width < number_width_ ? number_width_ - width : 0);
  std::memcpy(p, first, 16);  // the digits, and spaces written over next
  p += width;
  char* subject_end = nullptr;
  p = PutCells(p, &subject_end);
  char* const letters = p + 2;
  char* const q = PutLetters(m, letters);
  // Without letters, the subject's padding and the separator would end
  // the line: it ends with the subject's text (less any spaces of its own).
  if (q != letters) std::memcpy(p, "  ", 2);
  EndRow(begin, q == letters ? subject_end : q);
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
