// String helpers shared by both message-base formats.
//
// Strings are byte strings of at most 255 characters (the board's short
// strings); only the ASCII letters ever change case.

#ifndef DRAYLINE_SUPPORT_STRINGS_H_
#define DRAYLINE_SUPPORT_STRINGS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace drayline {

constexpr size_t kShortStringMax = 255;

// The first max characters of s (and never more than 255).
std::string Fit(std::string_view s, size_t max = kShortStringMax);

std::string UpperCase(std::string_view s);
char LoCase(char c);
// Exactly width characters: s cut, or fill characters put before it.
std::string PadLeft(std::string_view s, size_t width, char fill);
// The bytes of field before its first NUL, never more than max_len.
std::string CStrToStr(std::span<const uint8_t> field, size_t max_len);
// CStrToStr's text as a view of field, for a caller that keeps its own room.
std::string_view CStrView(std::span<const uint8_t> field, size_t max_len);
// Writes s as NUL-terminated text of at most max_len bytes (NUL included)
// into field; bytes after the NUL are left as they were.
void StrToCStr(std::string_view s, size_t max_len, std::span<uint8_t> field);

// The decimal digits of 0 to 99, two each.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
// Writes the last two decimal digits of n at out (a listing writes a date's
// for every message: one copy from a table each).
inline void PutTwoDigits(char* out, unsigned n) {
  const char* pair = kDigitPairs + 2 * (n % 100);
  out[0] = pair[0];
  out[1] = pair[1];
}
// Puts text into *out, copying over its storage when the lengths agree (a
// listing makes such texts for every message).
void OverwriteString(std::string_view text, std::string* out);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_STRINGS_H_
