#include "draybase/transfer_json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <cstdio>
#include "draybase/output.h"
#include <limits>

#include "draybase/base64.h"
#include "draybase/json.h"
#include "drayline/check.h"

namespace draybase {

namespace {

using drayline::AttributeBit;
using drayline::BaseFormat;
using drayline::Charset;
using drayline::ExportedMessage;
using drayline::JamSubfieldValue;
using drayline::LastReadValue;
using drayline::LocalDateTime;

// In AttributeBit order.
constexpr std::array<std::string_view, 12> kAttributeNames = {
    "local", "received", "private", "crash", "hold", "kill_sent",
    "sent", "file_attach", "receipt_request", "confirm_request", "is_receipt", "file_request"};

struct CharsetEntry {
  Charset charset;
  std::string_view name;
};
constexpr CharsetEntry kCharsets[] = {
    {Charset::kRaw, "raw"},          {Charset::kCp437, "CP437"},       {Charset::kCp850, "CP850"},
    {Charset::kCp866, "CP866"},      {Charset::kIso8859_1, "LATIN-1"}, {Charset::kIso8859_5, "ISO-8859-5"},
    {Charset::kUtf8, "UTF-8"},
};

std::string Utf8String(std::string_view utf8) { return JsonString(utf8, JsonText::kUtf8); }

// ---- Writing a message line ----
//
// Export writes a line for every message of a base, so each line is
// written through a pointer into one buffer the caller keeps: the keys with
// their punctuation are constants, room is made once for a run of fields
// of bounded size (a warm buffer never grows), and no field makes a string
// of its own unless its text needs decoding.

// Pieces written at p, which has room for them; each answers the end of
// what it wrote.
template <size_t N>
char* PutLiteral(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}
char* PutRaw(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}
constexpr size_t kNumberRoom = kDecimalRoom;
char* PutNumber(char* p, int64_t n) {
  if (n >= 0 && n < 10) {  // most numbers of most messages
    *p = static_cast<char>('0' + n);
    return p + 1;
  }
  return PutDecimal(n, p);
}
// A JAM checksum field: most hold none, all ones.
char* PutChecksum(char* p, uint32_t crc) {
  if (crc != UINT32_MAX) return PutNumber(p, crc);
  return PutLiteral(p, "4294967295");
}
// A key of at most 24 characters with its quotes, colon and the comma
// before it, and a number.
constexpr size_t kFieldRoom = 30 + kNumberRoom;

// Writes a line into the block output: room is taken a few KiB at a time
// and asked for a run of pieces of bounded size at once, so that most
// lines take it once; Finish keeps what was written.
class LineWriter {
 public:
  explicit LineWriter(BlockOutput* out) : out_(*out) {}
  void Finish() { out_.Commit(p_); }

  // Room for n bytes after what is written; Advance(end) keeps those
  // written there, up to end.
  char* Room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) Take(n);
    return p_;
  }
  void Advance(char* end) { p_ = end; }

  template <size_t N>
  void Literal(const char (&text)[N]) {
    Advance(PutLiteral(Room(N - 1), text));
  }
  void Raw(std::string_view text) { Advance(PutRaw(Room(text.size()), text)); }
  void String(std::string_view text, JsonText kind) {
    Advance(PutJsonString(text, kind, Room(JsonStringRoom(text))));
  }

 private:
  static constexpr size_t kTake = 2048;  // within the slack above a block
  void Take(size_t n) {
    if (p_ != nullptr) out_.Commit(p_);
    const size_t size = std::max(n, kTake);
    p_ = out_.Room(size);
    end_ = p_ + size;
  }

