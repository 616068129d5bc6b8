// Helpers for the Squish tests: posting a message through the interface
// and reading a base's files back independently of the library's reader,
// checking that chains, control record and index agree.

#ifndef DRAYLINE_TESTS_SQUISH_SQUISH_TEST_UTIL_H_
#define DRAYLINE_TESTS_SQUISH_SQUISH_TEST_UTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "squish/squish_format.h"
#include "support/env.h"

namespace drayline {

namespace squish {
class SquishEngine;
}

struct StoredMessage {
  int32_t offset = 0;
  squish::SquishFrameHeader frame;
  squish::SquishMessageHeader header;
  std::string text;  // MessageLength - 238 bytes after the message header
  std::string to() const;
};

struct BaseContents {
  squish::SquishBaseHeader header;
  std::vector<squish::SquishIndexEntry> index;
  std::vector<StoredMessage> messages;  // message chain, first to last
  std::vector<int32_t> free_frames;     // free chain, first to last
  // Empty when the files agree with each other: chains well linked and
  // ending at the control record's ends, MessageCount, index entry for
  // entry, and every index hash taken over the stored recipient.
  std::string error;
};

BaseContents ReadBase(const std::string& path);

// Composes and stores one message as the posting command does.
uint16_t Post(MessageBase& base, const std::string& to,
              const std::vector<std::string>& lines,
              const std::string& from = "Sysop",
              const std::string& subject = "Test",
              const std::string& date = "12/06/26",
              const std::string& time = "01:18");

// A Squish base object on env whose engine a test may inspect (the size of
// its index table); engine belongs to base.
struct InspectedBase {
  std::unique_ptr<MessageBase> base;
  squish::SquishEngine* engine = nullptr;
};
InspectedBase NewInspectedBase(Env* env);

// Opens (or creates) the base at path, as the posting command does.
bool OpenOrCreate(MessageBase& base, const std::string& path,
                  uint16_t max_msgs = 0, uint16_t keep_days = 0);

// Writes a base of count messages straight into files (no library code):
// each message to "All" with a text of text_len bytes (NUL included),
// chained in order, with the given MaxMessages and ProtectedCount.
void BuildBase(const std::string& path, int count, int text_len = 100,
               int32_t max_msgs = 0, int32_t protected_count = 0);

}  // namespace drayline

#endif  // DRAYLINE_TESTS_SQUISH_SQUISH_TEST_UTIL_H_
