#include "support/strings.h"

#include <algorithm>

#include "support/clock.h"
#include "support/env.h"

namespace drayline {

std::string Fit(std::string_view s, size_t max) {
  return std::string(s.substr(0, std::min({s.size(), max, kShortStringMax})));
}

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

char LoCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string PadLeft(std::string_view s, size_t width, char fill) {
  if (width <= s.size()) return std::string(s.substr(0, width));
  return std::string(width - s.size(), fill) + std::string(s);
}

std::string CStrToStr(std::span<const uint8_t> field, size_t max_len) {
  size_t n = std::min(field.size(), max_len);
  size_t len = 0;
  while (len < n && field[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(field.data()), len);
}

void StrToCStr(std::string_view s, size_t max_len, std::span<uint8_t> field) {
  max_len = std::min(max_len, field.size());
  if (max_len == 0) return;
  size_t n = std::min(s.size(), max_len - 1);
  std::copy_n(s.begin(), n, field.begin());
  field[n] = 0;
}

std::string AddressText(const NetAddress& addr) {
  std::string text = Fit(IntToStr(addr.zone) + ":" + IntToStr(addr.net) + "/" +
                             IntToStr(addr.node),
                         20);
  if (addr.point != 0) text = Fit(text + "." + IntToStr(addr.point), 20);
  return text;
}

namespace {

// Characters from..to (1-based, inclusive) of text; empty when to < from.
std::string_view Range(std::string_view text, size_t from, size_t to) {
  if (to < from || from > text.size()) return {};
  return text.substr(from - 1, std::min(to, text.size()) - from + 1);
}

}  // namespace

bool ParseAddress(std::string_view text, NetAddress* addr) {
  size_t c = text.find(':');
  size_t s = text.find('/');
  size_t p = text.find('.');
  if (c == std::string_view::npos || s == std::string_view::npos) return false;
  // 1-based positions, as the text form is described.
  c += 1;
  s += 1;
  bool has_point = p != std::string_view::npos;
  p = has_point ? p + 1 : text.size() + 1;
  addr->zone = static_cast<uint16_t>(StrToInt(Range(text, 1, c - 1)));
  addr->net = static_cast<uint16_t>(StrToInt(Range(text, c + 1, s - 1)));
  addr->node = static_cast<uint16_t>(StrToInt(Range(text, s + 1, p - 1)));
  addr->point = has_point
                    ? static_cast<uint16_t>(StrToInt(Range(text, p + 1, text.size())))
                    : 0;
  return true;
}

bool FileExists(Env* env, std::string_view name) {
  if (name.find_first_of("?*") != std::string_view::npos) return false;
  std::string n(name);
  if (env->Exists(n)) return true;
  // An absolute name is also tried below the current directory.
  return !n.empty() && n[0] == '/' && env->Exists("." + n);
}

}  // namespace drayline