  BlockOutput& out_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

// PutText for bytes that are not all ASCII: their text decoded from the
// set, and their base64 when the text does not give them back.
__attribute__((noinline)) void PutDecodedText(std::string_view bytes, std::string_view key_base64,
                                              const TextCodec& codec, LineWriter* w) {
  const std::string text = codec.Decode(bytes);
  w->String(text, JsonText::kUtf8);
  if (codec.Encode(text) == bytes) return;
  w->Raw(key_base64);
  w->String(EncodeBase64(bytes), JsonText::kBytes);
}

// The text of bytes as a JSON string, then (with key_base64, say
// ", \"from_base64\": ") the bytes themselves when the text does not give
// them back.
inline void PutText(std::string_view bytes, std::string_view key_base64, const TextCodec& codec,
                    LineWriter* w) {
  // ASCII is itself in every set: most texts need no decoding.
  if (char* end = PutAsciiJsonString(bytes, w->Room(JsonStringRoom(bytes)))) {
    w->Advance(end);
    return;
  }
  PutDecodedText(bytes, key_base64, codec, w);
}

// As FormatAddress writes it (zone:net/node, .point when not 0, at most 20
// characters) in quotes: its characters need no escape.
constexpr size_t kAddressRoom = 2 + 4 * 6;  // four 16-bit numbers, separators
char* PutAddress(char* p, const drayline::NetAddress& a) {
  constexpr size_t kAddressMax = 20, kDigits = 5;
  *p++ = '"';
  char* const text = p;
  p = std::to_chars(p, p + kDigits, a.zone).ptr;
  *p++ = ':';
  p = std::to_chars(p, p + kDigits, a.net).ptr;
  *p++ = '/';
  p = std::to_chars(p, p + kDigits, a.node).ptr;
  if (a.point != 0) {
    *p++ = '.';
    p = std::to_chars(p, p + kDigits, a.point).ptr;
  }
  p = text + std::min(static_cast<size_t>(p - text), kAddressMax);
  *p++ = '"';
  return p;
}

// Every name in quotes with a comma between, in brackets.
constexpr size_t kAttributesRoom = 2 + 12 * (4 + 16);
char* PutAttributeList(char* p, uint32_t bits) {
  *p++ = '[';
  // Only the bits that are set, lowest first.
  for (bits &= (uint32_t{1} << kAttributeNames.size()) - 1; bits != 0; bits &= bits - 1) {
    const auto i = static_cast<size_t>(std::countr_zero(bits));
    if (p[-1] != '[') p = PutLiteral(p, ", ");
    *p++ = '"';
    p = PutRaw(p, kAttributeNames[i]);
    *p++ = '"';
  }
  *p++ = ']';
  return p;
}

void PutJam(const drayline::JamPart& jam, const TextCodec& codec, LineWriter* w) {
  char* p = w->Room(13 * kFieldRoom);
  p = PutNumber(PutLiteral(p, "{\"revision\": "), jam.revision);
  p = PutNumber(PutLiteral(p, ", \"reserved_word\": "), jam.reserved_word);
  p = PutNumber(PutLiteral(p, ", \"times_read\": "), jam.times_read);
  p = PutChecksum(PutLiteral(p, ", \"msgid_crc\": "), jam.msgid_crc);
  p = PutChecksum(PutLiteral(p, ", \"reply_crc\": "), jam.reply_crc);
  p = PutNumber(PutLiteral(p, ", \"date_written\": "), jam.date_written);
  p = PutNumber(PutLiteral(p, ", \"date_received\": "), jam.date_received);
  p = PutNumber(PutLiteral(p, ", \"date_processed\": "), jam.date_processed);
  p = PutNumber(PutLiteral(p, ", \"attribute\": "), jam.attribute);
  p = PutNumber(PutLiteral(p, ", \"attribute2\": "), jam.attribute2);
  p = PutChecksum(PutLiteral(p, ", \"password_crc\": "), jam.password_crc);
  p = PutNumber(PutLiteral(p, ", \"cost\": "), jam.cost);
  w->Advance(PutLiteral(p, ", \"subfields\": ["));
  for (size_t i = 0; i < jam.subfields.size(); ++i) {
    const JamSubfieldValue& sf = jam.subfields[i];
    p = w->Room(3 * kFieldRoom);
    if (i > 0) p = PutLiteral(p, ", ");
    p = PutNumber(PutLiteral(p, "{\"kind\": "), sf.kind);
    p = PutNumber(PutLiteral(p, ", \"hi_id\": "), sf.hi_id);
    w->Advance(PutLiteral(p, ", \"data\": "));
    PutText(sf.data, ", \"data_base64\": ", codec, w);
    w->Literal("}");
  }
  w->Literal("]}");
}

// The control lines without their byte 1, or control_base64 when the
// information is not such lines alone.
void PutControl(std::string_view control, const TextCodec& codec, LineWriter* w) {
  w->Literal(", \"control\": [");
  // Lines split at each byte 1 give the information back when it starts
  // with one and every line's text encodes to its bytes (ASCII always does).
  bool whole = control.empty() || control[0] == '\x01';
  for (size_t pos = 0; pos < control.size();) {
    const size_t end = std::min(control.find('\x01', pos + 1), control.size());
    const std::string_view line = control.substr(pos + 1, end - pos - 1);
    if (pos > 0) w->Literal(", ");
    if (char* ascii_end = PutAsciiJsonString(line, w->Room(JsonStringRoom(line)))) {
      w->Advance(ascii_end);
    } else {
      const std::string text = codec.Decode(line);
      w->String(text, JsonText::kUtf8);
      whole = whole && codec.Encode(text) == line;
    }
    pos = end;
  }
  w->Literal("]");
  if (whole) return;
  w->Literal(", \"control_base64\": ");
  w->String(EncodeBase64(control), JsonText::kBytes);
}

void PutSquish(const drayline::SquishPart& squish, const TextCodec& codec, LineWriter* w) {
  char* p = w->Room(6 * kFieldRoom);
  p = PutNumber(PutLiteral(p, "{\"attributes\": "), squish.attributes);
  p = PutNumber(PutLiteral(p, ", \"date_written\": "), squish.date_written);
  p = PutNumber(PutLiteral(p, ", \"date_arrived\": "), squish.date_arrived);
  p = PutNumber(PutLiteral(p, ", \"utc_offset\": "), squish.utc_offset);
  p = PutNumber(PutLiteral(p, ", \"message_uid\": "), squish.message_uid);
  w->Advance(PutLiteral(p, ", \"ftsc_date\": "));
  PutText(squish.ftsc_date, ", \"ftsc_date_base64\": ", codec, w);
  PutControl(squish.control, codec, w);
  w->Literal("}");
}

// The fields from written to replies, each of bounded size.
constexpr size_t kMiddleRoom = 2 * (kFieldRoom + kJsonTimeRoom) + kFieldRoom + kAttributesRoom +
                               2 * (kFieldRoom + kAddressRoom) + 4 * kFieldRoom +
                               9 * (2 + kNumberRoom);
char* PutMiddle(char* p, const ExportedMessage& m) {
  p = PutJsonLocalTime(m.written, PutLiteral(p, ", \"written\": "));
  p = PutJsonLocalTime(m.processed, PutLiteral(p, ", \"processed\": "));
  p = PutAttributeList(PutLiteral(p, ", \"attributes\": "), m.attributes);
  p = PutAddress(PutLiteral(p, ", \"orig\": "), m.orig);
  p = PutAddress(PutLiteral(p, ", \"dest\": "), m.dest);
  p = PutNumber(PutLiteral(p, ", \"reply_to\": "), m.reply_to);
  p = PutNumber(PutLiteral(p, ", \"reply_first\": "), m.reply_first);
  p = PutNumber(PutLiteral(p, ", \"reply_next\": "), m.reply_next);
  p = PutLiteral(p, ", \"replies\": [");
  for (size_t i = 0; i < m.replies.size(); ++i) {
    if (i > 0) p = PutLiteral(p, ", ");
    p = PutNumber(p, m.replies[i]);
  }
  return PutLiteral(p, "], ");
}

// ---- Reading ----

class Reader {
 public:
  Reader(const JsonValue& v, std::string* error) : v_(v), error_(error) {}

