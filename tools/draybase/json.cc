#include "draybase/json.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <utility>

#include "draybase/lanes.h"

namespace draybase {

namespace {

// Whether byte b is written as it is inside a JSON string of kind.
bool Plain(unsigned char b, JsonText kind) {
  return b >= 32 && b != '"' && b != '\\' && (b < 128 || kind == JsonText::kUtf8);
}

char* PutEscape(unsigned char b, char* p) {
  static constexpr char kHex[] = "0123456789abcdef";
  *p++ = '\\';
  switch (b) {
    case '"': *p++ = '"'; break;
    case '\\': *p++ = '\\'; break;
    case '\n': *p++ = 'n'; break;
    case '\r': *p++ = 'r'; break;
    case '\t': *p++ = 't'; break;
    default:
      for (char c : {'u', '0', '0', kHex[b >> 4], kHex[b & 15]}) *p++ = c;
  }
  return p;
}

// Writes value as at least width decimal digits (printf's %0*u).
char* PutDigits(unsigned value, size_t width, char* p) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto size = static_cast<size_t>(end - digits);
  for (size_t i = size; i < width; ++i) *p++ = '0';
  std::memcpy(p, digits, size);
  return p + size;
}

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes two digits of a value below 100, copied from a table of them.
char* PutTwo(unsigned value, char* p) {
  std::memcpy(p, kPairs + 2 * value, 2);
  return p + 2;
}

// The index of the first set lane of v, given that one is.
size_t FirstLane(Lanes v) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto words = reinterpret_cast<LaneWords>(v);
    return words[0] != 0 ? static_cast<size_t>(std::countr_zero(words[0])) / 8
                         : 8 + static_cast<size_t>(std::countr_zero(words[1])) / 8;
  }
  size_t i = 0;
  while (v[i] == 0) ++i;
  return i;
}

// The lanes of v (all set) whose byte a JSON string of kind escapes: below
// 32, '"', '\\', and for stored bytes one above 127 (below 32 as signed).
Lanes EscapedLanes(Lanes v, JsonText kind) {
  const Lanes low = kind == JsonText::kBytes
                        ? v < 32
                        : reinterpret_cast<Lanes>(reinterpret_cast<UnsignedLanes>(v) < 32);
  return low | (v == '"') | (v == '\\');
}

// A text of fewer than sixteen bytes as the lanes of one vector, read
// without a byte past its end: as two overlapping words (eight bytes or
// more), or halves (four or more), or its first, middle and last byte.
// Every lane holds a byte of the text (an empty one: spaces), and
// ShortPosition tells which.
struct ShortLanes {
  uint64_t first = 0x2020202020202020, second = first;
  ShortLanes(const char* s, size_t n) {
    if (n >= 8) {
      std::memcpy(&first, s, 8);
      std::memcpy(&second, s + n - 8, 8);
    } else if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + n - 4, 4);
      first = second = a | uint64_t{b} << 32;
    } else if (n > 0) {
      const uint64_t a = static_cast<unsigned char>(s[0]) |
                         static_cast<unsigned>(static_cast<unsigned char>(s[n / 2])) << 8 |
                         static_cast<unsigned>(static_cast<unsigned char>(s[n - 1])) << 16 |
                         static_cast<unsigned>(static_cast<unsigned char>(s[0])) << 24;
      first = second = a | a << 32;
    }
  }
  // Writes the n bytes back at d (none beside them).
  void Store(char* d, size_t n) const {
    if (n >= 8) {
      std::memcpy(d, &first, 8);
      std::memcpy(d + n - 8, &second, 8);
    } else if (n >= 4) {
      const auto a = static_cast<uint32_t>(first), b = static_cast<uint32_t>(first >> 32);
      std::memcpy(d, &a, 4);
      std::memcpy(d + n - 4, &b, 4);
    } else if (n > 0) {
      d[0] = static_cast<char>(first);
      d[n / 2] = static_cast<char>(first >> 8);
      d[n - 1] = static_cast<char>(first >> 16);
    }
  }
  Lanes lanes() const { return reinterpret_cast<Lanes>(LaneWords{first, second}); }
};

// The index in a text of n bytes (below sixteen) of the byte in lane k of
// its ShortLanes, for the first lane that holds it.
size_t ShortPosition(size_t k, size_t n) {
  if (n >= 8) return k < 8 ? k : n - 16 + k;
  if (n >= 4) return k < 4 ? k : n - 8 + k;
  return k == 0 ? 0 : k == 1 ? n / 2 : n - 1;
}

// What CopyLooking saw: bytes that a string of either kind escapes, and
// bytes above 127.
constexpr unsigned kEscaped = 1, kHighBytes = 2;

