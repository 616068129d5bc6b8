// The text form of a network address, as the bases store it (JAM keeps
// addresses as subfields of this form).

#include <algorithm>

#include "drayline/message.h"
#include "support/clock.h"
#include "support/strings.h"

namespace drayline {

namespace {

constexpr size_t kAddressTextMax = 20;

// Characters from..to (1-based, inclusive) of text; empty when to < from.
std::string_view Range(std::string_view text, size_t from, size_t to) {
  if (to < from || from > text.size()) return {};
  return text.substr(from - 1, std::min(to, text.size()) - from + 1);
}

uint16_t Number(std::string_view text) {
  // Plain digits, as nearly every stored address holds, are read at once:
  // a listing reads an address for every JAM header. Nine digits stay
  // below StrToInt's limit, so the answer is the same.
  if (!text.empty() && text.size() <= 9 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    uint32_t value = 0;
    for (char c : text) value = value * 10 + static_cast<uint32_t>(c - '0');
    return static_cast<uint16_t>(value);
  }
  return static_cast<uint16_t>(StrToInt(text));
}

// zone:net/node[.point], each part one to nine plain digits, as nearly
// every stored address is, read in one pass (a listing reads one for every
// JAM header); false, with *addr untouched, for any other text. What it
// reads is what the general reading below makes of the same text.
bool ParsePlainAddress(std::string_view text, NetAddress* addr) {
  constexpr char kSeparators[] = {':', '/', '.'};
  uint16_t parts[4] = {};
  size_t part = 0, digits = 0;
  uint32_t value = 0;
  for (const char c : text) {
    const unsigned d = static_cast<unsigned char>(c) - unsigned{'0'};
    if (d <= 9) {
      if (++digits > 9) return false;
      value = value * 10 + d;
      continue;
    }
    if (part == 3 || digits == 0 || c != kSeparators[part]) return false;
    parts[part++] = static_cast<uint16_t>(value);
    value = 0;
    digits = 0;
  }
  if (part < 2 || digits == 0) return false;
  parts[part] = static_cast<uint16_t>(value);
  *addr = NetAddress{parts[0], parts[1], parts[2], parts[3]};
  return true;
}

}  // namespace

std::string FormatAddress(const NetAddress& addr) {
  std::string text = Fit(IntToStr(addr.zone) + ":" + IntToStr(addr.net) +
                             "/" + IntToStr(addr.node),
                         kAddressTextMax);
  if (addr.point != 0) {
    text = Fit(text + "." + IntToStr(addr.point), kAddressTextMax);
  }
  return text;
}

bool ParseAddress(std::string_view text, NetAddress* addr) {
  if (ParsePlainAddress(text, addr)) return true;
  size_t c = text.find(':');
  size_t s = text.find('/');
  size_t p = text.find('.');
  if (c == std::string_view::npos || s == std::string_view::npos) return false;
  // 1-based positions, as the text form is described.
  c += 1;
  s += 1;
  const bool has_point = p != std::string_view::npos;
  p = has_point ? p + 1 : text.size() + 1;
  addr->zone = Number(Range(text, 1, c - 1));
  addr->net = Number(Range(text, c + 1, s - 1));
  addr->node = Number(Range(text, s + 1, p - 1));
  addr->point = has_point ? Number(Range(text, p + 1, text.size())) : 0;
  return true;
}

}  // namespace drayline
