// Decodes a JAM base's files straight from their bytes, independently of
// the library's reading code, and checks that they hang together: every
// index record points at a whole header with its subfields, every text
// lies inside the text file, and message numbers follow BaseMsgNum.

#ifndef DRAYLINE_TESTS_E2E_JAM_FILES_H_
#define DRAYLINE_TESTS_E2E_JAM_FILES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace drayline {

struct StoredJamMessage {
  uint32_t user_crc = 0;    // of the index record
  uint32_t hdr_offset = 0;  // of the index record
  std::vector<uint8_t> header;  // fixed part and subfields, as stored
  std::vector<std::pair<uint16_t, std::string>> subfields;
  std::string text;

  uint32_t Field(size_t offset) const;
  // The data of the first subfield of kind id ("" when there is none).
  std::string Subfield(uint16_t id) const;
};

struct StoredJamBase {
  std::vector<uint8_t> jhr, jdt, jdx;
  std::vector<StoredJamMessage> messages;

  uint32_t BaseField(size_t offset) const;
};

// Loads path + ".jhr", ".jdt", ".jdx"; a failure says what is inconsistent.
testing::AssertionResult LoadJamBase(const std::string& path,
                                     StoredJamBase* base);

}  // namespace drayline

#endif  // DRAYLINE_TESTS_E2E_JAM_FILES_H_