  bool Number(std::string_view key, int64_t lo, int64_t hi, int64_t* out) {
    const JsonValue* f = v_.Find(key);
    if (f == nullptr || !f->is(JsonValue::Type::kNumber) || f->number() < lo || f->number() > hi) {
      return Fail(key);
    }
    *out = f->number();
    return true;
  }
  template <typename T>
  bool Get(std::string_view key, T* out) {
    int64_t n = 0;
    if (!Number(key, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &n)) return false;
    *out = static_cast<T>(n);
    return true;
  }
  // A text field: KEY_base64's bytes when present, else KEY encoded.
  bool Text(std::string_view key, const TextCodec& codec, std::string* out) {
    if (const JsonValue* b = v_.Find(std::string(key) + "_base64")) {
      std::optional<std::string> bytes;
      if (b->is(JsonValue::Type::kString)) bytes = DecodeBase64(b->string());
      if (!bytes) return Fail(std::string(key) + "_base64");
      *out = std::move(*bytes);
      return true;
    }
    const JsonValue* f = v_.Find(key);
    if (f == nullptr || !f->is(JsonValue::Type::kString)) return Fail(key);
    *out = codec.Encode(f->string());
    return true;
  }
  bool Date(std::string_view key, LocalDateTime* out) {
    const JsonValue* f = v_.Find(key);
    *out = {};
    if (f != nullptr && f->is(JsonValue::Type::kNull)) return true;
    unsigned y, mo, d, h, mi, s;
    char tail;
    if (f == nullptr || !f->is(JsonValue::Type::kString) ||
        std::sscanf(f->string().c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
      return Fail(key);
    }
    *out = {static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d),
            static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s)};
    return true;
  }
  const JsonValue* Member(std::string_view key, JsonValue::Type type) {
    const JsonValue* f = v_.Find(key);
    if (f == nullptr || !f->is(type)) Fail(key);
    return f != nullptr && f->is(type) ? f : nullptr;
  }
  bool Fail(std::string_view key) {
    if (error_->empty()) *error_ = "a missing or bad \"" + std::string(key) + "\"";
    return false;
  }