// Copies text to d (no byte before or after it written, none past the end
// of text read) and answers what it saw (kEscaped, kHighBytes).
inline __attribute__((always_inline)) unsigned CopyLooking(std::string_view text, char* d) {
  const char* const s = text.data();
  const size_t n = text.size();
  Lanes escaped = {}, any = {};
  if (n >= 16) {
    for (size_t i = 0; i + 16 < n; i += 16) {
      const Lanes v = Load16(s + i);
      Store16(d + i, v);
      escaped |= EscapedLanes(v, JsonText::kUtf8);
      any |= v;
    }
    const Lanes last = Load16(s + n - 16);
    Store16(d + n - 16, last);
    escaped |= EscapedLanes(last, JsonText::kUtf8);
    any |= last;
  } else {
    const ShortLanes bytes(s, n);
    bytes.Store(d, n);
    any = bytes.lanes();
    escaped = EscapedLanes(any, JsonText::kUtf8);
  }
  return (AnyLane(escaped) ? kEscaped : 0) | (AnyLane(any < 0) ? kHighBytes : 0);
}

// Whether a string of kind escapes a byte of what CopyLooking saw.
bool Escapes(unsigned seen, JsonText kind) {
  return (seen & (kind == JsonText::kBytes ? kEscaped | kHighBytes : kEscaped)) != 0;
}

}  // namespace

size_t JsonPlainRun(std::string_view text, size_t from, JsonText kind) {
  // Sixteen bytes at a time, the last sixteen overlapping those before
  // when those are all plain; a shorter rest as its ShortLanes.
  const char* const s = text.data();
  const size_t n = text.size();
  if (from >= n) return from;
  size_t i = from;
  for (; n - i >= 16; i += 16) {
    const Lanes flagged = EscapedLanes(Load16(s + i), kind);
    if (AnyLane(flagged)) return i + FirstLane(flagged);
  }
  if (i == n) return n;
  if (n >= 16 && n - 16 >= from) {
    const Lanes flagged = EscapedLanes(Load16(s + n - 16), kind);
    return AnyLane(flagged) ? n - 16 + FirstLane(flagged) : n;
  }
  const Lanes flagged = EscapedLanes(ShortLanes(s + i, n - i).lanes(), kind);
  return AnyLane(flagged) ? i + ShortPosition(FirstLane(flagged), n - i) : n;
}

namespace {

// PutJsonString; with kAsciiOnly (and kind kUtf8), nullptr when text
// holds a byte above 127, found by the pass that writes it.
template <bool kAsciiOnly>
__attribute__((noinline)) char* PutString(std::string_view text, JsonText kind, char* p) {
  *p++ = '"';
  // Sixteen bytes are copied and looked at together; where they hold a
  // byte to escape, the bytes before it stay and the escape is written
  // over what follows. The last few go the same way as a short text.
  const char* const s = text.data();
  const size_t n = text.size();
  size_t i = 0;
  Lanes any = {};  // kAsciiOnly: the bytes of the blocks, or'ed
  for (;;) {
    while (n - i >= 16) {
      const Lanes v = Load16(s + i);
      Store16(p, v);
      if constexpr (kAsciiOnly) any |= v;
      const Lanes flagged = EscapedLanes(v, kind);
      if (!AnyLane(flagged)) {
        i += 16;
        p += 16;
        continue;
      }
      const size_t k = FirstLane(flagged);
      p = PutEscape(static_cast<unsigned char>(s[i + k]), p + k);
      i += k + 1;
    }
    const std::string_view rest(s + i, n - i);
    const unsigned seen = CopyLooking(rest, p);
    if constexpr (kAsciiOnly) {
      if ((seen & kHighBytes) != 0 || AnyLane(any < 0)) return nullptr;
    }
    if (!Escapes(seen, kind)) {
      p += rest.size();
      *p++ = '"';
      return p;
    }
    const size_t k = JsonPlainRun(rest, 0, kind);
    p = PutEscape(static_cast<unsigned char>(rest[k]), p + k);
    i += k + 1;
  }
}

}  // namespace

char* PutJsonString(std::string_view text, JsonText kind, char* p) {
  return PutString<false>(text, kind, p);
}

char* PutAsciiJsonString(std::string_view text, char* p) {
  // A long text (a message's, its lines ending in CR) is looked at as it
  // is written; a short one (a name, a subject) first whole, as most need
  // no escape.
  if (text.size() >= 64) return PutString<true>(text, JsonText::kUtf8, p);
  *p = '"';
  const unsigned seen = CopyLooking(text, p + 1);
  if (seen == 0) {
    p[1 + text.size()] = '"';
    return p + 2 + text.size();
  }
  if (seen & kHighBytes) return nullptr;
  return PutString<false>(text, JsonText::kUtf8, p);
}

void AppendJsonString(std::string_view text, JsonText kind, std::string* out) {
  // Runs of bytes that need no escape go in whole; an escape takes at most
  // six bytes.
  out->push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (Plain(b, kind)) continue;
    char escape[6];
    out->append(text.data() + run, i - run);
    out->append(escape, static_cast<size_t>(PutEscape(b, escape) - escape));
    run = i + 1;
  }
  out->append(text.data() + run, text.size() - run);
  out->push_back('"');
}

std::string JsonString(std::string_view text, JsonText kind) {
  std::string out;
  AppendJsonString(text, kind, &out);
  return out;
}

