#include "draybase/json.h"

#include <cstdio>

namespace draybase {

std::string JsonString(std::string_view text, JsonText kind) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 32 || (b > 127 && kind == JsonText::kBytes)) {
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 15];
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string JsonLocalTime(const drayline::LocalDateTime& t) {
  if (t == drayline::LocalDateTime()) return "null";
  char buf[48];
  std::snprintf(buf, sizeof buf, "\"%04u-%02u-%02uT%02u:%02u:%02u\"", unsigned{t.year},
                unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                unsigned{t.second});
  return buf;
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ", ";
  body_ += JsonString(key) + ": ";
}

JsonObject& JsonObject::AddString(std::string_view key, std::string_view text) {
  return AddRaw(key, JsonString(text, strings_));
}

JsonObject& JsonObject::AddNumber(std::string_view key, int64_t number) {
  return AddRaw(key, std::to_string(number));
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view value) {
  Key(key);
  body_ += value;
  return *this;
}

std::string JsonArray(const std::vector<std::string>& elements) {
  if (elements.empty()) return "[]";
  std::string out = "[\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    out += "  " + elements[i] + (i + 1 < elements.size() ? ",\n" : "\n");
  }
  return out + "]";
}

}  // namespace draybase
