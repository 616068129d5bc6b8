// A small JSON reader for the documents draybase itself writes (export's
// JSON Lines): objects, arrays, strings, whole numbers, true, false and
// null. Strings come back as UTF-8 (\uXXXX escapes, surrogate pairs
// included, are turned into UTF-8); numbers must be whole and fit in 64
// bits.

#ifndef DRAYBASE_JSON_READER_H_
#define DRAYBASE_JSON_READER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace draybase {

class JsonValue {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

  Type type() const { return type_; }
  bool is(Type type) const { return type_ == type; }
  bool boolean() const { return boolean_; }
  int64_t number() const { return number_; }
  const std::string& string() const { return string_; }
  const std::vector<JsonValue>& array() const { return array_; }
  const std::vector<std::pair<std::string, JsonValue>>& object() const { return object_; }
  // The member key of an object (the first of that name); nullptr when
  // there is none or this is no object.
  const JsonValue* Find(std::string_view key) const;

 private:
  friend class JsonParser;
  Type type_ = Type::kNull;
  bool boolean_ = false;
  int64_t number_ = 0;
  std::string string_;
  std::vector<JsonValue> array_;
  std::vector<std::pair<std::string, JsonValue>> object_;
};

// Parses text as one JSON value (white space around it allowed). Empty on
// malformed text, with *error (when given) saying what and where.
std::optional<JsonValue> ParseJson(std::string_view text, std::string* error = nullptr);

}  // namespace draybase

#endif  // DRAYBASE_JSON_READER_H_
