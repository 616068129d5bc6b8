#include "draybase/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace draybase {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each byte in the alphabet, -1 for the others.
constexpr std::array<int8_t, 256> MakeValues() {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return values;
}
constexpr std::array<int8_t, 256> kValues = MakeValues();

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    size_t pad = 0;
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      // Padding only closes the last group, and at most its last two.
      if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
        ++pad;
        group <<= 6;
        continue;
      }
      const int8_t v = kValues[static_cast<uint8_t>(c)];
      if (v < 0 || pad > 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(v);
    }
    for (size_t k = 0; k < 3 - pad; ++k) out += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
  }
  return out;
}

}  // namespace draybase
