// Base64 (the standard alphabet, with padding) for bytes that a JSON
// string cannot carry exactly.

#ifndef DRAYBASE_BASE64_H_
#define DRAYBASE_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

namespace draybase {

std::string EncodeBase64(std::string_view bytes);
// The bytes of text; empty for text that is not whole base64 (a length
// that is not a multiple of four, a byte outside the alphabet, padding
// anywhere but at the end).
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace draybase

#endif  // DRAYBASE_BASE64_H_