 private:
  const JsonValue& v_;
  std::string* error_;
};

bool ReadAttributes(const JsonValue& list, uint32_t* bits) {
  *bits = 0;
  for (const JsonValue& name : list.array()) {
    size_t i = 0;
    while (i < kAttributeNames.size() && kAttributeNames[i] != name.string()) ++i;
    if (i == kAttributeNames.size()) return false;
    *bits |= uint32_t{1} << i;
  }
  return true;
}

bool ReadJam(const JsonValue& v, const TextCodec& codec, drayline::JamPart* p, std::string* error) {
  Reader r(v, error);
  bool ok = r.Get("revision", &p->revision) && r.Get("reserved_word", &p->reserved_word) &&
            r.Get("times_read", &p->times_read) && r.Get("msgid_crc", &p->msgid_crc) &&
            r.Get("reply_crc", &p->reply_crc) && r.Get("date_written", &p->date_written) &&
            r.Get("date_received", &p->date_received) && r.Get("date_processed", &p->date_processed) &&
            r.Get("attribute", &p->attribute) && r.Get("attribute2", &p->attribute2) &&
            r.Get("password_crc", &p->password_crc) && r.Get("cost", &p->cost);
  const JsonValue* list = ok ? r.Member("subfields", JsonValue::Type::kArray) : nullptr;
  if (list == nullptr) return false;
  for (const JsonValue& item : list->array()) {
    Reader s(item, error);
    JamSubfieldValue sf;
    if (!s.Get("kind", &sf.kind) || !s.Get("hi_id", &sf.hi_id) || !s.Text("data", codec, &sf.data)) {
      return false;
    }
    p->subfields.push_back(std::move(sf));
  }
  return true;
}

bool ReadControl(const JsonValue& v, const TextCodec& codec, std::string* control, std::string* error) {
  Reader r(v, error);
  if (v.Find("control_base64") != nullptr) return r.Text("control", codec, control);
  const JsonValue* lines = r.Member("control", JsonValue::Type::kArray);
  if (lines == nullptr) return false;
  for (const JsonValue& line : lines->array()) {
    if (!line.is(JsonValue::Type::kString)) return r.Fail("control");
    *control += "\x01" + codec.Encode(line.string());
  }
  return true;
}

