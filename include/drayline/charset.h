// Character sets of stored text. Message bases hold names, subjects and
// text in the board's 8-bit code page; these functions turn such bytes
// into UTF-8 for display or JSON.
//
//   drayline::Charset cs = drayline::CharsetOfText(text).value_or(
//       drayline::Charset::kCp437);
//   std::string shown = drayline::ToUtf8(text, cs);
//
// Bytes below 0x80 are ASCII in every set and pass unchanged (control
// bytes included: escaping them is the caller's business).

#ifndef DRAYLINE_CHARSET_H_
#define DRAYLINE_CHARSET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drayline {

enum class Charset : uint8_t {
  kRaw,        // no decoding: the stored bytes as they are
  kCp437,      // the PC's original code page, box drawing included
  kCp850,      // the PC's Western European code page
  kCp866,      // the PC's Cyrillic code page
  kIso8859_1,  // Latin-1
  kIso8859_5,  // ISO Cyrillic
  kUtf8,
};

// The set a name stands for, as a user gives it or a CHRS control line
// names it ("CP437", "IBMPC", "CP850", "CP866", "LATIN-1", "ISO-8859-1",
// "ISO-8859-5", "UTF-8", "raw"); letters in any case. Empty when unknown.
std::optional<Charset> CharsetFromName(std::string_view name);

// The set that text's first CHRS control line names: a line that begins
// with byte 1 and "CHRS:" (or "CHARSET:"), then the name and optionally a
// level ("\x01" "CHRS: CP866 2"). Lines may end in CR or LF, or the
// control lines may follow one another without an end (as Squish control
// information keeps them). Empty when there is none or its name is unknown.
std::optional<Charset> CharsetOfText(std::string_view text);
// The same for one control line kept without its byte 1 (a JAM kludge
// subfield's data, "CHRS: CP866 2"), which may hold further lines, each
// after a byte 1.
std::optional<Charset> CharsetOfControl(std::string_view control);
// Whether control (kept as CharsetOfControl's) has a line that names a
// set, known or not: the line CharsetOfControl reads.
bool ControlHasCharsetLine(std::string_view control);

// Appends bytes, decoded from charset, to *out as UTF-8. kRaw appends the
// bytes unchanged; kUtf8 keeps well-formed sequences and turns each byte
// of a malformed one into U+FFFD, so that the result is always valid UTF-8
// for every set but kRaw.
void AppendUtf8(std::string_view bytes, Charset charset, std::string* out);
std::string ToUtf8(std::string_view bytes, Charset charset);

// The number of characters of UTF-8 text (bytes that do not begin a
// character are not counted).
size_t Utf8Length(std::string_view text);
// The longest beginning of text holding at most count characters; never
// cuts a character in two.
std::string_view Utf8Prefix(std::string_view text, size_t count);

}  // namespace drayline

#endif  // DRAYLINE_CHARSET_H_
