#include "draybase/json_reader.h"

namespace draybase {

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (const auto& [name, value] : object_) {
    if (name == key) return &value;
  }
  return nullptr;
}

// A recursive-descent parser over the text; each step answers false after
// recording the first error.
class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  bool ParseDocument(JsonValue* out) {
    if (!Value(out, 0)) return false;
    SkipSpace();
    return pos_ == text_.size() || Fail("text after the value");
  }
  const std::string& error() const { return error_; }

 private:
  // Nesting deeper than this is refused rather than recursed into.
  static constexpr int kMostDepth = 64;

  bool Fail(std::string_view what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_);
    return false;
  }
  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Eat(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return Fail("an unknown word");
    pos_ += word.size();
    return true;
  }

  bool Value(JsonValue* out, int depth) {
    if (depth > kMostDepth) return Fail("nesting too deep");
    SkipSpace();
    if (pos_ >= text_.size()) return Fail("a missing value");
    switch (text_[pos_]) {
      case '{': return Object(out, depth);
      case '[': return Array(out, depth);
      case '"': out->type_ = JsonValue::Type::kString; return String(&out->string_);
      case 't': out->type_ = JsonValue::Type::kBool; out->boolean_ = true; return Word("true");
      case 'f': out->type_ = JsonValue::Type::kBool; return Word("false");
      case 'n': return Word("null");
      default: out->type_ = JsonValue::Type::kNumber; return Number(&out->number_);
    }
  }

  bool Object(JsonValue* out, int depth) {
    out->type_ = JsonValue::Type::kObject;
    ++pos_;
    if (Eat('}')) return true;
    do {
      SkipSpace();
      std::pair<std::string, JsonValue> member;
      if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("a missing key");
      if (!String(&member.first)) return false;
      if (!Eat(':')) return Fail("a missing ':'");
      if (!Value(&member.second, depth + 1)) return false;
      out->object_.push_back(std::move(member));
    } while (Eat(','));
    return Eat('}') || Fail("a missing '}'");
  }

  bool Array(JsonValue* out, int depth) {
    out->type_ = JsonValue::Type::kArray;
    ++pos_;
    if (Eat(']')) return true;
    do {
      out->array_.emplace_back();
      if (!Value(&out->array_.back(), depth + 1)) return false;
    } while (Eat(','));
    return Eat(']') || Fail("a missing ']'");
  }

  bool Number(int64_t* out) {
    const size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    uint64_t value = 0;
    const size_t digits = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      const uint64_t digit = static_cast<uint64_t>(text_[pos_++] - '0');
      if (value > (uint64_t{INT64_MAX} + negative - digit) / 10) {
        pos_ = start;
        return Fail("a number out of range");
      }
      value = value * 10 + digit;
    }
    if (pos_ == digits) return Fail("an unexpected character");
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      return Fail("a number that is not whole");
    }
    *out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
    return true;
  }

  bool Hex4(uint32_t* out) {
    if (text_.size() - pos_ < 4) return Fail("a short \\u escape");
    *out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      const int v = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (v < 0) return Fail("a bad \\u escape");
      *out = *out << 4 | static_cast<uint32_t>(v);
    }
    return true;
  }

  static void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | cp >> 6);
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | cp >> 12);
      *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | cp >> 18);
      *out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A \u escape (the "\u" already read), a surrogate pair taken whole; a
  // lone surrogate becomes U+FFFD, as the text cannot be UTF-8 otherwise.
  bool Unicode(std::string* out) {
    uint32_t cp = 0;
    if (!Hex4(&cp)) return false;
    if (cp >= 0xD800 && cp < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
      const size_t back = pos_;
      pos_ += 2;
      uint32_t low = 0;
      if (!Hex4(&low)) return false;
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      } else {
        pos_ = back;
      }
    }
    if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
    AppendUtf8(cp, out);
    return true;
  }

  bool String(std::string* out) {
    ++pos_;  // the opening quote
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) break;
      switch (const char e = text_[pos_++]) {
        case '"': case '\\': case '/': *out += e; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': if (!Unicode(out)) return false; break;
        default: return Fail("a bad escape");
      }
    }
    return Fail("an unterminated string");
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

std::optional<JsonValue> ParseJson(std::string_view text, std::string* error) {
  JsonParser parser(text);
  JsonValue value;
  if (parser.ParseDocument(&value)) return value;
  if (error != nullptr) *error = parser.error();
  return std::nullopt;
}

}  // namespace draybase