bool ReadSquish(const JsonValue& v, const TextCodec& codec, drayline::SquishPart* p, std::string* error) {
  Reader r(v, error);
  return r.Get("attributes", &p->attributes) && r.Get("date_written", &p->date_written) &&
         r.Get("date_arrived", &p->date_arrived) && r.Get("utc_offset", &p->utc_offset) &&
         r.Get("message_uid", &p->message_uid) && r.Text("ftsc_date", codec, &p->ftsc_date) &&
         ReadControl(v, codec, &p->control, error);
}

bool ReadLinks(const JsonValue& v, ExportedMessage* m, std::string* error) {
  Reader r(v, error);
  if (!r.Get("reply_to", &m->reply_to) || !r.Get("reply_first", &m->reply_first) ||
      !r.Get("reply_next", &m->reply_next)) {
    return false;
  }
  const JsonValue* replies = r.Member("replies", JsonValue::Type::kArray);
  if (replies == nullptr || replies->array().size() != m->replies.size()) return r.Fail("replies");
  for (size_t i = 0; i < m->replies.size(); ++i) {
    const JsonValue& n = replies->array()[i];
    if (!n.is(JsonValue::Type::kNumber) || n.number() < INT32_MIN || n.number() > INT32_MAX) {
      return r.Fail("replies");
    }
    m->replies[i] = static_cast<int32_t>(n.number());
  }
  return true;
}

bool ReadAddress(const JsonValue& v, std::string_view key, drayline::NetAddress* out,
                 std::string* error) {
  const JsonValue* f = v.Find(key);
  *out = {};
  if (f != nullptr && f->is(JsonValue::Type::kString) && drayline::ParseAddress(f->string(), out)) {
    return true;
  }
  return Reader(v, error).Fail(key);
}

}  // namespace

// ---- Codec ----

TextCodec::TextCodec(Charset charset) : charset_(charset) {
  if (charset == Charset::kRaw || charset == Charset::kUtf8) return;
  for (int b = 128; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    upper_.push_back(drayline::ToUtf8(std::string_view(&byte, 1), charset));
  }
}

std::string TextCodec::Decode(std::string_view bytes) const {
  return drayline::ToUtf8(bytes, charset_ == Charset::kRaw ? Charset::kUtf8 : charset_);
}

std::string TextCodec::Encode(std::string_view utf8) const {
  if (upper_.empty()) return std::string(utf8);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out += utf8[i++];
      continue;
    }
    size_t len = 1;
    while (i + len < utf8.size() && (static_cast<unsigned char>(utf8[i + len]) & 0xC0) == 0x80) ++len;
    const std::string_view ch = utf8.substr(i, len);
    size_t b = 0;
    while (b < upper_.size() && upper_[b] != ch) ++b;
    out += b < upper_.size() ? static_cast<char>(128 + b) : '?';
    i += len;
  }
  return out;
}

std::string_view CharsetName(Charset charset) {
  for (const CharsetEntry& e : kCharsets) {
    if (e.charset == charset) return e.name;
  }
  return "CP437";
}

std::string_view FormatName(BaseFormat format) {
  return format == BaseFormat::kJam ? "jam" : "squish";
}

std::optional<BaseFormat> FormatFromName(std::string_view name) {
  if (name == "jam") return BaseFormat::kJam;
  if (name == "squish") return BaseFormat::kSquish;
  return std::nullopt;
}

namespace {

// Whether text begins with tag (upper case), text in any case.
bool StartsWithTag(std::string_view text, std::string_view tag) {
  if (text.size() < tag.size()) return false;
  for (size_t i = 0; i < tag.size(); ++i) {
    const char c = text[i];
    if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != tag[i]) return false;
  }
  return true;
}

// CharsetOfText(text): a text without a byte 1 (most) has no control
// line, which one look tells.
std::optional<Charset> CharsetWithin(std::string_view text) {
  if (text.empty() || std::memchr(text.data(), '\x01', text.size()) == nullptr) return std::nullopt;
  return drayline::CharsetOfText(text);
}

}  // namespace

