#include "support/strings.h"

#include <algorithm>
#include <cstring>

#include "support/clock.h"

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

std::string_view CStrView(std::span<const uint8_t> field, size_t max_len) {
  size_t n = std::min(field.size(), max_len);
  size_t len = 0;
  while (len < n && field[len] != 0) ++len;
  return std::string_view(reinterpret_cast<const char*>(field.data()), len);
}

std::string CStrToStr(std::span<const uint8_t> field, size_t max_len) {
  return std::string(CStrView(field, max_len));
}

void StrToCStr(std::string_view s, size_t max_len, std::span<uint8_t> field) {
  max_len = std::min(max_len, field.size());
  if (max_len == 0) return;
  size_t n = std::min(s.size(), max_len - 1);
  std::copy_n(s.begin(), n, field.begin());
  field[n] = 0;
}

void OverwriteString(std::string_view text, std::string* out) {
  if (out->size() == text.size()) {
    std::memcpy(out->data(), text.data(), text.size());
  } else {
    out->assign(text);
  }
}

}  // namespace drayline
