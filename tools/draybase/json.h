// A small JSON writer for draybase's --json output.
//
// Strings are the stored bytes of a message base, not necessarily UTF-8:
// every byte above 127 is written as a \u00XX escape (so the document is
// plain ASCII and each byte comes back as one code point), and '"', '\\'
// and bytes below 32 are escaped as JSON requires.

#ifndef DRAYBASE_JSON_H_
#define DRAYBASE_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace draybase {

std::string JsonString(std::string_view bytes);

// An object written key by key, in the order the keys are added.
class JsonObject {
 public:
  JsonObject& AddString(std::string_view key, std::string_view text);
  JsonObject& AddNumber(std::string_view key, int64_t number);
  JsonObject& AddBool(std::string_view key, bool value);
  // value is already JSON (an array, say).
  JsonObject& AddRaw(std::string_view key, std::string_view value);
  std::string str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

// An array of elements that are already JSON, one per line.
std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace draybase

#endif  // DRAYBASE_JSON_H_
