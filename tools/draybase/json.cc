#include "draybase/json.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

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

// Writes two digits of a value below 100, copied from a table of them (a
// JSON listing writes two times of six such numbers for every message).
char* PutTwo(unsigned value, char* p) {
  std::memcpy(p, kPairs + 2 * value, 2);
  return p + 2;
}

}  // namespace

size_t JsonPlainRun(std::string_view text, size_t from, JsonText kind) {
  // Eight bytes at a time: a word holds a byte to escape when one is below
  // 32, is '"' or '\\', or (for stored bytes) is above 127. Each test is
  // exact about whether such a byte exists, not about where.
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  const auto below = [](uint64_t x, uint64_t n) { return (x - n * kOnes) & ~x & kHigh; };
  const uint64_t high = kind == JsonText::kBytes ? kHigh : 0;
  const auto flagged = [&](size_t at) {
    uint64_t x;
    std::memcpy(&x, text.data() + at, 8);
    return (below(x, 32) | below(x ^ ('"' * kOnes), 1) | below(x ^ ('\\' * kOnes), 1) |
            (x & high)) != 0;
  };
  size_t i = from;
  while (i + 8 <= text.size() && !flagged(i)) i += 8;
  while (i < text.size() && Plain(static_cast<unsigned char>(text[i]), kind)) ++i;
  return i;
}

char* PutJsonString(std::string_view text, JsonText kind, char* p) {
  *p++ = '"';
  // Runs of bytes that need no escape go in whole.
  size_t run = 0;
  for (size_t i = JsonPlainRun(text, 0, kind); i < text.size(); i = JsonPlainRun(text, run, kind)) {
    std::memcpy(p, text.data() + run, i - run);
    p = PutEscape(static_cast<unsigned char>(text[i]), p + (i - run));
    run = i + 1;
  }
  std::memcpy(p, text.data() + run, text.size() - run);
  p += text.size() - run;
  *p++ = '"';
  return p;
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
  *p++ = '"';
  if (t.year < 10000 && std::max({t.month, t.day, t.hour, t.minute, t.second}) < 100) {
    // Every stored time but a damaged one, in a straight line.
    p = PutTwo(t.year % 100u, PutTwo(t.year / 100u, p));
    *p++ = '-';
    p = PutTwo(t.month, p);
    *p++ = '-';
    p = PutTwo(t.day, p);
    *p++ = 'T';
    p = PutTwo(t.hour, p);
    *p++ = ':';
    p = PutTwo(t.minute, p);
    *p++ = ':';
    p = PutTwo(t.second, p);
    *p++ = '"';
    return p;
  }
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
  if (number < 0 || number > UINT32_MAX) return std::to_chars(p, p + kDecimalRoom, number).ptr;
  // Most numbers of the formats are 32-bit: two digits at a time from the
  // table, from the last, then all ten places copied in one piece.
  auto value = static_cast<uint32_t>(number);
  char digits[20] = {};
  char* d = digits + 10;
  for (; value >= 100; value /= 100) {
    d = static_cast<char*>(std::memcpy(d - 2, kPairs + 2 * (value % 100), 2));
  }
  if (value >= 10) {
    d = static_cast<char*>(std::memcpy(d - 2, kPairs + 2 * value, 2));
  } else {
    *--d = static_cast<char>('0' + value);
  }
  std::memcpy(p, d, 10);
  return p + (digits + 10 - d);
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