char* PutJsonLocalTime(const drayline::LocalDateTime& t, char* p) {
  if (t == drayline::LocalDateTime()) return std::copy_n("null", 4, p);
  // Every stored time but a damaged one: its seven pairs of digits made
  // at once, in lanes of 16 bits.
  const uint64_t date = FourLanes(t.year / 100u, t.year % 100u, t.month, t.day);
  const uint64_t time = FourLanes(t.hour, t.minute, t.second, 0);
  if (std::endian::native == std::endian::little && LanesBelow100(date | time)) {
    // The digits (year, month, day; hour, minute, second) and the marks
    // between them as three words, the last overlapping the room after.
    const uint64_t d = PairsOf(date), h = PairsOf(time);
    const uint64_t words[] = {
        '"' | (d & 0xFFFFFFFF) << 8 | uint64_t{'-'} << 40 | (d >> 32 & 0xFFFF) << 48,
        '-' | (d >> 48) << 8 | uint64_t{'T'} << 24 | (h & 0xFFFF) << 32 | uint64_t{':'} << 48 |
            (h >> 16 & 0xFF) << 56,
        (h >> 24 & 0xFF) | uint64_t{':'} << 8 | (h >> 32 & 0xFFFF) << 16 | uint64_t{'"'} << 32};
    std::memcpy(p, words, 16);
    std::memcpy(p + 16, &words[2], 8);
    return p + 21;
  }
  *p++ = '"';
  const std::pair<char, unsigned> rest[] = {
      {'-', t.month}, {'-', t.day}, {'T', t.hour}, {':', t.minute}, {':', t.second}};
  p = PutDigits(t.year, 4, p);
  for (const auto& [separator, value] : rest) {
    *p++ = separator;
    p = PutDigits(value, 2, p);
  }
  *p++ = '"';
  return p;
}

void AppendJsonLocalTime(const drayline::LocalDateTime& t, std::string* out) {
  const size_t start = out->size();
  out->resize(start + kJsonTimeRoom);
  char* end = PutJsonLocalTime(t, out->data() + start);
  out->resize(static_cast<size_t>(end - out->data()));
}

std::string JsonLocalTime(const drayline::LocalDateTime& t) {
  std::string out;
  AppendJsonLocalTime(t, &out);
  return out;
}

char* PutDecimal(int64_t number, char* p) {
  if (number < 0 || number > UINT32_MAX || std::endian::native != std::endian::little) {
    return std::to_chars(p, p + kDecimalRoom, number).ptr;
  }
  // Most numbers of the formats are 32-bit: their last eight digits made
  // at once and written as one word, the leading zeros shifted out, after
  // the one or two digits before them.
  auto value = static_cast<uint32_t>(number);
  if (value < 10) {
    *p = static_cast<char>('0' + value);
    return p + 1;
  }
  if (value >= 100000000) {
    const uint32_t high = value / 100000000;
    if (high >= 10) {
      p = PutTwo(high, p);
    } else {
      *p++ = static_cast<char>('0' + high);
    }
    const uint64_t ascii = EightDigits(value % 100000000) + 0x3030303030303030;
    std::memcpy(p, &ascii, 8);
    return p + 8;
  }
  const uint64_t digits = EightDigits(value);
  const int zeros = std::countr_zero(digits) / 8;  // digits is not 0
  const uint64_t ascii = (digits + 0x3030303030303030) >> (8 * zeros);
  std::memcpy(p, &ascii, 8);
  return p + 8 - zeros;
}

void AppendDecimal(int64_t number, std::string* out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out->append(digits, static_cast<size_t>(end - digits));
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_.append(", ");
  // Keys are the program's own names, which need no escape: each goes in
  // with its quotes in one piece.
  if (std::all_of(key.begin(), key.end(),
                  [](char c) { return Plain(static_cast<unsigned char>(c), JsonText::kBytes); })) {
    body_.push_back('"');
    body_.append(key).append("\": ");
    return;
  }
  AppendJsonString(key, JsonText::kBytes, &body_);
  body_.append(": ");
}

JsonObject& JsonObject::AddString(std::string_view key, std::string_view text) {
  return AddString(key, text, strings_);
}

JsonObject& JsonObject::AddString(std::string_view key, std::string_view text, JsonText kind) {
  Key(key);
  AppendJsonString(text, kind, &body_);
  return *this;
}

JsonObject& JsonObject::AddNumber(std::string_view key, int64_t number) {
  Key(key);
  AppendDecimal(number, &body_);
  return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view value) {
  Key(key);
  body_.append(value);
  return *this;
}

std::string JsonArray(const std::vector<std::string>& elements) {
  if (elements.empty()) return "[]";
  size_t size = 4;
  for (const std::string& e : elements) size += e.size() + 4;
  std::string out;
  out.reserve(size);
  out.append("[\n");
  for (size_t i = 0; i < elements.size(); ++i) {
    out.append("  ").append(elements[i]).append(i + 1 < elements.size() ? ",\n" : "\n");
  }
  out.push_back(']');
  return out;
}

}  // namespace draybase
