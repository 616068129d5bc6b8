#include "msgbase/line_reader.h"

#include <algorithm>

namespace drayline {

namespace {

constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;
constexpr uint8_t kSoftCr = 141;
constexpr size_t kLineMax = 255;  // a line is a short string

bool Filler(uint8_t c) { return c == 0 || c == kLf || c == kSoftCr; }

// Reads one byte ahead and keeps it only when it is the text's last byte
// and keep(byte) says so; otherwise the position goes back.
template <typename Keep>
bool TakeLastByte(TextSource& text, Keep keep) {
  if (text.EndOfText()) return false;
  const int32_t at = text.Position();
  const uint8_t c = text.GetChar();
  if (text.EndOfText() && keep(c)) return true;
  text.SetPosition(at);
  return false;
}

}  // namespace

std::string ReadTextLine(TextSource& text, const LineRules& rules,
                         uint16_t max_len, bool* line_open) {
  const size_t limit = std::min<size_t>(max_len, kLineMax);
  bool drop_space = *line_open;
  *line_open = true;
  std::string line;
  line.reserve(limit);  // one allocation for the line, however it grows
  size_t wrap_len = 0;  // the line up to its last space; 0: no space yet
  int32_t wrap_pos = 0;  // the position after that space
  while (line.size() < limit) {
    uint8_t c = 0;
    if (!text.Next(&c)) {
      if (rules.nul_ends_line) *line_open = false;
      return line;
    }
    if (c == kCr) {
      *line_open = false;
      TakeLastByte(text, [](uint8_t b) { return b == kLf; });
      return line;
    }
    if (Filler(c)) continue;
    if (c == ' ' && line.empty() && drop_space) {
      drop_space = false;
      continue;
    }
    line.push_back(static_cast<char>(c));
    if (c == ' ') {
      wrap_len = line.size();
      wrap_pos = text.Position();
    }
  }
  // The line is full. Where the last byte belongs to it, a text that ends
  // here, or ends with one line end or filler byte more, is not wrapped.
  if (rules.keep_last_byte) {
    if (text.EndOfText()) return line;
    bool took_cr = false;
    if (TakeLastByte(text, [&](uint8_t b) {
          took_cr = b == kCr;
          return took_cr || Filler(b);
        })) {
      if (took_cr) *line_open = false;
      return line;
    }
  }
  if (wrap_len != 0) {
    line.resize(wrap_len);
    text.SetPosition(wrap_pos);
  }
  return line;
}

}  // namespace drayline
