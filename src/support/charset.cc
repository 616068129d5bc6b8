#include "drayline/charset.h"

#include <array>
#include <algorithm>
#include <cctype>

namespace drayline {
namespace {

// The upper halves (bytes 0x80 to 0xFF) of the PC code pages, as Unicode.
using UpperHalf = std::array<uint16_t, 128>;

constexpr UpperHalf kCp437 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

constexpr UpperHalf kCp850 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0};

// Cyrillic letters in alphabetical order, with the box drawing of 437.
constexpr UpperHalf MakeCp866() {
  UpperHalf table{};
  for (int i = 0; i < 0x30; ++i) table[i] = static_cast<uint16_t>(0x0410 + i);
  // 0xB0 to 0xDF: the same box drawing as code page 437.
  for (int i = 0x30; i < 0x60; ++i) table[i] = kCp437[i];
  for (int i = 0; i < 0x10; ++i) table[0x60 + i] = static_cast<uint16_t>(0x0440 + i);
  constexpr uint16_t tail[] = {0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457,
                               0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A,
                               0x2116, 0x00A4, 0x25A0, 0x00A0};
  for (int i = 0; i < 0x10; ++i) table[0x70 + i] = tail[i];
  return table;
}
constexpr UpperHalf kCp866 = MakeCp866();

uint32_t Iso8859_5(uint8_t byte) {
  switch (byte) {
    case 0xA0: return 0x00A0;
    case 0xAD: return 0x00AD;
    case 0xF0: return 0x2116;
    case 0xFD: return 0x00A7;
    default: break;
  }
  if (byte < 0xA0) return byte;               // C1 controls
  return 0x0401 + (byte - 0xA1);              // Cyrillic letters in order
}

constexpr uint32_t kReplacement = 0xFFFD;

void AppendCodePoint(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence at the start of s, or 0
// when it is malformed (overlong forms, surrogates and values past
// U+10FFFF are malformed).
size_t WellFormedLength(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = b(0);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  else return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (s.size() < length || b(1) < low || b(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void AppendValidUtf8(std::string_view bytes, std::string* out) {
  while (!bytes.empty()) {
    const size_t length = WellFormedLength(bytes);
    if (length == 0) {
      AppendCodePoint(kReplacement, out);
      bytes.remove_prefix(1);
    } else {
      out->append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    }
  }
}

uint32_t Decode(uint8_t byte, Charset charset) {
  if (byte < 0x80) return byte;
  switch (charset) {
    case Charset::kCp437: return kCp437[byte - 0x80];
    case Charset::kCp850: return kCp850[byte - 0x80];
    case Charset::kCp866: return kCp866[byte - 0x80];
    case Charset::kIso8859_5: return Iso8859_5(byte);
    default: return byte;  // Latin-1 is the first 256 code points
  }
}

std::string Upper(std::string_view s) {
  std::string upper(s);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace

std::optional<Charset> CharsetFromName(std::string_view name) {
  struct Known {
    std::string_view name;
    Charset charset;
  };
  static constexpr Known kKnown[] = {
      {"RAW", Charset::kRaw},          {"CP437", Charset::kCp437},
      {"IBMPC", Charset::kCp437},      {"IBM437", Charset::kCp437},
      {"CP850", Charset::kCp850},      {"IBM850", Charset::kCp850},
      {"CP866", Charset::kCp866},      {"IBM866", Charset::kCp866},
      {"LATIN-1", Charset::kIso8859_1}, {"LATIN1", Charset::kIso8859_1},
      {"ISO-8859-1", Charset::kIso8859_1}, {"ISO8859-1", Charset::kIso8859_1},
      {"ISO-8859-5", Charset::kIso8859_5}, {"ISO8859-5", Charset::kIso8859_5},
      {"UTF-8", Charset::kUtf8},       {"UTF8", Charset::kUtf8},
  };
  const std::string upper = Upper(name);
  for (const Known& known : kKnown) {
    if (known.name == upper) return known.charset;
  }
  return std::nullopt;
}

namespace {

constexpr char kControlStart = '\x01';

// A line that names a set, and the set when it is a known one.
struct CharsetLine {
  bool found = false;
  std::optional<Charset> named;
};

// Whether s begins with tag (upper case), s in any case.
bool StartsWithUpper(std::string_view s, std::string_view tag) {
  if (s.size() < tag.size()) return false;
  for (size_t i = 0; i < tag.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) != tag[i]) return false;
  }
  return true;
}

// The control line that begins text (after its byte 1), up to its end.
CharsetLine ReadCharsetLine(std::string_view text) {
  const std::string_view line =
      text.substr(0, text.find_first_of(std::string_view("\r\n\x01", 3)));
  for (std::string_view tag : {"CHRS:", "CHARSET:"}) {
    if (!StartsWithUpper(line, tag)) continue;
    std::string_view rest = line.substr(tag.size());
    rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
    return {true, CharsetFromName(rest.substr(0, rest.find(' ')))};
  }
  return {};
}

// The first line naming a set among the lines that follow a byte 1 in
// text, and the line text begins with when begins_with_line.
CharsetLine FirstCharsetLine(std::string_view text, bool begins_with_line) {
  size_t at = begins_with_line ? 0 : text.find(kControlStart);
  if (!begins_with_line && at != std::string_view::npos) ++at;
  while (at != std::string_view::npos) {
    const CharsetLine line = ReadCharsetLine(text.substr(at));
    if (line.found) return line;
    at = text.find(kControlStart, at);
    if (at != std::string_view::npos) ++at;
  }
  return {};
}

}  // namespace

std::optional<Charset> CharsetOfText(std::string_view text) {
  return FirstCharsetLine(text, false).named;
}

std::optional<Charset> CharsetOfControl(std::string_view control) {
  return FirstCharsetLine(control, true).named;
}

bool ControlHasCharsetLine(std::string_view control) {
  return FirstCharsetLine(control, true).found;
}

void AppendUtf8(std::string_view bytes, Charset charset, std::string* out) {
  if (charset == Charset::kRaw) {
    out->append(bytes);
    return;
  }
  if (charset == Charset::kUtf8) {
    AppendValidUtf8(bytes, out);
    return;
  }
  out->reserve(out->size() + bytes.size());
  for (char c : bytes) AppendCodePoint(Decode(static_cast<uint8_t>(c), charset), out);
}

std::string ToUtf8(std::string_view bytes, Charset charset) {
  std::string out;
  AppendUtf8(bytes, charset, &out);
  return out;
}

size_t Utf8Length(std::string_view text) {
  size_t count = 0;
  for (char c : text) count += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return count;
}

std::string_view Utf8Prefix(std::string_view text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) continue;
    if (seen == count) return text.substr(0, i);
    ++seen;
  }
  return text;
}

}  // namespace drayline
