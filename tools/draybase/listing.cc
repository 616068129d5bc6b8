#include "draybase/listing.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

namespace draybase {

using drayline::AttributeBit;
using drayline::Charset;
using drayline::Message;
using drayline::MessageBase;

namespace {

// The attribute letters of a listing, in their order; D (deleted) last.
constexpr std::pair<AttributeBit, char> kLetters[] = {
    {AttributeBit::kLocal, 'L'},      {AttributeBit::kPrivate, 'P'},
    {AttributeBit::kReceived, 'R'},   {AttributeBit::kSent, 'S'},
    {AttributeBit::kCrash, 'C'},      {AttributeBit::kKillSent, 'K'},
    {AttributeBit::kFileAttach, 'A'}, {AttributeBit::kFileRequest, 'F'}};

void AppendLetters(const Message& m, std::string* out) {
  for (const auto& [bit, letter] : kLetters) {
    if (m.Has(bit)) out->push_back(letter);
  }
  if (m.deleted) out->push_back('D');
}

enum Text : size_t { kDate, kTime, kFrom, kTo, kSubject };

// Looks at field->text eight bytes at a time (every message's texts are
// looked at, nearly all of them plain ASCII): bytes above 127, control
// characters, and the two a JSON string escapes besides them.
void LookAt(ListingWriter::Field* field) {
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  // A byte below n in x (n at most 128) sets its high bit here.
  auto below = [](uint64_t x, uint64_t n) { return (x - kOnes * n) & ~x & kHigh; };
  auto equal = [below](uint64_t x, uint64_t c) { return below(x ^ (kOnes * c), 1); };
  const std::string_view s = field->text;
  uint64_t high = 0, control = 0, quote = 0;
  auto look = [&](uint64_t x) {
    high |= x & kHigh;
    control |= below(x, 32) | equal(x, 127);
    quote |= equal(x, '"') | equal(x, '\\');
  };
  if (s.size() >= 8) {
    uint64_t x;
    for (size_t i = 0; i + 8 <= s.size(); i += 8) {
      std::memcpy(&x, s.data() + i, 8);
      look(x);
    }
    // The last eight bytes, some of them looked at twice.
    std::memcpy(&x, s.data() + s.size() - 8, 8);
    look(x);
  } else {
    // Fewer than eight, padded with spaces (plain ASCII, found by none).
    uint64_t x = kOnes * ' ';
    for (size_t i = 0; i < s.size(); ++i) {
      x = (x << 8) | static_cast<unsigned char>(s[i]);
    }
    look(x);
  }
  field->ascii = high == 0;
  field->clean = control == 0;
  field->plain = quote == 0;
}

// Writes s at p with control characters as '?' (Printable); the end.
char* PutPrintable(std::string_view s, bool clean, char* p) {
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
char* PutCell(const ListingWriter::Field& f, size_t width, bool cut, char* p) {
  const bool chars = !f.ascii;
  std::string_view s = f.text;
  if (cut && s.size() > width) s = chars ? drayline::Utf8Prefix(s, width) : s.substr(0, width);
  p = PutPrintable(s, f.clean, p);
  const size_t shown = chars ? drayline::Utf8Length(s) : s.size();
  if (shown < width) {
    std::memset(p, ' ', width - shown);
    p += width - shown;
  }
  return p;
}

char* Put(std::string_view s, char* p) {
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
  if (format == drayline::BaseFormat::kSquish) time_width_ = 8;  // with seconds
  if (style_ != ListingStyle::kPlain) return;
  Message heading;
  heading.date_text = "Date";
  heading.time_text = "Time";
  heading.from = "From";
  heading.to = "To";
  heading.subject = "Subject";
  Look(heading);
  AddPlain("Num", "Attr");
}

bool ListingWriter::Look(const Message& m) {
  const std::string* texts[] = {&m.date_text, &m.time_text, &m.from, &m.to, &m.subject};
  bool ascii = true;
  for (size_t i = 0; i < 5; ++i) {
    fields_[i].text = *texts[i];
    LookAt(&fields_[i]);
    ascii = ascii && fields_[i].ascii;
  }
  return ascii;
}

void ListingWriter::AddLooked(const Message& m, Charset charset) {
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
    case ListingStyle::kJsonNumbers:
      out_.buffer().append(count_ == 0 ? "[\n  " : ",\n  ");
      AppendDecimal(m.number, &out_.buffer());
      break;
  }
  ++count_;
  out_.Step();
}

void ListingWriter::AddPlain(const Message& m) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, m.number).ptr;
  char letters[16];
  size_t count = 0;
  for (const auto& [bit, letter] : kLetters) {
    if (m.Has(bit)) letters[count++] = letter;
  }
  if (m.deleted) letters[count++] = 'D';
  AddPlain(std::string_view(digits, static_cast<size_t>(end - digits)),
           std::string_view(letters, count));
}

void ListingWriter::AddPlain(std::string_view number, std::string_view letters) {
  std::string& out = out_.buffer();
  const size_t start = out.size();
  // Room for the longest line these texts make: every text whole, each
  // padded to its width, the separators, the number and the letters.
  size_t room = number_width_ + number.size() + 40 + date_width_ + time_width_ +
                2 * kNameWidth + kSubjectWidth;
  for (const Field& f : fields_) room += f.text.size();
  out.resize(start + room);
  char* const begin = out.data() + start;
  char* p = begin;
  if (number.size() < number_width_) {
    std::memset(p, ' ', number_width_ - number.size());
    p += number_width_ - number.size();
  }
  p = Put(number, p);
  p = Put("  ", p);
  p = PutCell(fields_[kDate], date_width_, false, p);
  p = Put(" ", p);
  p = PutCell(fields_[kTime], time_width_, false, p);
  p = Put("  ", p);
  p = PutCell(fields_[kFrom], kNameWidth, true, p);
  p = Put("  ", p);
  p = PutCell(fields_[kTo], kNameWidth, true, p);
  p = Put("  ", p);
  p = PutCell(fields_[kSubject], kSubjectWidth, true, p);
  p = Put("  ", p);
  p = Put(letters, p);
  while (p > begin && p[-1] == ' ') --p;
  *p++ = '\n';
  out.resize(static_cast<size_t>(p - out.data()));
}

void ListingWriter::AddJson(const Message& m, bool utf8) {
  const JsonText kind = utf8 ? JsonText::kUtf8 : JsonText::kBytes;
  std::string& out = out_.buffer();
  const size_t start = out.size();
  size_t room = 320 + 2 * kJsonTimeRoom;  // the keys, numbers and flags
  for (const Field& f : fields_) room += JsonStringRoom(f.text);
  out.resize(start + room);
  char* p = out.data() + start;
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
  out.resize(static_cast<size_t>(p - out.data()));
}

void ListingWriter::Finish() {
  if (style_ != ListingStyle::kPlain) out_.buffer().append(count_ == 0 ? "[]\n" : "\n]\n");
  out_.Flush();
}

}  // namespace draybase
