// Builds the bytes of JAM base files directly, without the library, so that
// reading tests can make bases the writer never would: deleted records,
// other numbering, foreign subfields and every kind of damage.

#ifndef DRAYLINE_TESTS_JAM_JAM_TEST_FILES_H_
#define DRAYLINE_TESTS_JAM_JAM_TEST_FILES_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "drayline/message_base.h"

namespace drayline::jamtest {

using Bytes = std::vector<uint8_t>;

struct TestMessage {
  std::string to = "All";
  std::string from = "Sysop";
  std::string subject = "Hello";
  std::string text = "Test\r";
  uint32_t attribute = 0x00800001;      // local, local type
  uint32_t date_written = 992615400;    // 06-15-01 14:30
  // Further subfields (kind, data), stored after the names.
  std::vector<std::pair<uint16_t, std::string>> extra;
};

// The three files of a base being built in memory.
struct JamFiles {
  explicit JamFiles(uint32_t base_msg_num = 1);

  // Appends a message; returns its index record number.
  size_t Add(const TestMessage& message);
  // Marks a message deleted as DeleteMessage stores it.
  void Delete(size_t record);
  void SetIndex(size_t record, uint32_t user_crc, uint32_t hdr_offset);
  uint32_t HeaderOffset(size_t record) const;
  // Writes path + ".jhr", ".jdt", ".jdx" (and an empty ".jlr").
  void Write(const std::string& path) const;

  Bytes jhr, jdt, jdx;
};

// Composes the message of the worked example: Sysop to All, subject Hello,
// one line Test, local, written 06/15/01 14:30.
void ComposeWorkedExample(MessageBase& base);

// One subfield record.
Bytes Subfield(uint16_t kind, const std::string& data);
void Put32(Bytes& bytes, size_t at, uint32_t value);
uint32_t Get32(const Bytes& bytes, size_t at);

}  // namespace drayline::jamtest

#endif  // DRAYLINE_TESTS_JAM_JAM_TEST_FILES_H_
