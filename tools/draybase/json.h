// A small JSON writer for draybase's --json output.
//
// A string is written in one of two ways. Text decoded to UTF-8 passes
// unchanged, so that the document holds the characters themselves. Stored
// bytes taken as they are (--charset raw) are not necessarily UTF-8: every
// byte above 127 is then written as a \u00XX escape (so the document is
// plain ASCII and each byte comes back as one code point). Either way '"',
// '\\' and bytes below 32 are escaped as JSON requires.

#ifndef DRAYBASE_JSON_H_
#define DRAYBASE_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message.h"

namespace draybase {

enum class JsonText : uint8_t {
  kBytes,  // stored bytes: those above 127 escaped one by one
  kUtf8,   // valid UTF-8, written as it is
};

std::string JsonString(std::string_view text, JsonText kind = JsonText::kBytes);
// Appends JsonString(text, kind) to *out.
void AppendJsonString(std::string_view text, JsonText kind, std::string* out);
// Writes JsonString(text, kind) at p, which has room for
// JsonStringRoom(text) bytes; answers the end of what it wrote.
char* PutJsonString(std::string_view text, JsonText kind, char* p);
constexpr size_t JsonStringRoom(std::string_view text) { return 2 + 6 * text.size(); }
// Writes JsonString(text, JsonText::kUtf8) at p, which has room for
// JsonStringRoom(text) bytes, when every byte of text is below 128, and
// answers the end of what it wrote; nullptr (after writing at p) when one
// is not.
char* PutAsciiJsonString(std::string_view text, char* p);
// The index of the first byte at or after from that a JSON string of kind
// escapes; text.size() when there is none.
size_t JsonPlainRun(std::string_view text, size_t from, JsonText kind);

// "2026-12-07T16:52:00" (ISO 8601, local time, no zone) in quotes; null
// for a time that is all zero (none stored).
std::string JsonLocalTime(const drayline::LocalDateTime& t);
// Appends JsonLocalTime(t) to *out.
void AppendJsonLocalTime(const drayline::LocalDateTime& t, std::string* out);
// Writes JsonLocalTime(t) at p, which has room for kJsonTimeRoom bytes;
// answers the end of what it wrote.
constexpr size_t kJsonTimeRoom = 48;
char* PutJsonLocalTime(const drayline::LocalDateTime& t, char* p);
// Appends number in decimal to *out.
void AppendDecimal(int64_t number, std::string* out);
// Writes number in decimal at p, which has room for kDecimalRoom bytes
// (some past the digits may be overwritten); answers the end of the digits.
constexpr size_t kDecimalRoom = 20;
char* PutDecimal(int64_t number, char* p);

// An object written key by key, in the order the keys are added. Its
// strings are of the kind given when it is made.
class JsonObject {
 public:
  explicit JsonObject(JsonText strings = JsonText::kBytes) : strings_(strings) {
    body_.reserve(256);  // most objects whole, without growing
  }
  JsonObject& AddString(std::string_view key, std::string_view text);
  // text of the kind given, whatever the object's.
  JsonObject& AddString(std::string_view key, std::string_view text, JsonText kind);
  JsonObject& AddNumber(std::string_view key, int64_t number);
  JsonObject& AddBool(std::string_view key, bool value);
  // value is already JSON (an array, say).
  JsonObject& AddRaw(std::string_view key, std::string_view value);
  std::string str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);
  JsonText strings_;
  std::string body_ = "{";
};

// An array of elements that are already JSON, one per line.
std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace draybase

#endif  // DRAYBASE_JSON_H_