Charset MessageCharset(const ExportedMessage& m, std::optional<Charset> forced) {
  if (forced) return *forced;
  // The order of MessageDecoder's (text_decoding.h): the control lines
  // kept for the message, then a line in the text.
  if (auto found = CharsetWithin(m.squish.control)) return *found;
  // A subfield is a control line of its own (kept without its byte 1).
  // Only a first line that begins with the tag can name a set, so the
  // others are searched as they are, for lines after a byte 1 within.
  for (const JamSubfieldValue& sf : m.jam.subfields) {
    const std::string_view data = sf.data;
    const bool first_names = StartsWithTag(data, "CHRS:") || StartsWithTag(data, "CHARSET:");
    if (auto found = first_names ? drayline::CharsetOfControl(data) : CharsetWithin(data)) {
      return *found;
    }
  }
  if (auto found = CharsetWithin(m.text)) return *found;
  return Charset::kCp437;
}

std::string BaseLine(std::string_view path, BaseFormat format, const drayline::BaseSettings& s) {
  JsonObject o;
  o.AddRaw("base", Utf8String(TextCodec(Charset::kRaw).Decode(path)));
  o.AddString("format", FormatName(format));
  o.AddNumber("max_messages", s.max_messages).AddNumber("keep_days", s.keep_days);
  return o.str();
}

void PutMessageLine(const ExportedMessage& m, const TextCodec& codec, BlockOutput* out) {
  static_assert(std::tuple_size_v<decltype(m.replies)> == 9, "kMiddleRoom has room for 9 replies");
  LineWriter w(out);
  char* p = w.Room(4 * kFieldRoom);
  p = PutNumber(PutLiteral(p, "{\"number\": "), m.number);
  p = PutRaw(PutLiteral(p, ", \"format\": \""), FormatName(m.format));
  p = PutRaw(PutLiteral(p, "\", \"charset\": \""), CharsetName(codec.charset()));
  w.Advance(PutLiteral(p, "\", \"from\": "));
  PutText(m.from, ", \"from_base64\": ", codec, &w);
  w.Literal(", \"to\": ");
  PutText(m.to, ", \"to_base64\": ", codec, &w);
  w.Literal(", \"subject\": ");
  PutText(m.subject, ", \"subject_base64\": ", codec, &w);
  w.Advance(PutMiddle(w.Room(kMiddleRoom), m));
  if (m.format == BaseFormat::kJam) {
    w.Literal("\"jam\": ");
    PutJam(m.jam, codec, &w);
  } else {
    w.Literal("\"squish\": ");
    PutSquish(m.squish, codec, &w);
  }
  w.Literal(", \"text\": ");
  PutText(m.text, ", \"text_base64\": ", codec, &w);
  w.Literal("}\n");
  w.Finish();
}

std::string LastReadLine(const std::vector<LastReadValue>& values) {
  std::string list = "[";
  for (const LastReadValue& v : values) {
    JsonObject o;
    o.AddNumber("user", v.user).AddNumber("crc", v.crc);
    o.AddNumber("last_read", v.last_read).AddNumber("high_read", v.high_read);
    list += (list.size() > 1 ? ", " : "") + o.str();
  }
  return JsonObject().AddRaw("lastread", list + "]").str();
}

bool ReadBaseLine(const JsonValue& v, BaseFormat* format, drayline::BaseSettings* settings,
                  std::string* error) {
  Reader r(v, error);
  const JsonValue* name = r.Member("format", JsonValue::Type::kString);
  const std::optional<BaseFormat> found = name ? FormatFromName(name->string()) : std::nullopt;
  if (!found) return r.Fail("format");
  *format = *found;
  return r.Get("max_messages", &settings->max_messages) && r.Get("keep_days", &settings->keep_days);
}

bool ReadMessageLine(const JsonValue& v, ExportedMessage* m, std::string* error) {
  *m = ExportedMessage{};
  Reader r(v, error);
  const JsonValue* format = r.Member("format", JsonValue::Type::kString);
  const JsonValue* charset = r.Member("charset", JsonValue::Type::kString);
  const JsonValue* attributes = r.Member("attributes", JsonValue::Type::kArray);
  if (format == nullptr || charset == nullptr || attributes == nullptr) return false;
  const std::optional<BaseFormat> f = FormatFromName(format->string());
  const std::optional<Charset> cs = drayline::CharsetFromName(charset->string());
  if (!f) return r.Fail("format");
  if (!cs) return r.Fail("charset");
  if (!ReadAttributes(*attributes, &m->attributes)) return r.Fail("attributes");
  m->format = *f;
  const TextCodec codec(*cs);
  bool ok = r.Get("number", &m->number) && r.Text("from", codec, &m->from) &&
            r.Text("to", codec, &m->to) && r.Text("subject", codec, &m->subject) &&
            r.Date("written", &m->written) && r.Date("processed", &m->processed) &&
            ReadAddress(v, "orig", &m->orig, error) && ReadAddress(v, "dest", &m->dest, error) &&
            ReadLinks(v, m, error) && r.Text("text", codec, &m->text);
  if (!ok) return false;
  const JsonValue* part = r.Member(FormatName(*f), JsonValue::Type::kObject);
  if (part == nullptr) return false;
  return *f == BaseFormat::kJam ? ReadJam(*part, codec, &m->jam, error)
                                : ReadSquish(*part, codec, &m->squish, error);
}

bool ReadLastReadLine(const JsonValue& v, std::vector<LastReadValue>* values, std::string* error) {
  Reader r(v, error);
  const JsonValue* list = r.Member("lastread", JsonValue::Type::kArray);
  if (list == nullptr) return false;
  for (const JsonValue& item : list->array()) {
    Reader i(item, error);
    LastReadValue lr;
    if (!i.Get("user", &lr.user) || !i.Get("crc", &lr.crc) || !i.Get("last_read", &lr.last_read) ||
        !i.Get("high_read", &lr.high_read)) {
      return false;
    }
    values->push_back(lr);
  }
  return true;
}

// ---- Commands ----

bool ParseTransferOptions(std::string_view command, CommandArgs args, size_t min, size_t max,
                          std::initializer_list<std::string_view> allowed, TransferOptions* out) {
  auto fail = [&](const std::string& why) {
    Err() << "draybase " << command << ": " << why << "\n";
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.starts_with("--")) {
      out->positional.push_back(arg);
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      return fail("unknown option " + arg);
    }
    if (name == "--json" || name == "--lossy") {
      (name == "--json" ? out->json : out->lossy) = true;
      continue;
    }
    if (eq == std::string::npos && i + 1 == args.size()) return fail(arg + " needs a value");
    const std::string value = eq != std::string::npos ? arg.substr(eq + 1) : args[++i];
    if (name == "--format" && (value == "json" || value == "text")) {
      out->text = value == "text";
    } else if (name == "--charset" && drayline::CharsetFromName(value)) {
      out->charset = drayline::CharsetFromName(value);
    } else if (name == "--to" && FormatFromName(value)) {
      out->to = FormatFromName(value);
    } else {
      return fail("bad value for " + name + ": " + value);
    }
  }
  if (out->positional.size() < min || out->positional.size() > max) {
    return fail("wrong number of arguments");
  }
  return true;
}

bool SourceIsSound(const std::string& path, int* exit_status) {
  const drayline::CheckReport report = drayline::CheckBase(path);
  if (report.sound()) return true;
  if (!report.status.ok()) {
    Err() << "draybase: " << path << ": " << report.status.text() << "\n";
    const auto code = report.status.code();
    *exit_status = code == drayline::StatusCode::kNotFound || code == drayline::StatusCode::kInvalidArgument
                       ? kExitUsage
                       : kExitFailed;
    return false;
  }
  Err() << "draybase: " << path << " is damaged (" << report.problems.size()
            << " problems): see draybase check " << path << ", then draybase repair " << path << "\n";
  *exit_status = kExitFailed;
  return false;
}

bool PutLine(std::string_view line) {
  return Out().Write(line.data(), line.size()) && Out().Write("\n", 1);
}

}  // namespace draybase
